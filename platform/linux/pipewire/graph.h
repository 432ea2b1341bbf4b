// What the capture should take in, derived from what the PipeWire registry
// holds right now. Plain C++: registry events go in, "capture these streams,
// link these ports" comes out, and the glue carries it out.
//
// What is captured: the audio the machine plays, each stream once, where it
// enters the graph (see `playedSources`). A relay (a loopback, an equalizer,
// an echo canceller, a combined sink) passes on what others play and is never
// captured itself, so what goes through it is neither doubled nor let in past
// the exclusion; audio that reaches no sink is not played and not captured.
//
// Identity: ids are forgotten the moment their global leaves (PipeWire hands
// them out again); a capture node is tied to its stream by the stream's
// `object.serial`, which is never reused. Links are derived from the ports
// that exist at each evaluation, so a port that goes takes its link with it, a
// layout change relinks at once, and a link that failed is asked for again,
// each time a little later while it keeps failing.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/linux/capture/exclusion.h"

namespace pimorlo::platform::linux_backend {

enum class GlobalType { client, node, port, link, other };

// ---- what is played -------------------------------------------------------

// A node as routing sees it: its class and the relay it belongs to (the
// nodes of one `node.link-group` pass audio between them inside a program).
struct RouteNode {
    std::uint32_t id = 0;
    std::string mediaClass;
    std::string linkGroup;
    // A stream the session manager is still to link, new or just unlinked
    // (moved to another sink): its unlinked ports count as played, so that
    // its first cycle is not lost waiting for the session manager's links to
    // show (they come one port at a time), and a move does not tear down and
    // make again its capture in the middle of PipeWire's own relinking.
    bool awaitingLink = false;
};
struct RoutePort {
    std::uint32_t id = 0;
    std::uint32_t node = 0;
    std::uint32_t index = 0;  // `port.id`: its place among its node's ports
    bool output = false;
    bool monitor = false;  // a sink's copy of what it plays
    bool audio = true;     // false for MIDI and control ports
};
struct RouteLink {
    std::uint32_t outputPort = 0;
    std::uint32_t inputPort = 0;
};
// A node whose own audio the machine plays, and which of its output ports
// reach a sink (by port index order).
struct PlayedSource {
    std::uint32_t node = 0;
    std::vector<std::uint32_t> ports;
    bool operator==(const PlayedSource&) const = default;
};

// The nodes where played audio enters the graph, by node id.
//
// A port is played when a link takes it to a sink, or to a relay whose
// output is played. A sink in a link group (a virtual sink) is a relay's
// input, not where audio ends. Within a link group, a playback stream carries
// what enters the group's sinks (or, without one, its capture streams); a
// source carries what its capture streams take in. A node outside any group
// that takes audio in and gives audio out (a JACK filter) carries its own
// input.
//
// A node that carries audio from other nodes (a relay) is not where audio
// enters: what plays into it is captured where it starts. The exception is a
// relay fed by capture sources only (a microphone looped to the speakers):
// that audio enters the played graph at the relay, which is captured. A relay
// in a link group that nothing feeds carries nothing and is not captured.
std::vector<PlayedSource> playedSources(const std::vector<RouteNode>& nodes, const std::vector<RoutePort>& ports,
                                        const std::vector<RouteLink>& links);

// A process-owned application as the content lists it. A sandboxed client
// is one application of its own: the process id it reports is one of its
// sandbox's, shared with every other sandbox, so it is not given out.
struct ApplicationRecord {
    pid_t processID = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> applicationName;
    bool sandboxed = false;
    std::vector<std::uint64_t> clientSerials;
};

struct LinkKey {
    std::uint32_t outputPort = 0;
    std::uint32_t inputPort = 0;
    auto operator<=>(const LinkKey&) const = default;
};

struct CapturedStream {
    std::uint32_t node = 0;
    std::uint64_t serial = 0;
    // `audio.channel` of each output port, in port order (empty when unnamed).
    std::vector<std::string> channels;
    // Whether each of those ports is played (reaches a sink); only these are
    // linked, and the others count for nothing in the mix.
    std::vector<bool> played;
    // The positions of the stream's own format, before PipeWire adapted it
    // to its sink; empty until known.
    std::vector<std::string> streamChannels;
    auto operator<=>(const CapturedStream&) const = default;
};

using Clock = std::chrono::steady_clock;

// A sink and how many of the captured streams that run now play into it.
struct SinkLoad {
    std::uint32_t sink = 0;
    unsigned playing = 0;
    bool isDefault = false;  // the session's default sink
};

// The sink whose driver the mix's clock node is to run on, so that the
// streams there are copied sample for sample rather than followed through the
// resampler: the default sink, where most applications play, while a running
// stream plays into it; else the one most running streams play into. On a
// tie the sink it runs on now (`current`) stays, so a stream that starts
// elsewhere does not move the clock under the others; then the first sink.
// None when no stream runs: the clock node is then left to PipeWire, which
// runs it on whatever driver is awake, so silence still arrives and no sink
// is kept awake for it.
std::optional<std::uint32_t> clockSink(const std::vector<SinkLoad>& sinks, std::optional<std::uint32_t> current);

// How long a new or unlinked stream is taken as played before its links
// show: the session manager links in milliseconds; a stream left unlinked (no
// sink for it, or unlinked by the user) is dropped after this.
inline constexpr Clock::duration kLinkWait = std::chrono::seconds(2);

struct CapturePlan {
    std::vector<CapturedStream> streams;  // by node id
    std::vector<LinkKey> link;            // to make now
    std::vector<LinkKey> unlink;          // held, no longer wanted (or their port went)
    // When a link that failed is to be asked for again, or a new stream's
    // wait for its first link ends; empty when nothing waits.
    std::optional<Clock::time_point> retryAt;
};

// How long a link that failed `failures` times in a row waits before it is
// asked for again: 100 ms, doubling, at most 5 s. A link PipeWire keeps
// refusing is retried, but not ten times a second for ever.
Clock::duration linkRetryDelay(unsigned failures);

// Capture nodes are as wide as the stream they take in: a stereo stream gets
// a node of two inputs, a 5.1 one of six. Most streams play on a stereo sink,
// so the node kept ready for the next stream is made in that width, and a
// narrower stream (a mono headset's, or one whose ports are not known yet)
// may take it rather than wait for a node of its own.
inline constexpr std::size_t kCommonCaptureWidth = 2;
// How many inputs a new capture node for a stream with `streamPorts` output
// ports gets.
std::size_t captureNodeWidth(std::size_t streamPorts);
// Whether a capture node of `nodePorts` inputs serves such a stream; when it
// does not (the stream was moved to a sink with another layout), it is made
// again in the stream's width.
bool captureNodeFits(std::size_t nodePorts, std::size_t streamPorts);

class CaptureGraph {
public:
    CaptureGraph() = default;
    explicit CaptureGraph(ExclusionRules rules) : judge_(std::move(rules)) {}

