// Which sound server the tap captures from.
#include "platform/linux/capture/server_choice.h"

#include <gtest/gtest.h>

namespace pimorlo::platform::linux_backend {
namespace {

const ServerAnswer kNone{false, false, false, "no answer"};
const ServerAnswer kEmpty{true, false, false, ""};
const ServerAnswer kSinks{true, true, false, ""};
const ServerAnswer kPipeWirePulseEmpty{true, false, true, ""};
const ServerAnswer kPipeWirePulseSinks{true, true, true, ""};

TEST(ServerChoice, PipeWireWhereItAnswersWithSinksElsePulseAudioAsTheDesktopRunsIt) {
    struct Case {
        const char* desktop;
        ServerAnswer pipewire;
        ServerAnswer pulseaudio;
        bool askPulse;
        std::optional<SoundServer> chosen;
    };
    const Case cases[] = {
        {"PipeWire desktop", kSinks, kPipeWirePulseSinks, false, SoundServer::pipewire},
        {"PulseAudio only", kNone, kSinks, true, SoundServer::pulseaudio},
        {"PulseAudio only, no sink", kNone, kEmpty, true, SoundServer::pulseaudio},
        {"PipeWire for screen sharing beside PulseAudio", kEmpty, kSinks, true, SoundServer::pulseaudio},
        {"PipeWire and PulseAudio, neither with a sink", kEmpty, kEmpty, true, SoundServer::pipewire},
        {"PipeWire with no sink and its own pipewire-pulse", kEmpty, kPipeWirePulseEmpty, true, SoundServer::pipewire},
        {"PipeWire with no sink, pipewire-pulse claiming one", kEmpty, kPipeWirePulseSinks, true,
         SoundServer::pipewire},
        {"a sandbox that reaches pipewire-pulse only", kNone, kPipeWirePulseSinks, true, SoundServer::pulseaudio},
        {"PipeWire without a sink, nothing else", kEmpty, kNone, true, SoundServer::pipewire},
        {"nothing", kNone, kNone, true, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(askPulseAudio(c.pipewire), c.askPulse) << c.desktop;
        EXPECT_EQ(chooseServer(c.pipewire, c.pulseaudio), c.chosen) << c.desktop;
    }
}

TEST(ServerChoice, NamesBothWhenNeitherAnswers) {
    EXPECT_EQ(neitherAnswered(ServerAnswer{false, false, false, "cannot connect to PipeWire: Host is down"},
                              ServerAnswer{false, false, false, "cannot connect to PulseAudio: Connection refused"}),
              "cannot connect to PipeWire: Host is down; cannot connect to PulseAudio: Connection refused");
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
