// Which sound server the tap captures from, decided at run time from what
// each answers. Plain C++: the answers go in, the choice comes out.
//
// PipeWire's own protocol is asked first: where a PipeWire daemon answers
// with somewhere to play, it is the one. Otherwise PulseAudio is asked,
// through libpulse's own lookup of its server. Its answer is taken where
// PipeWire did not answer at all (pipewire-pulse then is all there is of
// PipeWire, as in a sandbox), or where PipeWire answered without a sink and
// a PulseAudio of its own plays the sound (a desktop that runs PipeWire for
// screen sharing only, as Ubuntu 22.04 does). Where neither answers, the
// failure names both.
#pragma once

#include <optional>
#include <string>

namespace pimorlo::platform::linux_backend {

struct ServerAnswer {
    // Connected and listed what it plays.
    bool answered = false;
    bool hasDisplays = false;
    // PulseAudio's answer only: the server is PipeWire's pipewire-pulse.
    bool onPipeWire = false;
    // Why it did not answer.
    std::string error;
};

enum class SoundServer { pipewire, pulseaudio };

// After PipeWire's answer: whether PulseAudio is to be asked too.
bool askPulseAudio(const ServerAnswer& pipewire);

// After both answers; empty when neither answered.
std::optional<SoundServer> chooseServer(const ServerAnswer& pipewire, const ServerAnswer& pulseaudio);

// The failure's text when neither answered: each one's reason, PipeWire's first.
std::string neitherAnswered(const ServerAnswer& pipewire, const ServerAnswer& pulseaudio);

}  // namespace pimorlo::platform::linux_backend
