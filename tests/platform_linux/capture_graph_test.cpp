#include "platform/linux/pipewire/graph.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace pimorlo::platform::linux_backend {
namespace {

constexpr pid_t kOwnPid = 4242;

// The core's self-exclusion rule, as the filter hands it over.
bool companionRule(const RunningApplication& app) {
    if (app.processID == kOwnPid) return true;
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
        return s;
    };
    const std::string bundle = lower(app.bundleIdentifier.value_or(""));
    const std::string name = lower(app.applicationName.value_or(""));
    return bundle.find("com.pimorlo.companion") != std::string::npos || name.find("pim orlo") != std::string::npos ||
           name.find("pimorlo") != std::string::npos;
}

// A registry as the tests script it: a sink, clients, playback streams with
// their ports (each linked to the sink, as the session manager links them),
// and the capture nodes the glue would make (eight inputs each).
class Registry {
public:
    static constexpr std::uint32_t kSink = 1;

    explicit Registry(ExclusionRules rules = {}) {
        if (!rules.excludesApplication) rules.excludesApplication = companionRule;
        graph = CaptureGraph(std::move(rules));
        graph.added(kSink, GlobalType::node, serial_++, {{"media.class", "Audio/Sink"}});
        graph.updated(kSink, {});
        for (std::uint32_t i = 0; i < 8; ++i) port(kSink + 1 + i, kSink, "in", i, "AUX" + std::to_string(i));
    }

    void client(std::uint32_t id, Props props) {
        graph.added(id, GlobalType::client, serial_++, {});
        graph.updated(id, props);
    }

    // A playback stream with one output port per channel; returns its serial.
    std::uint64_t stream(std::uint32_t id, std::uint32_t client, std::vector<std::string> channels = {"FL", "FR"},
                         Props extra = {}) {
        const std::uint64_t serial = serial_++;
        graph.added(id, GlobalType::node, serial,
                    {{"media.class", "Stream/Output/Audio"}, {"client.id", std::to_string(client)}});
        graph.updated(id, extra);
        ports(id, std::move(channels));
        return serial;
    }

    void ports(std::uint32_t node, std::vector<std::string> channels) {
        for (std::size_t i = 0; i < channels.size(); ++i) {
            const std::uint32_t id = nextPort_++;
            port(id, node, "out", static_cast<std::uint32_t>(i), channels[i]);
            play(id, static_cast<std::uint32_t>(i));
        }
        // The monitor ports a sink-like node may carry are never linked.
        port(nextPort_++, node, "out", 99, "FL", true);
    }

    void port(std::uint32_t id, std::uint32_t node, const char* direction, std::uint32_t index, std::string channel,
              bool monitor = false) {
        Props props{{"node.id", std::to_string(node)},
                    {"port.direction", direction},
                    {"port.id", std::to_string(index)},
                    {"audio.channel", std::move(channel)}};
        if (monitor) props["port.monitor"] = "true";
        graph.added(id, GlobalType::port, serial_++, std::move(props));
        portNodes_.emplace_back(id, node);
    }

    // Links an output port to the sink's input `index`; returns the link's id.
    std::uint32_t play(std::uint32_t outputPort, std::uint32_t index = 0) {
        const std::uint32_t id = nextLink_++;
        graph.added(id, GlobalType::link, serial_++,
                    {{"link.output.port", std::to_string(outputPort)},
                     {"link.input.port", std::to_string(kSink + 1 + index % 8)}});
        return id;
    }

    // As PipeWire does: the ports go, then the node.
    void removeNodeWithPorts(std::uint32_t node) {
        for (auto [id, n] : portNodes_)
            if (n == node) graph.removed(id);
        std::erase_if(portNodes_, [node](const auto& p) { return p.second == node; });
        graph.removed(node);
    }

    // The capture node the glue makes for a stream, with its eight inputs.
    std::uint32_t captureNode(std::uint64_t streamSerial) {
        const std::uint32_t id = nextCapture_;
        nextCapture_ += 10;
        graph.added(id, GlobalType::node, serial_++, {{"media.class", "Stream/Input/Audio"}});
        graph.updated(id, {});
        for (std::uint32_t i = 0; i < 8; ++i) port(id + 1 + i, id, "in", i, "AUX" + std::to_string(i));
        graph.captureNodeKnown(streamSerial, id);
        return id;
    }

    // Plans and reports every asked-for link as made, as the glue does.
    CapturePlan settle() {
        CapturePlan plan = graph.plan();
        for (const LinkKey& key : plan.link) graph.linkMade(key);
        return plan;
    }

    std::vector<std::uint32_t> captured() {
        std::vector<std::uint32_t> nodes;
        for (const auto& s : graph.plan().streams) nodes.push_back(s.node);
        return nodes;
    }

    CaptureGraph graph;

private:
    std::uint64_t serial_ = 1000;
    std::uint32_t nextPort_ = 5000;
    std::uint32_t nextCapture_ = 100000;
    std::uint32_t nextLink_ = 200000;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> portNodes_;  // (port, node)
};

