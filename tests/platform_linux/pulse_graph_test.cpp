// What the PulseAudio capture records, from what the server says of its
// sinks, clients and sink inputs.
#include "platform/linux/pulse/graph.h"

#include <gtest/gtest.h>
#include <pulse/channelmap.h>

#include <map>

#include "audio_tap/rules.h"

namespace pimorlo::platform::linux_backend {
namespace {

constexpr pid_t kOwnPid = 4242;

// A server as the tests script it: two sinks, and clients and sink inputs
// added as each test needs.
class Server {
public:
    Server() {
        graph.setJudge(ExclusionJudge(ExclusionRules{
            [](const RunningApplication& app) { return audio_tap::isSelfOrCompanion(app, kOwnPid); },
            {},
            {},
            [this](pid_t pid) -> std::optional<ProcessRecord> {
                auto it = processes.find(pid);
                if (it == processes.end()) return std::nullopt;
                return it->second;
            }}));
        graph.sinkKnown(PulseSink{0, "speakers", "speakers.monitor", {"FL", "FR"}});
        graph.sinkKnown(PulseSink{1, "surround", "surround.monitor", {"FL", "FR", "FC", "LFE", "RL", "RR"}});
    }

    void client(std::uint32_t index, pid_t pid, Props props = {}) {
        props["application.process.id"] = std::to_string(pid);
        if (!processes.count(pid)) processes[pid] = ProcessRecord{1, "app" + std::to_string(pid), "", 1};
        graph.clientKnown(PulseClient{index, props});
    }

    void input(std::uint32_t index, std::uint32_t client, std::uint32_t sink = 0,
               std::vector<std::string> channels = {"FL", "FR"}, Props props = {},
               std::uint32_t module = 7) {
        graph.sinkInputKnown(PulseSinkInput{index, client, module, sink, std::move(channels), std::move(props)});
    }

    std::vector<std::uint32_t> captured() {
        std::vector<std::uint32_t> indices;
        for (const PulseCapture& capture : graph.plan()) indices.push_back(capture.sinkInput);
        return indices;
    }

