#include "platform/linux/pipewire/graph.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace pimorlo::platform::linux_backend {
namespace {

constexpr const char* kStreamOutputClass = "Stream/Output/Audio";
constexpr const char* kSinkClass = "Audio/Sink";

// The value or the empty text. The key is a plain pointer: a reference to the
// result is then never tied to a temporary made for the call.
const std::string& lookup(const Props& props, const char* key) {
    static const std::string empty;
    auto it = props.find(key);
    return it == props.end() ? empty : it->second;
}

// An id or process id as PipeWire writes it; 0 when absent or malformed.
std::uint32_t parseID(const std::string& value) {
    if (value.empty()) return 0;
    char* end = nullptr;
    const long v = std::strtol(value.c_str(), &end, 10);
    return (end && *end == '\0' && v > 0 && v < (1L << 30)) ? static_cast<std::uint32_t>(v) : 0;
}

std::optional<std::string> nonEmpty(const std::string& value) {
    return value.empty() ? std::nullopt : std::optional<std::string>(value);
}

}  // namespace

// ---- what is played ---------------------------------------------------------

namespace {

bool isSink(const RouteNode& node) { return node.mediaClass == "Audio/Sink" || node.mediaClass == "Audio/Duplex"; }

bool isCaptureSource(const RouteNode& node) {
    return node.mediaClass.starts_with("Audio/Source") || node.mediaClass == "Audio/Duplex";
}

bool isPlaybackStream(const RouteNode& node) { return node.mediaClass.starts_with("Stream/Output"); }
bool isCaptureStream(const RouteNode& node) { return node.mediaClass.starts_with("Stream/Input"); }

class Routing {
public:
    Routing(const std::vector<RouteNode>& nodes, const std::vector<RoutePort>& ports,
            const std::vector<RouteLink>& links) {
        for (const RouteNode& node : nodes) nodes_.emplace(node.id, &node);
        for (const RoutePort& port : ports) {
            if (!port.audio || !nodes_.count(port.node)) continue;
            ports_.emplace(port.id, &port);
            (port.output ? outputs_ : inputs_)[port.node].push_back(&port);
        }
        for (auto& [node, list] : outputs_)
            std::sort(list.begin(), list.end(), [](const RoutePort* a, const RoutePort* b) { return a->index < b->index; });
        for (const RouteLink& link : links) {
            auto out = ports_.find(link.outputPort);
            auto in = ports_.find(link.inputPort);
            if (out == ports_.end() || in == ports_.end() || !out->second->output || in->second->output) continue;
            targets_[link.outputPort].push_back(in->second->node);
            feeders_[in->second->node].push_back(out->second->node);
        }
        for (const RouteNode& node : nodes) {
            if (!node.linkGroup.empty()) groups_[node.linkGroup].push_back(&node);
        }
        for (const RouteNode& node : nodes) {
            for (std::uint32_t input : carriedInputs(node)) carriers_[input].push_back(node.id);
        }
    }

    std::vector<PlayedSource> sources() const {
        std::vector<PlayedSource> found;
        for (const auto& [id, node] : nodes_) {
            if (isSink(*node) || !entersHere(*node)) continue;
            PlayedSource source{id, {}};
            auto outputs = outputs_.find(id);
            if (outputs == outputs_.end()) continue;
            for (const RoutePort* port : outputs->second) {
                std::set<std::uint32_t> visited;
                // The session manager links a stream's ports one by one.
                const bool awaiting = node->awaitingLink && !targets_.count(port->id);
                if (!port->monitor && (awaiting || played(port->id, visited))) source.ports.push_back(port->id);
            }
            if (!source.ports.empty()) found.push_back(std::move(source));
        }
        return found;
    }

private:
    bool hasOutputs(std::uint32_t node) const {
        auto it = outputs_.find(node);
        if (it == outputs_.end()) return false;
        return std::any_of(it->second.begin(), it->second.end(), [](const RoutePort* p) { return !p->monitor; });
    }