Props app(const char* name, pid_t pid, const char* appID = nullptr) {
    Props props{{"application.name", name}, {"application.process.id", std::to_string(pid)}};
    if (appID) props["application.id"] = appID;
    return props;
}

Props sandboxed(const char* name, const char* portalID) {
    return {{"application.name", name},
            {"application.process.id", "2"},
            {"pipewire.access", "flatpak"},
            {"pipewire.access.portal.app_id", portalID}};
}

TEST(CaptureGraph, EveryStreamIsJudgedWhenItAppears) {
    struct Case {
        const char* what;
        Props client;
        Props node;
        bool captured;
    };
    const Case cases[] = {
        {"ordinary player", app("Music", 100), {}, true},
        {"companion by name", app("Pim Orlo Desktop", 101), {}, false},
        {"companion by the id on its stream", app("player", 102), {{"application.id", "com.pimorlo.companion.chime"}},
         false},
        {"the tap itself", app("anything", kOwnPid), {}, false},
        {"a name that only resembles", app("Pim-Orlo", 103), {}, true},
        {"no process id, ordinary name", {{"application.name", "daemon"}}, {}, true},
    };
    for (const auto& c : cases) {
        Registry r;
        r.client(10, c.client);
        r.stream(40, 10, {"FL", "FR"}, c.node);
        EXPECT_EQ(r.captured() == std::vector<std::uint32_t>{40}, c.captured) << c.what;
    }
}

TEST(CaptureGraph, AStreamWaitsForItsClientsProperties) {
    Registry r;
    r.graph.added(10, GlobalType::client, 1, {});
    r.stream(40, 10);
    EXPECT_TRUE(r.captured().empty());
    r.graph.updated(10, app("Pim Orlo Desktop", 101));
    EXPECT_TRUE(r.captured().empty());
}

TEST(CaptureGraph, ANodeIdReusedAfterAnExcludedStreamEndsIsJudgedAfresh) {
    Registry r;
    r.client(10, app("Pim Orlo Desktop", 101));
    const std::uint64_t companion = r.stream(40, 10);
    EXPECT_TRUE(r.captured().empty());
    r.removeNodeWithPorts(40);
    r.graph.removed(10);

    r.client(10, app("Music", 100));
    const std::uint64_t player = r.stream(40, 10);
    ASSERT_NE(companion, player);
    auto plan = r.graph.plan();
    ASSERT_EQ(plan.streams.size(), 1u);
    EXPECT_EQ(plan.streams[0].serial, player);

    // A capture node left over from the earlier stream is never linked to
    // the new one: it belongs to another serial.
    r.captureNode(companion);
    EXPECT_TRUE(r.graph.plan().link.empty());
    const std::uint32_t capture = r.captureNode(player);
    plan = r.settle();
    ASSERT_EQ(plan.link.size(), 2u);
    EXPECT_EQ(plan.link[0].inputPort, capture + 1);
}

TEST(CaptureGraph, AClientThatTurnsOutToBeTheCompanionIsDroppedWithItsLinks) {
    Registry r;
    r.client(10, {{"application.process.id", "100"}});
    const std::uint64_t serial = r.stream(40, 10);
    r.captureNode(serial);
    EXPECT_EQ(r.settle().link.size(), 2u);

    r.graph.updated(10, {{"application.name", "Pim Orlo Desktop"}});
    const auto plan = r.graph.plan();
    EXPECT_TRUE(plan.streams.empty());
    EXPECT_EQ(plan.unlink.size(), 2u);
    EXPECT_TRUE(plan.link.empty());
}

TEST(CaptureGraph, AChildProcessOfAnExcludedApplicationIsExcluded) {
    // 500 is the companion, known only by its process name: it never played.
    // 700 was listed at set-up. 800 has a client named as the companion.
    std::map<pid_t, ProcessRecord> processes{
        {500, {1, "pimorlo-desktop", "pimorlo-desktop"}},
        {501, {500, "pw-play", "pw-play"}},
        {502, {501, "paplay", "paplay"}},
        {510, {1, "python3", "Pim Orlo Desktop"}},
        {511, {510, "pw-play", "pw-play"}},
        {600, {1, "bash", "bash"}},
        {601, {600, "pw-play", "pw-play"}},
        {700, {1, "electron", "electron"}},
        {701, {700, "pw-play", "pw-play"}},
        {800, {1, "python3", "python3"}},
        {801, {800, "pw-play", "pw-play"}},
        // A loop in what /proc says ends the walk.
        {900, {901, "a", "a"}},
        {901, {900, "b", "b"}},
    };
    ExclusionRules rules;
    rules.processes = {{700, 0}};
    rules.lookup = [&](pid_t pid) -> std::optional<ProcessRecord> {
        auto it = processes.find(pid);
        return it == processes.end() ? std::nullopt : std::optional(it->second);
    };
    struct Case {
        pid_t pid;
        bool excluded;
    };
    const Case cases[] = {{501, true}, {502, true}, {511, true}, {601, false},
                          {701, true}, {801, true}, {900, false}, {12345, false}};
    for (const auto& c : cases) {
        Registry r(rules);
        r.client(11, app("Pim Orlo Desktop", 800));
        r.client(10, app("pw-play", c.pid));
        r.stream(40, 10);
        EXPECT_EQ(r.captured().empty(), c.excluded) << c.pid;
    }
}