    // The rules to judge by from now on; every earlier decision is dropped.
    void setRules(ExclusionRules rules) {
        judge_ = ExclusionJudge(std::move(rules));
        decisions_.clear();
        excludedClientsKnown_ = false;
    }

    // Registry events. `updated` merges a bound object's info into its global.
    void added(std::uint32_t id, GlobalType type, std::uint64_t serial, Props props,
               Clock::time_point now = Clock::now());
    void updated(std::uint32_t id, const Props& props);
    void removed(std::uint32_t id, Clock::time_point now = Clock::now());
    // The channel positions of a node's own format (its Format parameter).
    void formatKnown(std::uint32_t node, std::vector<std::string> channels);

    // The `node.name` of the session's default sink (empty: none set).
    // Returns whether that changed.
    bool defaultSink(std::string name);

    // Whether a node runs now (its driver runs and it takes part).
    // Returns whether that changed.
    bool nodeRunning(std::uint32_t id, bool running);

    // The link that puts the clock node `clockNode` on the driver of the
    // sink `clockSink` chooses among those the plan's running streams play
    // into (`current`: the sink it follows now): from the sink's first
    // monitor port to the clock node's input. A monitor link takes the clock
    // node into the sink's group without feeding the sink anything.
    struct ClockLink {
        std::uint32_t sink = 0;
        LinkKey key;
    };
    std::optional<ClockLink> clockLink(std::uint32_t clockNode, const CapturePlan& plan,
                                       std::optional<std::uint32_t> current);