    // The nodes whose input `node`'s output carries on.
    std::vector<std::uint32_t> carriedInputs(const RouteNode& node) const {
        std::vector<std::uint32_t> carried;
        if (isSink(node) || !hasOutputs(node.id)) return carried;
        if (node.linkGroup.empty()) {
            if (inputs_.count(node.id)) carried.push_back(node.id);
            return carried;
        }
        const auto& members = groups_.at(node.linkGroup);
        const bool groupHasSink = std::any_of(members.begin(), members.end(), [](const RouteNode* m) { return isSink(*m); });
        for (const RouteNode* member : members) {
            if (member->id == node.id) continue;
            if (isPlaybackStream(node) ? (groupHasSink ? isSink(*member) : isCaptureStream(*member))
                                       : isCaptureStream(*member))
                carried.push_back(member->id);
        }
        return carried;
    }

    // Whether audio first enters the played graph at `node`.
    bool entersHere(const RouteNode& node) const {
        std::vector<std::uint32_t> feeders;
        for (std::uint32_t input : carriedInputs(node)) {
            auto it = feeders_.find(input);
            if (it != feeders_.end()) feeders.insert(feeders.end(), it->second.begin(), it->second.end());
        }
        if (feeders.empty()) return node.linkGroup.empty();
        return std::all_of(feeders.begin(), feeders.end(), [this](std::uint32_t feeder) {
            auto it = nodes_.find(feeder);
            return it != nodes_.end() && isCaptureSource(*it->second);
        });
    }

    // Whether what leaves `port` reaches a sink. `visited` holds the relays
    // already followed, so a loop in the graph ends.
    bool played(std::uint32_t port, std::set<std::uint32_t>& visited) const {
        auto targets = targets_.find(port);
        if (targets == targets_.end()) return false;
        for (std::uint32_t target : targets->second) {
            const RouteNode& node = *nodes_.at(target);
            if (isSink(node) && node.linkGroup.empty()) return true;
            auto carriers = carriers_.find(target);
            if (carriers == carriers_.end()) continue;
            for (std::uint32_t carrier : carriers->second) {
                // A relay where audio enters (a microphone's loopback) is
                // captured itself: what feeds it counts there, once.
                if (!visited.insert(carrier).second || entersHere(*nodes_.at(carrier))) continue;
                for (const RoutePort* out : outputs_.at(carrier)) {
                    if (!out->monitor && played(out->id, visited)) return true;
                }
            }
        }
        return false;
    }

    std::map<std::uint32_t, const RouteNode*> nodes_;
    std::map<std::uint32_t, const RoutePort*> ports_;
    std::map<std::uint32_t, std::vector<const RoutePort*>> outputs_;
    std::map<std::uint32_t, std::vector<const RoutePort*>> inputs_;
    std::map<std::uint32_t, std::vector<std::uint32_t>> targets_;   // output port -> nodes it feeds
    std::map<std::uint32_t, std::vector<std::uint32_t>> feeders_;   // node -> nodes feeding its inputs
    std::map<std::uint32_t, std::vector<std::uint32_t>> carriers_;  // node -> nodes carrying its input on
    std::map<std::string, std::vector<const RouteNode*>> groups_;
};

}  // namespace

std::vector<PlayedSource> playedSources(const std::vector<RouteNode>& nodes, const std::vector<RoutePort>& ports,
                                        const std::vector<RouteLink>& links) {
    return Routing(nodes, ports, links).sources();
}

std::size_t captureNodeWidth(std::size_t streamPorts) {
    return streamPorts == 0 ? kCommonCaptureWidth : streamPorts;
}

bool captureNodeFits(std::size_t nodePorts, std::size_t streamPorts) {
    return nodePorts == captureNodeWidth(streamPorts) || (nodePorts == kCommonCaptureWidth && streamPorts < nodePorts);
}

std::optional<std::uint32_t> clockSink(const std::vector<SinkLoad>& sinks, std::optional<std::uint32_t> current) {
    std::optional<SinkLoad> best;
    for (const SinkLoad& load : sinks) {
        if (load.playing == 0) continue;
        if (load.isDefault) return load.sink;
        const bool better = !best || load.playing > best->playing ||
                            (load.playing == best->playing && load.sink == current && best->sink != current);
        if (better) best = load;
    }
    if (!best) return std::nullopt;
    return best->sink;
}