TEST(CaptureGraph, TheCompanionStartingAfterItsChildExcludesTheChild) {
    ExclusionRules rules;
    rules.lookup = [](pid_t pid) -> std::optional<ProcessRecord> {
        if (pid == 801) return ProcessRecord{800, "pw-play", "pw-play"};
        if (pid == 800) return ProcessRecord{1, "python3", "python3"};
        return std::nullopt;
    };
    Registry r(rules);
    r.client(10, app("pw-play", 801));
    r.stream(40, 10);
    EXPECT_EQ(r.captured(), std::vector<std::uint32_t>{40});
    r.client(11, app("Pim Orlo Desktop", 800));
    EXPECT_TRUE(r.captured().empty());
}

TEST(CaptureGraph, SandboxedClientsAreToldApartByClientNotByTheirNamespacePid) {
    ExclusionRules rules;
    rules.processes = {{2, 0}};  // a listed pid of 2 must not catch sandboxes
    rules.lookup = [](pid_t) { return std::optional<ProcessRecord>(ProcessRecord{1, "bwrap", "bwrap", 0}); };
    Registry r(rules);
    r.client(10, sandboxed("Music", "org.example.Music"));
    r.client(11, sandboxed("Desktop", "com.pimorlo.companion.Desktop"));
    // A sandbox cannot name itself the companion past its portal app id.
    Props impostor = sandboxed("Game", "org.example.Game");
    impostor["application.id"] = "com.pimorlo.companion.fake";
    r.client(12, impostor);
    r.stream(40, 10);
    r.stream(41, 11);
    r.stream(42, 12);
    EXPECT_EQ(r.captured(), (std::vector<std::uint32_t>{40, 42}));

    const auto apps = r.graph.applications();
    ASSERT_EQ(apps.size(), 3u);
    for (const auto& a : apps) {
        EXPECT_TRUE(a.sandboxed);
        EXPECT_EQ(a.processID, 0);
        EXPECT_EQ(a.clientSerials.size(), 1u);
    }
    EXPECT_EQ(apps[0].bundleIdentifier, "org.example.Music");
    EXPECT_EQ(apps[1].bundleIdentifier, "com.pimorlo.companion.Desktop");

    // Excluding one sandboxed client by its serial leaves the other.
    ExclusionRules listed;
    listed.clientSerials = {apps[0].clientSerials[0]};
    Registry again(listed);
    again.client(10, sandboxed("Music", "org.example.Music"));
    again.client(12, sandboxed("Video", "org.example.Video"));
    again.stream(40, 10);
    again.stream(42, 12);
    EXPECT_EQ(again.captured(), std::vector<std::uint32_t>{42});
}

TEST(CaptureGraph, ApplicationsAreOnePerProcessCompletedFromTheirStreams) {
    Registry r;
    r.client(10, {{"application.process.id", "100"}});
    r.client(11, app("Music", 100));
    r.client(12, {{"application.name", "no process"}});
    r.stream(40, 10, {"MONO"}, {{"application.id", "org.example.music"}});
    const auto apps = r.graph.applications();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].processID, 100);
    EXPECT_EQ(apps[0].applicationName, "Music");
    EXPECT_EQ(apps[0].bundleIdentifier, "org.example.music");
    EXPECT_EQ(apps[0].clientSerials.size(), 2u);
    EXPECT_FALSE(apps[0].sandboxed);
}

TEST(CaptureGraph, LinksFollowThePortsThatExist) {
    Registry r;
    r.client(10, app("Music", 100));
    const std::uint64_t serial = r.stream(40, 10, {});
    const std::uint32_t capture = r.captureNode(serial);
    for (std::uint32_t i = 0; i < 2; ++i) {
        r.port(60 + i, 40, "out", i, i ? "FR" : "FL");
        r.play(60 + i, i);
    }
    auto plan = r.settle();
    EXPECT_EQ(plan.link, (std::vector<LinkKey>{{60, capture + 1}, {61, capture + 2}}));
    EXPECT_EQ(plan.streams[0].channels, (std::vector<std::string>{"FL", "FR"}));

    // Moved to a 5.1 sink: the stereo ports go, six come, links and channels
    // change in the same plan.
    r.graph.removed(60);
    r.graph.removed(61);
    const char* surround[] = {"FL", "FR", "FC", "LFE", "RL", "RR"};
    for (std::uint32_t i = 0; i < 6; ++i) {
        r.port(70 + i, 40, "out", i, surround[i]);
        r.play(70 + i, i);
    }
    plan = r.settle();
    EXPECT_TRUE(plan.unlink.empty()) << "the removed ports took their links";
    ASSERT_EQ(plan.link.size(), 6u);
    EXPECT_EQ(plan.link[5], (LinkKey{75, capture + 6}));
    EXPECT_EQ(plan.streams[0].channels.size(), 6u);

    // One port replaced by a new one under the id another port had: the link
    // from the old one is gone, the new one is linked in its place.
    r.graph.removed(72);
    r.port(72, 40, "out", 2, "FC");
    r.play(72, 2);
    plan = r.settle();
    EXPECT_EQ(plan.link, (std::vector<LinkKey>{{72, capture + 3}}));

    // Back to stereo; a port of the capture node going takes its link too.
    for (std::uint32_t i = 2; i < 6; ++i) r.graph.removed(70 + i);
    r.graph.removed(capture + 1);
    plan = r.settle();
    EXPECT_TRUE(plan.link.empty()) << "FL waits for its own input, never shifts to another";
    EXPECT_TRUE(plan.unlink.empty());
    EXPECT_EQ(plan.streams[0].channels, (std::vector<std::string>{"FL", "FR"}));
    r.port(capture + 1, capture, "in", 0, "AUX0");
    EXPECT_EQ(r.settle().link, (std::vector<LinkKey>{{70, capture + 1}}));
}

