// What the capture should take in, derived from what the PipeWire registry
// holds right now. Plain C++: registry events go in, "capture these streams,
// link these ports" comes out, and the glue carries it out.
//
// Identity: ids are forgotten the moment their global leaves (PipeWire hands
// them out again); a capture node is tied to its stream by the stream's
// `object.serial`, which is never reused. Links are derived from the ports
// that exist at each evaluation, so a port that goes takes its link with it, a
// layout change relinks at once, and a link that failed is asked for again.
#pragma once

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "platform/capture.h"

namespace pimorlo::platform::linux_backend {

using Props = std::map<std::string, std::string>;

enum class GlobalType { client, node, port, other };

// What the system says about a process, for the walk up its parents.
struct ProcessRecord {
    pid_t parent = 0;
    std::string name;         // the kernel's short name (comm)
    std::string commandName;  // the last path element of argv[0]
};
using ProcessLookup = std::function<std::optional<ProcessRecord>(pid_t)>;

// Reads /proc/<pid>/stat and /proc/<pid>/cmdline; empty when the process is gone.
std::optional<ProcessRecord> readProcessRecord(pid_t pid);

struct ExclusionRules {
    // The core's rule, applied to every application as it appears.
    std::function<bool(const RunningApplication&)> excludesApplication;
    // Processes listed as excluded at set-up (the tap's own among them).
    std::set<pid_t> processes;
    // Sandboxed clients listed as excluded at set-up, by object serial.
    std::set<std::uint64_t> clientSerials;
    // Empty: a process's parents are not looked at.
    ProcessLookup lookup;
};

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
    // The positions of the stream's own format, before PipeWire adapted it
    // to its sink; empty until known.
    std::vector<std::string> streamChannels;
    auto operator<=>(const CapturedStream&) const = default;
};

struct CapturePlan {
    std::vector<CapturedStream> streams;  // by node id
    std::vector<LinkKey> link;            // to make now
    std::vector<LinkKey> unlink;          // held, no longer wanted (or their port went)
};

class CaptureGraph {
public:
    CaptureGraph() = default;
    explicit CaptureGraph(ExclusionRules rules) : rules_(std::move(rules)) {}

    // The rules to judge by from now on; every earlier decision is dropped.
    void setRules(ExclusionRules rules) {
        rules_ = std::move(rules);
        decisions_.clear();
        excludedClientPids_.reset();
    }

    // Registry events. `updated` merges a bound object's info into its global.
    void added(std::uint32_t id, GlobalType type, std::uint64_t serial, Props props);
    void updated(std::uint32_t id, const Props& props);
    void removed(std::uint32_t id);
    // The channel positions of a node's own format (its Format parameter).
    void formatKnown(std::uint32_t node, std::vector<std::string> channels);

    // The glue's own objects: the capture node that takes in the stream with
    // `streamSerial`, and the links it made.
    void captureNodeKnown(std::uint64_t streamSerial, std::uint32_t captureNode);
    void captureNodeGone(std::uint64_t streamSerial);
    void linkMade(LinkKey key) { held_.insert(key); }
    // A link that failed or was destroyed; asked for again by the next plan
    // while both its ports are there.
    void linkLost(LinkKey key) { held_.erase(key); }

    // The streams to capture now and how the links must change. Marks the
    // links it drops as no longer held; the links it asks for count as held
    // once the glue reports them made.
    CapturePlan plan();

    bool excluded(std::uint32_t node);
    // Whether the global `id` exists and is the one with `serial`.
    bool present(std::uint32_t id, std::uint64_t serial) const;
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
    };
    struct Identity {
        pid_t processID = 0;
        bool sandboxed = false;
        std::uint64_t clientSerial = 0;
        std::optional<std::string> bundleIdentifier;
        std::optional<std::string> applicationName;
    };

    static RunningApplication application(const Identity& identity);
    const Global* clientOf(const Global& global) const;
    Identity identityOf(const Global& global) const;
    bool clientReady(const Global& node) const;
    void forget(std::uint32_t id);
    bool judge(const Identity& identity);
    bool processExcluded(pid_t pid);
    const std::set<pid_t>& excludedClientPids();
    void rebuildPortIndex();
    // (port index, id) of a node's ports in one direction, monitors left out, by index.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> portsOf(std::uint32_t node, const char* direction) const;

    ExclusionRules rules_;
    std::map<std::uint32_t, Global> globals_;
    std::map<std::uint32_t, std::vector<std::string>> formats_;
    std::map<std::uint64_t, std::uint32_t> captureNodes_;  // stream serial -> capture node id
    std::set<LinkKey> held_;
    // Decisions, forgotten when the node or its client changes.
    std::map<std::uint32_t, bool> decisions_;
    std::optional<std::set<pid_t>> excludedClientPids_;
    std::multimap<std::uint32_t, std::uint32_t> portIndex_;  // node id -> port id
};

}  // namespace pimorlo::platform::linux_backend