Clock::duration linkRetryDelay(unsigned failures) {
    constexpr auto first = std::chrono::milliseconds(100);
    constexpr auto longest = std::chrono::seconds(5);
    if (failures == 0) return Clock::duration::zero();
    Clock::duration delay = first;
    for (unsigned i = 1; i < failures && delay < longest; ++i) delay *= 2;
    return std::min<Clock::duration>(delay, longest);
}

void CaptureGraph::added(std::uint32_t id, GlobalType type, std::uint64_t serial, Props props,
                         Clock::time_point now) {
    removed(id, now);  // a global the registry never said was removed is stale
    Global global;
    global.type = type;
    global.serial = serial;
    global.props = std::move(props);
    global.seen = now;

    // Ports and links tell everything in their global; clients and nodes once bound.
    global.infoReceived = type == GlobalType::port || type == GlobalType::link || type == GlobalType::other;
    globals_[id] = std::move(global);
    if (type == GlobalType::client) excludedClientsKnown_ = false;
}

void CaptureGraph::updated(std::uint32_t id, const Props& props) {
    auto it = globals_.find(id);
    if (it == globals_.end()) return;
    for (const auto& [key, value] : props) it->second.props[key] = value;
    it->second.infoReceived = true;
    forget(id);
}

void CaptureGraph::removed(std::uint32_t id, Clock::time_point now) {
    auto it = globals_.find(id);
    if (it == globals_.end()) return;
    forget(id);
    // A link taken from a stream, or an output port of it gone (a move to a
    // sink of another layout makes its ports anew): the session manager is
    // routing it again, or the user unlinked it.
    const Global* port = nullptr;
    if (it->second.type == GlobalType::link) {
        auto found = globals_.find(parseID(lookup(it->second.props, "link.output.port")));
        if (found != globals_.end()) port = &found->second;
    } else if (it->second.type == GlobalType::port && lookup(it->second.props, "port.direction") == "out") {
        port = &it->second;
    }
    if (port != nullptr) {
        auto node = globals_.find(parseID(lookup(port->props, "node.id")));
        if (node != globals_.end()) node->second.unlinkedAt = now;
    }
    if (it->second.type == GlobalType::port) {
        // PipeWire destroys the links of a port that goes; ours are no longer held.
        std::erase_if(held_, [id](const LinkKey& k) { return k.outputPort == id || k.inputPort == id; });
    }
    formats_.erase(id);
    globals_.erase(it);
}

bool CaptureGraph::defaultSink(std::string name) {
    if (name == defaultSink_) return false;
    defaultSink_ = std::move(name);
    return true;
}

bool CaptureGraph::nodeRunning(std::uint32_t id, bool running) {
    auto it = globals_.find(id);
    if (it == globals_.end() || it->second.running == running) return false;
    it->second.running = running;
    return true;
}

std::optional<CaptureGraph::ClockLink> CaptureGraph::clockLink(std::uint32_t clockNode, const CapturePlan& plan,
                                                               std::optional<std::uint32_t> current) {
    clockNode_ = clockNode;
    rebuildPortIndex();
    std::map<std::uint32_t, unsigned> playing;  // sink -> running streams that play into it
    for (const CapturedStream& stream : plan.streams) {
        auto node = globals_.find(stream.node);
        if (node == globals_.end() || !node->second.running) continue;
        std::set<std::uint32_t> outputs, reached;
        for (const auto& [index, port] : portsOf(stream.node, "out")) outputs.insert(port);
        for (const auto& [id, global] : globals_) {
            if (global.type != GlobalType::link || !outputs.count(parseID(lookup(global.props, "link.output.port"))))
                continue;
            auto sink = globals_.find(nodeOf(parseID(lookup(global.props, "link.input.port"))));
            if (sink == globals_.end()) continue;
            const std::string& mediaClass = lookup(sink->second.props, "media.class");
            if (mediaClass == kSinkClass || mediaClass == "Audio/Duplex") reached.insert(sink->first);
        }
        for (std::uint32_t sink : reached) ++playing[sink];
    }
    std::vector<SinkLoad> loads;
    for (const auto& [sink, count] : playing) {
        const bool isDefault = !defaultSink_.empty() && lookup(globals_.at(sink).props, "node.name") == defaultSink_;
        loads.push_back(SinkLoad{sink, count, isDefault});
    }
    const auto sink = clockSink(loads, current);
    if (!sink) return std::nullopt;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> monitor;  // (port index, id)
    const auto [first, last] = portIndex_.equal_range(*sink);
    for (auto it = first; it != last; ++it) {
        const Props& props = globals_.at(it->second).props;
        if (lookup(props, "port.direction") != "out" || lookup(props, "port.monitor") != "true") continue;
        const auto index = static_cast<std::uint32_t>(std::strtoul(lookup(props, "port.id").c_str(), nullptr, 10));
        if (!monitor || index < monitor->first) monitor = std::make_pair(index, it->second);
    }
    const auto inputs = portsOf(clockNode, "in");
    if (!monitor || inputs.empty()) return std::nullopt;
    return ClockLink{*sink, LinkKey{monitor->second, inputs.front().second}};
}