TEST(CaptureGraph, AStreamsOwnFormatGoesWithItsNode) {
    Registry r;
    r.client(10, app("Music", 100));
    r.stream(40, 10, {"FL", "FR", "FC", "LFE", "RL", "RR"});
    r.graph.formatKnown(40, {"FL", "FR"});
    EXPECT_EQ(r.graph.plan().streams[0].streamChannels, (std::vector<std::string>{"FL", "FR"}));
    r.removeNodeWithPorts(40);
    r.stream(40, 10, {"MONO"});
    EXPECT_TRUE(r.graph.plan().streams[0].streamChannels.empty()) << "a reused id has no format yet";
}

TEST(CaptureGraph, AFailedLinkIsAskedForAgainAndAHeldOneIsNot) {
    Registry r;
    r.client(10, app("Music", 100));
    r.captureNode(r.stream(40, 10, {"MONO"}));
    auto plan = r.settle();
    ASSERT_EQ(plan.link.size(), 1u);
    EXPECT_TRUE(r.settle().link.empty());
    r.graph.linkLost(plan.link[0]);
    EXPECT_EQ(r.settle().link, plan.link);
}

TEST(CaptureGraph, AStreamThatEndsHasItsLinksDropped) {
    Registry r;
    r.client(10, app("Music", 100));
    r.captureNode(r.stream(40, 10, {"FL", "FR"}));
    r.settle();
    r.graph.removed(40);  // the node first: its ports are still listed
    const auto plan = r.graph.plan();
    EXPECT_TRUE(plan.streams.empty());
    EXPECT_EQ(plan.unlink.size(), 2u);
}

TEST(CaptureGraph, ThreeHundredStreamsAreAllCaptured) {
    Registry r;
    for (std::uint32_t i = 0; i < 300; ++i) {
        r.client(10000 + i, app("player", static_cast<pid_t>(100 + i)));
        r.captureNode(r.stream(30000 + i, 10000 + i));
    }
    const auto plan = r.settle();
    EXPECT_EQ(plan.streams.size(), 300u);
    EXPECT_EQ(plan.link.size(), 600u);
}

// ---- what is played -----------------------------------------------------------

// A graph as routing sees it. Node n's ports: outputs n*100+k, inputs
// n*100+50+k, a sink's monitors n*100+80+k.
class Graph {
public:
    Graph& node(std::uint32_t id, std::string mediaClass, std::string group = "", std::uint32_t ins = 0,
                std::uint32_t outs = 0) {
        nodes.push_back(RouteNode{id, mediaClass, std::move(group)});
        const bool sink = mediaClass == "Audio/Sink";
        for (std::uint32_t k = 0; k < outs; ++k) ports.push_back(RoutePort{id * 100 + k, id, k, true, false, true});
        for (std::uint32_t k = 0; k < ins; ++k) {
            ports.push_back(RoutePort{id * 100 + 50 + k, id, k, false, false, true});
            if (sink) ports.push_back(RoutePort{id * 100 + 80 + k, id, k, true, true, true});
        }
        return *this;
    }
    Graph& sink(std::uint32_t id, std::string group = "") { return node(id, "Audio/Sink", std::move(group), 2, 0); }
    Graph& stream(std::uint32_t id, std::uint32_t channels = 2) { return node(id, "Stream/Output/Audio", "", 0, channels); }
    // Links `from`'s outputs (a sink's monitors) to `to`'s inputs, channel by channel.
    Graph& link(std::uint32_t from, std::uint32_t to, std::uint32_t channels = 2) {
        const bool monitor = std::any_of(nodes.begin(), nodes.end(),
                                         [&](const RouteNode& n) { return n.id == from && n.mediaClass == "Audio/Sink"; });
        for (std::uint32_t k = 0; k < channels; ++k)
            links.push_back(RouteLink{from * 100 + (monitor ? 80 : 0) + k, to * 100 + 50 + k});
        return *this;
    }
    Graph& linkPort(std::uint32_t fromPort, std::uint32_t toPort) {
        links.push_back(RouteLink{fromPort, toPort});
        return *this;
    }