    // The glue's own objects: the capture node that takes in the stream with
    // `streamSerial`, and the links it made.
    void captureNodeKnown(std::uint64_t streamSerial, std::uint32_t captureNode);
    void captureNodeGone(std::uint64_t streamSerial);
    void linkMade(LinkKey key) { held_.insert(key); }
    // A link that was destroyed from outside; asked for again by the next
    // plan while both its ports are there.
    void linkLost(LinkKey key) { held_.erase(key); }
    // A link that PipeWire refused or left in its error state: asked for
    // again after linkRetryDelay, longer each time it fails again.
    void linkFailed(LinkKey key, Clock::time_point now);
    // A link that carries audio: its failures are forgotten.
    void linkWorks(LinkKey key) { failures_.erase(key); }

    // The streams to capture now and how the links must change. Marks the
    // links it drops as no longer held; the links it asks for count as held
    // once the glue reports them made.
    CapturePlan plan(Clock::time_point now = Clock::now());

    bool excluded(std::uint32_t node);
    // Whether the global `id` exists and is the one with `serial`.
    bool present(std::uint32_t id, std::uint64_t serial) const;
    // The serial of the global `id`; 0 when there is none.
    std::uint64_t serialOf(std::uint32_t id) const;
    // The node a port belongs to; 0 when the port is not known.
    std::uint32_t nodeOf(std::uint32_t port) const;
    std::vector<ApplicationRecord> applications() const;
    // Audio sinks in registry (id) order.
    std::vector<std::uint32_t> sinks() const;

private:
    struct Global {
        GlobalType type = GlobalType::other;
        std::uint64_t serial = 0;
        Props props;
        bool infoReceived = false;
        Clock::time_point seen;  // when it appeared
        // A node: when a link from one of its outputs last went.
        std::optional<Clock::time_point> unlinkedAt;
        bool running = false;
    };
    struct Failure {
        unsigned count = 0;
        Clock::time_point retryAt;
    };

    const Global* clientOf(const Global& global) const;
    // The node's own values first (`clientFirst` false) or its client's.
    ApplicationIdentity identityOf(const Global& global, bool clientFirst = false) const;
    bool clientReady(const Global& node) const;
    void forget(std::uint32_t id);
    // Tells the judge which clients' processes the rule leaves out.
    void knowExcludedClients();
    void rebuildPortIndex();
    // The played sources now; `waitEnds`: when the earliest wait for a
    // first link ends.
    std::vector<PlayedSource> played(Clock::time_point now, std::optional<Clock::time_point>& waitEnds) const;
    // (port index, id) of a node's ports in one direction, monitors left out, by index.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> portsOf(std::uint32_t node, const char* direction) const;

    ExclusionJudge judge_;
    std::map<std::uint32_t, Global> globals_;
    std::map<std::uint32_t, std::vector<std::string>> formats_;
    std::map<std::uint64_t, std::uint32_t> captureNodes_;  // stream serial -> capture node id
    std::uint32_t clockNode_ = 0;
    std::string defaultSink_;
    std::set<LinkKey> held_;
    std::map<LinkKey, Failure> failures_;
    // Decisions, forgotten when the node or its client changes.
    std::map<std::uint32_t, bool> decisions_;
    bool excludedClientsKnown_ = false;
    std::multimap<std::uint32_t, std::uint32_t> portIndex_;  // node id -> port id
};

}  // namespace pimorlo::platform::linux_backend