void CaptureGraph::formatKnown(std::uint32_t node, std::vector<std::string> channels) {
    if (globals_.count(node)) formats_[node] = std::move(channels);
}

// Drops what was decided from a global that changed: its own decision, and
// for a client the decisions of its nodes, or every decision when the client
// is excluded (it may be the parent of processes already playing).
void CaptureGraph::forget(std::uint32_t id) {
    auto it = globals_.find(id);
    if (it == globals_.end()) return;
    decisions_.erase(id);
    if (it->second.type != GlobalType::client) return;
    excludedClientsKnown_ = false;
    if (judge_.excludesClient(identityOf(it->second))) {
        decisions_.clear();
        return;
    }
    const std::string client = std::to_string(id);
    std::erase_if(decisions_, [&](const auto& entry) {
        auto node = globals_.find(entry.first);
        return node == globals_.end() || lookup(node->second.props, "client.id") == client;
    });
}

void CaptureGraph::captureNodeKnown(std::uint64_t streamSerial, std::uint32_t captureNode) {
    captureNodes_[streamSerial] = captureNode;
}

void CaptureGraph::captureNodeGone(std::uint64_t streamSerial) { captureNodes_.erase(streamSerial); }

const CaptureGraph::Global* CaptureGraph::clientOf(const Global& global) const {
    if (global.type == GlobalType::client) return &global;
    auto it = globals_.find(parseID(lookup(global.props, "client.id")));
    return it != globals_.end() && it->second.type == GlobalType::client ? &it->second : nullptr;
}

ApplicationIdentity CaptureGraph::identityOf(const Global& global, bool clientFirst) const {
    const Global* client = clientOf(global);
    static const Props none;
    const Props& clientProps = client ? client->props : none;
    const Props& first = clientFirst ? clientProps : global.props;
    const Props& second = clientFirst ? global.props : clientProps;
    return applicationIdentity(first, second, clientProps, client ? client->serial : 0);
}

bool CaptureGraph::clientReady(const Global& node) const {
    const std::uint32_t clientID = parseID(lookup(node.props, "client.id"));
    if (clientID == 0) return true;
    auto it = globals_.find(clientID);
    return it == globals_.end() || it->second.infoReceived;
}

void CaptureGraph::knowExcludedClients() {
    if (excludedClientsKnown_) return;
    std::set<pid_t> processes;
    for (const auto& [id, global] : globals_) {
        if (global.type != GlobalType::client) continue;
        const ApplicationIdentity identity = identityOf(global);
        if (judge_.excludesClient(identity)) processes.insert(identity.processID);
    }
    judge_.setExcludedClientProcesses(std::move(processes));
    excludedClientsKnown_ = true;
}