    std::vector<RouteNode> nodes;
    std::vector<RoutePort> ports;
    std::vector<RouteLink> links;
};

TEST(PlayedSources, EachStreamOnceWhereItEntersTheGraph) {
    // Ids: sinks 1 and 2, an ordinary app 10, the companion 11 (exclusion is
    // judged later, on what this finds), relays 20 and up, a microphone 30.
    struct Case {
        const char* what;
        Graph graph;
        std::vector<PlayedSource> played;
    };
    auto both = [](std::uint32_t node) { return PlayedSource{node, {node * 100, node * 100 + 1}}; };
    const Case cases[] = {
        {"a stream on a sink", Graph().sink(1).stream(10).link(10, 1), {both(10)}},
        {"a stream linked to nothing", Graph().sink(1).stream(10), {}},
        {"a stream only a recorder takes", Graph().sink(1).stream(10).node(40, "Stream/Input/Audio", "", 2).link(10, 40),
         {}},
        {"one channel of two linked", Graph().sink(1).stream(10).linkPort(1000, 150), {{10, {1000}}}},
        {"an equalizer's virtual sink (pw-loopback)",
         Graph().sink(1).sink(20, "eq").node(21, "Stream/Output/Audio", "eq", 0, 2).stream(10).stream(11)
             .link(10, 20).link(11, 20).link(21, 1),
         {both(10), both(11)}},
        {"an equalizer whose output goes nowhere",
         Graph().sink(1).sink(20, "eq").node(21, "Stream/Output/Audio", "eq", 0, 2).stream(10).link(10, 20), {}},
        {"an echo canceller: its playback carries its sink, its source the microphone",
         Graph().sink(1).node(30, "Audio/Source", "", 0, 2)
             .node(20, "Stream/Input/Audio", "ec", 2).node(21, "Audio/Source", "ec", 0, 2)
             .sink(22, "ec").node(23, "Stream/Output/Audio", "ec", 0, 2)
             .stream(10).link(30, 20).link(10, 22).link(23, 1),
         {both(10)}},
        {"a combined sink over two sinks",
         Graph().sink(1).sink(2).sink(20, "combine").node(21, "Stream/Output/Audio", "combine", 0, 2)
             .node(22, "Stream/Output/Audio", "combine", 0, 2).stream(10).link(10, 20).link(21, 1).link(22, 2),
         {both(10)}},
        {"a loopback from a sink's monitor to another sink",
         Graph().sink(1).sink(2).node(20, "Stream/Input/Audio", "loop", 2).node(21, "Stream/Output/Audio", "loop", 0, 2)
             .stream(10).link(10, 1).link(1, 20).link(21, 2),
         {both(10)}},
        {"a microphone looped to the speakers",
         Graph().sink(1).node(30, "Audio/Source/Virtual", "", 0, 2).node(20, "Stream/Input/Audio", "loop", 2)
             .node(21, "Stream/Output/Audio", "loop", 0, 2).link(30, 20).link(21, 1),
         {both(21)}},
        {"a microphone straight to a sink", Graph().sink(1).node(30, "Audio/Source", "", 0, 2).link(30, 1), {both(30)}},
        {"relays in a chain",
         Graph().sink(1).sink(20, "eq").node(21, "Stream/Output/Audio", "eq", 0, 2).sink(22, "ec")
             .node(23, "Stream/Output/Audio", "ec", 0, 2).stream(10).link(10, 20).link(21, 22).link(23, 1),
         {both(10)}},
        {"relays feeding each other, reaching no sink",
         Graph().sink(1).sink(20, "a").node(21, "Stream/Output/Audio", "a", 0, 2).sink(22, "b")
             .node(23, "Stream/Output/Audio", "b", 0, 2).stream(10).link(10, 20).link(21, 22).link(23, 20),
         {}},
        {"a JACK client on both sides of a sink", Graph().sink(1).node(50, "", "", 0, 1).linkPort(5000, 150).linkPort(5000, 151),
         {{50, {5000}}}},
        {"a JACK client with one of two ports on a sink", Graph().sink(1).node(50, "", "", 0, 2).linkPort(5000, 150),
         {{50, {5000}}}},
        {"a JACK filter between an app and a sink",
         Graph().sink(1).node(51, "", "", 2, 2).stream(10).link(10, 51).link(51, 1), {both(10)}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(playedSources(c.graph.nodes, c.graph.ports, c.graph.links), c.played) << c.what;
    }
}

TEST(PlayedSources, MidiLinksCarryNoAudio) {
    // A synthesizer played from a MIDI keyboard makes its own sound.
    Graph g;
    g.sink(1).node(60, "Midi/Bridge", "", 0, 0).node(61, "", "", 0, 1);
    g.ports.push_back(RoutePort{6000, 60, 0, true, false, false});
    g.ports.push_back(RoutePort{6150, 61, 0, false, false, false});
    g.linkPort(6000, 6150).linkPort(6100, 150).linkPort(6100, 151);
    EXPECT_EQ(playedSources(g.nodes, g.ports, g.links), (std::vector<PlayedSource>{{61, {6100}}}));
}

TEST(CaptureGraph, ANewStreamCountsAsPlayedUntilTheSessionManagerHasHadTimeToLinkIt) {
    // Its first cycles are not lost waiting for the session manager's links
    // to show, nor is it dropped while the session manager moves it; one
    // that asked for no link, or that nobody links in time, is not captured.
    const Clock::time_point t0{};
    struct Case {
        const char* what;
        Props node;
        bool linkedThenUnlinked;
        Clock::duration after;
        bool captured;
    };
    const Case cases[] = {
        {"just started", {}, false, std::chrono::milliseconds(10), true},
        {"never linked", {}, false, kLinkWait, false},
        {"asked for no link", {{"node.autoconnect", "false"}}, false, std::chrono::milliseconds(10), false},
        {"unlinked, to be linked again", {}, true, std::chrono::milliseconds(10), true},
        {"unlinked and left so", {}, true, kLinkWait + std::chrono::milliseconds(10), false},
    };
    for (const auto& c : cases) {
        Registry r;
        r.client(10, app("Music", 100));
        Props props{{"media.class", "Stream/Output/Audio"}, {"client.id", "10"}};
        props.insert(c.node.begin(), c.node.end());
        r.graph.added(40, GlobalType::node, 7040, props, t0);
        r.graph.updated(40, {});
        r.port(4000, 40, "out", 0, "MONO");
        const Clock::time_point unlinked = t0 + std::chrono::milliseconds(500);
        if (c.linkedThenUnlinked) r.graph.removed(r.play(4000), unlinked);
        const Clock::time_point waitEnds = (c.linkedThenUnlinked ? unlinked : t0) + kLinkWait;
        const auto plan = r.graph.plan((c.linkedThenUnlinked ? unlinked : t0) + c.after);
        EXPECT_EQ(plan.streams.size(), c.captured ? 1u : 0u) << c.what;
        if (c.captured) {
            EXPECT_EQ(plan.retryAt, waitEnds) << c.what << ": the wait's end is a pass of its own";
        }
    }
}

TEST(CaptureGraph, TheTapsOwnLinksDoNotEndANewStreamsWait) {
    // The tap links a new stream before the session manager does; its own
    // link must not make the stream look routed to nothing but the tap.
    Registry r;
    r.client(10, app("Music", 100));
    r.graph.added(40, GlobalType::node, 7040, {{"media.class", "Stream/Output/Audio"}, {"client.id", "10"}});
    r.graph.updated(40, {});
    r.port(4000, 40, "out", 0, "MONO");
    const std::uint32_t capture = r.captureNode(7040);
    const auto plan = r.settle();
    ASSERT_EQ(plan.link, (std::vector<LinkKey>{{4000, capture + 1}}));
    r.graph.added(300000, GlobalType::link, 9000, {{"link.output.port", "4000"}, {"link.input.port", std::to_string(capture + 1)}});
    EXPECT_EQ(r.captured(), std::vector<std::uint32_t>{40});
    EXPECT_TRUE(r.graph.plan().unlink.empty());
}

TEST(CaptureGraph, ThroughARelayTheCompanionStaysOutAndAStreamCountsOnce) {
    Registry r;
    // An equalizer: a virtual sink and its playback, one program's nodes.
    r.client(9, app("pw-loopback", 300));
    r.graph.added(20, GlobalType::node, 7000, {{"media.class", "Audio/Sink"}, {"node.link-group", "eq"}, {"client.id", "9"}});
    r.graph.updated(20, {});
    for (std::uint32_t i = 0; i < 2; ++i) r.port(2050 + i, 20, "in", i, i ? "FR" : "FL");
    r.graph.added(21, GlobalType::node, 7001,
                  {{"media.class", "Stream/Output/Audio"}, {"node.link-group", "eq"}, {"client.id", "9"}});
    r.graph.updated(21, {});
    r.ports(21, {"FL", "FR"});  // played on the sink
    r.client(10, app("Music", 100));
    r.client(11, app("Pim Orlo Desktop", 101));
    for (std::uint32_t node : {40u, 41u}) {
        r.graph.added(node, GlobalType::node, 7000 + node,
                      {{"media.class", "Stream/Output/Audio"}, {"client.id", node == 40 ? "10" : "11"}});
        r.graph.updated(node, {});
        for (std::uint32_t i = 0; i < 2; ++i) {
            r.port(node * 100 + i, node, "out", i, i ? "FR" : "FL");
            r.graph.added(node * 100 + 50 + i, GlobalType::link, 8000 + node * 10 + i,
                          {{"link.output.port", std::to_string(node * 100 + i)},
                           {"link.input.port", std::to_string(2050 + i)}});
        }
    }
    EXPECT_EQ(r.captured(), std::vector<std::uint32_t>{40});
}

TEST(CaptureGraph, ACompanionNamingItselfOnItsClientAfterItsStreamStartedIsExcluded) {
    Registry r;
    r.client(10, {{"application.process.id", "100"}});
    r.stream(40, 10, {"FL", "FR"}, {{"application.name", "Chromium"}});
    EXPECT_EQ(r.captured(), std::vector<std::uint32_t>{40});
    r.graph.updated(10, {{"application.name", "Pim Orlo Desktop"}});
    EXPECT_TRUE(r.captured().empty());
}

TEST(CaptureGraph, AProcessListedAtSetUpIsNotAnotherGivenItsPidLater) {
    // 700 was listed when it had started at tick 5000. Whoever has pid 700
    // now decides by when it started.
    struct Case {
        unsigned long long startedAt;
        bool excluded;
    };
    for (const Case c : {Case{5000, true}, Case{9000, false}}) {
        ExclusionRules rules;
        rules.processes = {{700, 5000}};
        rules.lookup = [&](pid_t pid) -> std::optional<ProcessRecord> {
            if (pid == 700) return ProcessRecord{1, "pw-play", "pw-play", c.startedAt};
            return std::nullopt;
        };
        Registry r(rules);
        r.client(10, app("pw-play", 700));
        r.stream(40, 10);
        EXPECT_EQ(r.captured().empty(), c.excluded) << c.startedAt;
    }
}

TEST(CaptureGraph, ALinkThatKeepsFailingIsAskedForLessAndLessOften) {
    using std::chrono::milliseconds;
    const std::pair<unsigned, Clock::duration> delays[] = {
        {1, milliseconds(100)}, {2, milliseconds(200)}, {3, milliseconds(400)}, {7, milliseconds(5000)}, {50, milliseconds(5000)}};
    for (const auto& [failures, delay] : delays) EXPECT_EQ(linkRetryDelay(failures), delay) << failures;

    Registry r;
    r.client(10, app("Music", 100));
    r.captureNode(r.stream(40, 10, {"MONO"}));
    const Clock::time_point t0{};
    const auto key = r.graph.plan(t0).link.at(0);
    r.graph.linkMade(key);
    r.graph.linkFailed(key, t0);
    auto plan = r.graph.plan(t0 + milliseconds(50));
    EXPECT_TRUE(plan.link.empty());
    EXPECT_EQ(plan.retryAt, t0 + milliseconds(100));
    EXPECT_EQ(r.graph.plan(t0 + milliseconds(100)).link, std::vector<LinkKey>{key});
    r.graph.linkMade(key);
    r.graph.linkFailed(key, t0 + milliseconds(100));
    EXPECT_TRUE(r.graph.plan(t0 + milliseconds(250)).link.empty()) << "the second failure waits 200 ms";
    EXPECT_EQ(r.graph.plan(t0 + milliseconds(300)).link, std::vector<LinkKey>{key});
    // Once it carried audio, a later failure starts from 100 ms again; a link
    // destroyed from outside is asked for at once.
    r.graph.linkMade(key);
    r.graph.linkWorks(key);
    r.graph.linkFailed(key, t0 + milliseconds(400));
    EXPECT_EQ(r.graph.plan(t0 + milliseconds(500)).link, std::vector<LinkKey>{key});
    r.graph.linkMade(key);
    r.graph.linkLost(key);
    EXPECT_EQ(r.graph.plan(t0 + milliseconds(500)).link, std::vector<LinkKey>{key});
}

TEST(ProcessRecord, ReadsThisProcessAndItsParent) {
    const auto self = readProcessRecord(::getpid());
    ASSERT_TRUE(self);
    EXPECT_EQ(self->parent, ::getppid());
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(self->name, name);
    EXPECT_FALSE(self->commandName.empty());
    EXPECT_EQ(self->commandName.find('/'), std::string::npos);
    EXPECT_FALSE(readProcessRecord(0));
    EXPECT_FALSE(readProcessRecord(1 << 29));
    // The start time is field 22 of the stat file, a count of ticks since boot.
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int number = 3; number <= 22; ++number) fields >> field;
    EXPECT_EQ(self->startTime, std::stoull(field));
    EXPECT_EQ(processKey(::getpid(), readProcessRecord), (ProcessKey{::getpid(), self->startTime}));
}