    PulseGraph graph;
    std::map<pid_t, ProcessRecord> processes;
};

TEST(PulseChannelName, NamesEveryPositionAsTheMixWeighsIt) {
    const std::pair<int, const char*> cases[] = {
        {PA_CHANNEL_POSITION_MONO, "MONO"},          {PA_CHANNEL_POSITION_FRONT_LEFT, "FL"},
        {PA_CHANNEL_POSITION_FRONT_RIGHT, "FR"},     {PA_CHANNEL_POSITION_FRONT_CENTER, "FC"},
        {PA_CHANNEL_POSITION_LFE, "LFE"},            {PA_CHANNEL_POSITION_REAR_LEFT, "RL"},
        {PA_CHANNEL_POSITION_REAR_CENTER, "RC"},     {PA_CHANNEL_POSITION_SIDE_RIGHT, "SR"},
        {PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, "FLC"}, {PA_CHANNEL_POSITION_TOP_REAR_RIGHT, "TRR"},
        {PA_CHANNEL_POSITION_AUX0, "AUX0"},          {PA_CHANNEL_POSITION_AUX31, "AUX31"},
        {PA_CHANNEL_POSITION_INVALID, ""},
    };
    for (const auto& [position, name] : cases) EXPECT_EQ(pulseChannelName(position), name) << position;
}

TEST(PulseGraph, RecordsEachPlayingSinkInputOnItsSinksMonitorInThatSinksLayout) {
    Server server;
    server.client(10, 700);
    server.input(20, 10, 0, {"MONO"});
    server.input(21, 10, 1, {"FL", "FR"});
    const auto plan = server.graph.plan();
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_EQ(plan[0], (PulseCapture{20, 0, "speakers.monitor", {"FL", "FR"}, {"MONO"}}));
    EXPECT_EQ(plan[1], (PulseCapture{21, 1, "surround.monitor", {"FL", "FR", "FC", "LFE", "RL", "RR"}, {"FL", "FR"}}));
    // Moved: the same sink input, on the other sink's monitor.
    server.input(20, 10, 1, {"MONO"});
    EXPECT_EQ(server.graph.wanted(20)->monitorSource, "surround.monitor");
    // Between sinks (the server has none for it yet), or gone: nothing.
    server.input(20, 10, kNoPulseIndex, {"MONO"});
    EXPECT_FALSE(server.graph.wanted(20));
    server.graph.sinkGone(1);
    EXPECT_TRUE(server.captured().empty());
}

TEST(PulseGraph, LeavesOutTheCompanionWheneverAndHoweverItNamesItself) {
    Server server;
    server.client(10, 700);
    server.client(11, 701, {{"application.name", "Pim Orlo Desktop"}});
    server.client(12, 702, {{"application.id", "com.pimorlo.companion.web"}});
    server.client(13, 703);
    server.processes[704] = ProcessRecord{701, "paplay", "paplay", 3};  // a child of the companion
    server.client(14, 704);
    server.input(20, 10);
    server.input(21, 11);
    server.input(22, 12);
    server.input(23, 13, 0, {"FL", "FR"}, {{"application.name", "PimOrlo chime"}});
    server.input(24, 14);
    EXPECT_EQ(server.captured(), (std::vector<std::uint32_t>{20}));
    // A client that names itself only after its stream started playing.
    server.client(10, 700, {{"application.name", "Pim Orlo"}});
    EXPECT_TRUE(server.captured().empty());
}

TEST(PulseGraph, WaitsForASinkInputsClientAndNeverRecordsAModulesRelay) {
    Server server;
    server.input(20, 10);  // its client is not known yet
    EXPECT_TRUE(server.captured().empty());
    server.client(10, 700);
    EXPECT_EQ(server.captured(), (std::vector<std::uint32_t>{20}));
    // A loopback's, a filter's or a combined sink's way to its master: what
    // it carries was recorded where it was played.
    server.input(30, kNoPulseIndex, 0, {"FL", "FR"}, {{"media.name", "Loopback"}}, 3);
    // A sound the server plays from its sample cache for a client, judged
    // by the client's values it carries.
    server.input(31, kNoPulseIndex, 0, {"FL", "FR"}, {{"application.process.id", "700"}}, kNoPulseIndex);
    server.input(32, kNoPulseIndex, 0, {"FL", "FR"}, {{"application.name", "Pim Orlo"}}, kNoPulseIndex);
    EXPECT_EQ(server.captured(), (std::vector<std::uint32_t>{20, 31}));
}

TEST(PulseGraph, ListsOneApplicationPerProcessCompletedFromItsStreams) {
    Server server;
    server.client(10, 700, {{"application.name", "Browser"}});
    server.client(11, 700);
    server.client(12, 701);
    server.graph.clientKnown(PulseClient{13, {{"application.name", "no process"}}});
    server.input(20, 12, 0, {"FL", "FR"}, {{"application.id", "org.example.Music"}, {"application.name", "Music"}});
    const auto applications = server.graph.applications();
    ASSERT_EQ(applications.size(), 2u);
    EXPECT_EQ(applications[0].application.processID, 700);
    EXPECT_EQ(applications[0].application.applicationName, "Browser");
    EXPECT_EQ(applications[0].clients, (std::vector<std::uint32_t>{10, 11}));
    EXPECT_EQ(applications[1].application.processID, 701);
    EXPECT_EQ(applications[1].application.bundleIdentifier, "org.example.Music");
    EXPECT_EQ(applications[1].application.applicationName, "Music");
}

TEST(PulseGraph, ListsSinksInTheServersOrder) {
    Server server;
    server.graph.sinkKnown(PulseSink{5, "hdmi", "hdmi.monitor", {"FL", "FR"}});
    std::vector<std::string> names;
    for (const PulseSink& sink : server.graph.sinks()) names.push_back(sink.name);
    EXPECT_EQ(names, (std::vector<std::string>{"speakers", "surround", "hdmi"}));
}

TEST(FailedStreamAction, FollowsWhatTheServerEndedAndReportsTheRest) {
    const PulseCapture failed{20, 0, "speakers.monitor", {"FL", "FR"}, {"FL", "FR"}};
    PulseCapture moved = failed;
    moved.sink = 1;
    moved.monitorSource = "surround.monitor";
    EXPECT_EQ(failedStreamAction(failed, std::nullopt), FailedStreamAction::follow) << "gone or left out";
    EXPECT_EQ(failedStreamAction(failed, moved), FailedStreamAction::follow) << "moved";
    EXPECT_EQ(failedStreamAction(failed, failed), FailedStreamAction::report) << "still there, still playing";
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