bool CaptureGraph::excluded(std::uint32_t node) {
    auto cached = decisions_.find(node);
    if (cached != decisions_.end()) return cached->second;
    auto it = globals_.find(node);
    if (it == globals_.end()) return false;
    // A stream is its application's by its own values and by its client's:
    // either one naming the companion excludes it, so a companion that names
    // itself on its client after its stream started is not let in by what
    // the stream said first.
    knowExcludedClients();
    const bool decision = judge_.excludes(identityOf(it->second), identityOf(it->second, true));
    decisions_[node] = decision;
    return decision;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> CaptureGraph::portsOf(std::uint32_t node,
                                                                           const char* direction) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> found;  // (port index, id)
    const auto [first, last] = portIndex_.equal_range(node);
    for (auto it = first; it != last; ++it) {
        auto port = globals_.find(it->second);
        if (port == globals_.end()) continue;
        const Props& props = port->second.props;
        if (lookup(props, "port.direction") != direction || lookup(props, "port.monitor") == "true") continue;
        found.emplace_back(static_cast<std::uint32_t>(std::strtoul(lookup(props, "port.id").c_str(), nullptr, 10)),
                           it->second);
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<PlayedSource> CaptureGraph::played(Clock::time_point now,
                                               std::optional<Clock::time_point>& waitEnds) const {
    std::set<std::uint32_t> ownCaptureNodes;
    for (const auto& [serial, node] : captureNodes_) ownCaptureNodes.insert(node);
    if (clockNode_ != 0) ownCaptureNodes.insert(clockNode_);
    std::vector<RouteNode> nodes;
    std::vector<RoutePort> ports;
    std::vector<RouteLink> links;
    for (const auto& [id, global] : globals_) {
        const Props& props = global.props;
        switch (global.type) {
            case GlobalType::node: {
                RouteNode node{id, lookup(props, "media.class"), lookup(props, "node.link-group"), false};
                // A stream that asked not to be linked waits for nobody.
                const Clock::time_point since = std::max(global.seen, global.unlinkedAt.value_or(global.seen));
                if (node.mediaClass == kStreamOutputClass && node.linkGroup.empty() &&
                    lookup(props, "node.autoconnect") != "false" && now < since + kLinkWait) {
                    node.awaitingLink = true;
                    if (!waitEnds || since + kLinkWait < *waitEnds) waitEnds = since + kLinkWait;
                }
                nodes.push_back(std::move(node));
                break;
            }
            case GlobalType::port: {
                const std::string& dsp = lookup(props, "format.dsp");
                ports.push_back(RoutePort{id, parseID(lookup(props, "node.id")),
                                          static_cast<std::uint32_t>(std::strtoul(lookup(props, "port.id").c_str(), nullptr, 10)),
                                          lookup(props, "port.direction") == "out", lookup(props, "port.monitor") == "true",
                                          dsp.empty() || dsp.find("audio") != std::string::npos});
                break;
            }
            case GlobalType::link: {
                // The tap's own links say nothing of what is played.
                const std::uint32_t input = parseID(lookup(props, "link.input.port"));
                if (ownCaptureNodes.count(nodeOf(input))) break;
                links.push_back(RouteLink{parseID(lookup(props, "link.output.port")), input});
                break;
            }
            default: break;
        }
    }
    return playedSources(nodes, ports, links);
}

void CaptureGraph::linkFailed(LinkKey key, Clock::time_point now) {
    held_.erase(key);
    Failure& failure = failures_[key];
    ++failure.count;
    failure.retryAt = now + linkRetryDelay(failure.count);
}

CapturePlan CaptureGraph::plan(Clock::time_point now) {
    rebuildPortIndex();
    CapturePlan plan;
    std::set<LinkKey> wanted;
    for (const PlayedSource& source : played(now, plan.retryAt)) {
        auto it = globals_.find(source.node);
        if (it == globals_.end()) continue;
        const Global& global = it->second;
        if (!global.infoReceived || !clientReady(global) || excluded(source.node)) continue;
        CapturedStream stream{source.node, global.serial, {}, {}, {}};
        const auto outputs = portsOf(source.node, "out");
        for (const auto& [index, port] : outputs) {
            stream.channels.push_back(lookup(globals_.at(port).props, "audio.channel"));
            stream.played.push_back(std::find(source.ports.begin(), source.ports.end(), port) != source.ports.end());
        }
        auto format = formats_.find(source.node);
        if (format != formats_.end()) stream.streamChannels = format->second;
        plan.streams.push_back(std::move(stream));
        auto capture = captureNodes_.find(global.serial);
        if (capture == captureNodes_.end()) continue;
        // The k-th output feeds the capture node's input k, which the mix
        // weighs by the k-th channel; an input that is missing leaves its
        // channel out until it is back. Ports that reach no sink stay
        // unlinked: nobody hears them.
        std::map<std::uint32_t, std::uint32_t> inputs;
        for (const auto& [index, port] : portsOf(capture->second, "in")) inputs.emplace(index, port);
        for (std::size_t k = 0; k < outputs.size(); ++k) {
            auto input = inputs.find(static_cast<std::uint32_t>(k));
            if (input != inputs.end() && plan.streams.back().played[k]) wanted.insert({outputs[k].second, input->second});
        }
    }
    for (auto it = held_.begin(); it != held_.end();) {
        if (wanted.count(*it)) {
            ++it;
        } else {
            plan.unlink.push_back(*it);
            it = held_.erase(it);
        }
    }
    // What is not wanted any more has no failures to remember.
    std::erase_if(failures_, [&](const auto& entry) { return !wanted.count(entry.first); });
    for (const LinkKey& key : wanted) {
        if (held_.count(key)) continue;
        auto failure = failures_.find(key);
        if (failure != failures_.end() && failure->second.retryAt > now) {
            if (!plan.retryAt || failure->second.retryAt < *plan.retryAt) plan.retryAt = failure->second.retryAt;
            continue;
        }
        plan.link.push_back(key);
    }
    return plan;
}

void CaptureGraph::rebuildPortIndex() {
    portIndex_.clear();
    for (const auto& [id, global] : globals_) {
        if (global.type == GlobalType::port) portIndex_.emplace(parseID(lookup(global.props, "node.id")), id);
    }
}

std::vector<ApplicationRecord> CaptureGraph::applications() const {
    std::vector<ApplicationRecord> records;
    // Unsandboxed applications by process id, sandboxed ones by client id.
    std::map<std::pair<bool, std::uint32_t>, std::size_t> index;
    auto fill = [](std::optional<std::string>& slot, const std::optional<std::string>& value) {
        if (!slot && value) slot = value;
    };
    auto keyOf = [](const ApplicationIdentity& identity, std::uint32_t clientID) {
        return identity.sandboxed ? std::make_pair(true, clientID)
                                  : std::make_pair(false, static_cast<std::uint32_t>(identity.processID));
    };
    for (const auto& [id, global] : globals_) {
        if (global.type != GlobalType::client) continue;
        const ApplicationIdentity identity = identityOf(global);
        if (!identity.sandboxed && identity.processID == 0) continue;
        auto [slot, fresh] = index.emplace(keyOf(identity, id), records.size());
        if (fresh) records.push_back(ApplicationRecord{identity.processID, {}, {}, identity.sandboxed, {}});
        ApplicationRecord& record = records[slot->second];
        fill(record.bundleIdentifier, identity.bundleIdentifier);
        fill(record.applicationName, identity.applicationName);
        record.clientSerials.push_back(global.serial);
    }
    // Complete each record from its playback streams.
    for (const auto& [id, global] : globals_) {
        if (global.type != GlobalType::node || lookup(global.props, "media.class") != kStreamOutputClass) continue;
        const ApplicationIdentity identity = identityOf(global);
        auto slot = index.find(keyOf(identity, parseID(lookup(global.props, "client.id"))));
        if (slot == index.end()) continue;
        ApplicationRecord& record = records[slot->second];
        fill(record.bundleIdentifier, nonEmpty(lookup(global.props, "application.id")));
        fill(record.applicationName, nonEmpty(lookup(global.props, "application.name")));
    }
    return records;
}

bool CaptureGraph::present(std::uint32_t id, std::uint64_t serial) const {
    auto it = globals_.find(id);
    return it != globals_.end() && it->second.serial == serial;
}

std::uint64_t CaptureGraph::serialOf(std::uint32_t id) const {
    auto it = globals_.find(id);
    return it == globals_.end() ? 0 : it->second.serial;
}

std::uint32_t CaptureGraph::nodeOf(std::uint32_t port) const {
    auto it = globals_.find(port);
    return it == globals_.end() || it->second.type != GlobalType::port ? 0 : parseID(lookup(it->second.props, "node.id"));
}

std::vector<std::uint32_t> CaptureGraph::sinks() const {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, global] : globals_) {
        if (global.type == GlobalType::node && lookup(global.props, "media.class") == kSinkClass) ids.push_back(id);
    }
    return ids;
}

}  // namespace pimorlo::platform::linux_backend