TEST(ProcessRecord, AProcessThatHasGoneHasNone) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_FALSE(readProcessRecord(child));
    EXPECT_FALSE(processKey(child, readProcessRecord));
}

TEST(CaptureNodeWidth, ANodeIsAsWideAsItsStreamAndTheCommonOneTakesNarrowerStreams) {
    struct Case {
        std::size_t nodePorts;
        std::size_t streamPorts;
        bool fits;
    };
    const Case cases[] = {
        {2, 2, true},   // stereo on a stereo sink
        {2, 1, true},   // a mono sink's stream takes the ready stereo node
        {2, 0, true},   // ports not known yet
        {2, 6, false},  // moved to a 5.1 sink: made again six wide
        {6, 6, true},
        {6, 2, false},  // moved back: made again two wide, not left six wide
        {1, 1, true},
        {1, 2, false},
        {8, 2, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(captureNodeFits(c.nodePorts, c.streamPorts), c.fits) << c.nodePorts << " for " << c.streamPorts;
        EXPECT_TRUE(captureNodeFits(captureNodeWidth(c.streamPorts), c.streamPorts)) << c.streamPorts;
    }
}

TEST(ClockSink, TheSinkMostRunningStreamsPlayIntoKeepsTheClock) {
    using Loads = std::vector<SinkLoad>;
    const struct {
        const char* what;
        Loads loads;
        std::optional<std::uint32_t> current;
        std::optional<std::uint32_t> chosen;
    } cases[] = {
        {"nothing runs", {}, std::nullopt, std::nullopt},
        {"sinks without running streams", {{1, 0}, {2, 0}}, 2u, std::nullopt},
        {"one sink plays", {{1, 0}, {2, 1}}, std::nullopt, 2u},
        {"the most streams win over the current sink", {{1, 1}, {2, 3}}, 1u, 2u},
        {"a tie keeps the current sink", {{1, 2}, {2, 2}}, 2u, 2u},
        {"a tie without a current sink takes the first", {{1, 2}, {2, 2}}, std::nullopt, 1u},
        {"a current sink that went quiet lets go", {{1, 1}, {2, 0}}, 2u, 1u},
        {"the default sink while a stream plays into it", {{1, 3}, {2, 1, true}}, 1u, 2u},
        {"not a default sink nothing plays into", {{1, 1}, {2, 0, true}}, std::nullopt, 1u},
    };
    for (const auto& c : cases) EXPECT_EQ(clockSink(c.loads, c.current), c.chosen) << c.what;
}

TEST(CaptureGraph, TheClockIsLinkedFromTheMonitorOfTheSinkARunningStreamPlaysInto) {
    Registry r;
    constexpr std::uint32_t kMonitor = 900, kClock = 950, kClockInput = 951;
    r.port(kMonitor + 1, Registry::kSink, "out", 1, "FR", true);
    r.port(kMonitor, Registry::kSink, "out", 0, "FL", true);
    r.graph.added(kClock, GlobalType::node, 1, {{"media.class", "Stream/Input/Audio"}});
    r.port(kClockInput, kClock, "in", 0, "MONO");
    r.client(10, app("Music", 100));
    r.captureNode(r.stream(40, 10));
    CapturePlan plan = r.settle();
    ASSERT_EQ(plan.streams.size(), 1u);
    EXPECT_FALSE(r.graph.clockLink(kClock, plan, std::nullopt)) << "a stream that does not run yet";

    EXPECT_TRUE(r.graph.nodeRunning(40, true));
    EXPECT_FALSE(r.graph.nodeRunning(40, true)) << "no change";
    const auto link = r.graph.clockLink(kClock, plan, std::nullopt);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->sink, Registry::kSink);
    EXPECT_EQ(link->key, (LinkKey{kMonitor, kClockInput}));

    // The clock's own link is no played audio: the capture is unchanged.
    r.graph.added(300000, GlobalType::link, 2,
                  {{"link.output.port", std::to_string(kMonitor)}, {"link.input.port", std::to_string(kClockInput)}});
    plan = r.settle();
    EXPECT_EQ(r.captured(), std::vector<std::uint32_t>{40});
    EXPECT_TRUE(plan.link.empty() && plan.unlink.empty());

    // A stream on the default sink takes the clock there, one apiece or not.
    constexpr std::uint32_t kHeadphones = 960, kHeadphonesIn = 961, kHeadphonesMonitor = 962;
    r.graph.added(kHeadphones, GlobalType::node, 3, {{"media.class", "Audio/Sink"}, {"node.name", "headphones"}});
    r.graph.updated(kHeadphones, {});
    r.port(kHeadphonesIn, kHeadphones, "in", 0, "FL");
    r.port(kHeadphonesMonitor, kHeadphones, "out", 0, "FL", true);
    r.client(11, app("Call", 101));
    r.graph.added(41, GlobalType::node, 5, {{"media.class", "Stream/Output/Audio"}, {"client.id", "11"}});
    r.graph.updated(41, {});
    r.port(970, 41, "out", 0, "MONO");
    r.graph.added(300001, GlobalType::link, 4,
                  {{"link.output.port", "970"}, {"link.input.port", std::to_string(kHeadphonesIn)}});
    r.graph.nodeRunning(41, true);
    r.captureNode(r.graph.serialOf(41));
    plan = r.settle();
    ASSERT_EQ(plan.streams.size(), 2u);
    EXPECT_EQ(r.graph.clockLink(kClock, plan, Registry::kSink)->sink, Registry::kSink) << "a tie keeps the clock";
    EXPECT_TRUE(r.graph.defaultSink("headphones"));
    const auto onDefault = r.graph.clockLink(kClock, plan, Registry::kSink);
    ASSERT_TRUE(onDefault);
    EXPECT_EQ(onDefault->key, (LinkKey{kHeadphonesMonitor, kClockInput}));

    // Paused, the stream leaves its sink free to sleep.
    r.graph.nodeRunning(41, false);
    EXPECT_EQ(r.graph.clockLink(kClock, plan, kHeadphones)->sink, Registry::kSink);
    r.graph.nodeRunning(40, false);
    EXPECT_FALSE(r.graph.clockLink(kClock, plan, Registry::kSink));
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
