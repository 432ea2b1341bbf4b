#include "platform/linux/capture_graph.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <tuple>

namespace pimorlo::platform::linux_backend {
namespace {

constexpr const char* kStreamOutputClass = "Stream/Output/Audio";
constexpr const char* kSinkClass = "Audio/Sink";
constexpr const char* kPortalAppID = "pipewire.access.portal.app_id";
// Far beyond any real process tree; only a loop in what /proc says (a pid
// reused while walking) could reach it.
constexpr int kMaxParentDepth = 64;

// The key is a view: a reference returned from a call given a temporary
// string would look dangling to the compiler, though it refers into `props`.
const std::string& lookup(const Props& props, std::string_view key) {
    static const std::string empty;
    auto it = props.find(std::string(key));
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

std::optional<ProcessRecord> readProcessRecord(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream statFile(dir + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so
    // it ends at the last ')'.
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    ProcessRecord record;
    record.name = stat.substr(open + 1, close - open - 1);
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long parent = 0;
    if (!(rest >> state >> parent)) return std::nullopt;
    record.parent = static_cast<pid_t>(parent);
    std::ifstream cmdlineFile(dir + "/cmdline");
    std::string argv0;
    std::getline(cmdlineFile, argv0, '\0');
    const auto slash = argv0.rfind('/');
    record.commandName = slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
    return record;
}

void CaptureGraph::added(std::uint32_t id, GlobalType type, std::uint64_t serial, Props props) {
    removed(id);  // a global the registry never said was removed is stale
    Global global;
    global.type = type;
    global.serial = serial;
    global.props = std::move(props);
    // Ports tell everything in their global; clients and nodes once bound.
    global.infoReceived = type == GlobalType::port || type == GlobalType::other;
    globals_[id] = std::move(global);
    if (type == GlobalType::client) excludedClientPids_.reset();
}

void CaptureGraph::updated(std::uint32_t id, const Props& props) {
    auto it = globals_.find(id);
    if (it == globals_.end()) return;
    for (const auto& [key, value] : props) it->second.props[key] = value;
    it->second.infoReceived = true;
    forget(id);
}

void CaptureGraph::removed(std::uint32_t id) {
    auto it = globals_.find(id);
    if (it == globals_.end()) return;
    forget(id);
    if (it->second.type == GlobalType::port) {
        // PipeWire destroys the links of a port that goes; ours are no longer held.
        std::erase_if(held_, [id](const LinkKey& k) { return k.outputPort == id || k.inputPort == id; });
    }
    formats_.erase(id);
    globals_.erase(it);
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
    excludedClientPids_.reset();
    const Identity identity = identityOf(it->second);
    if (rules_.excludesApplication && !identity.sandboxed && identity.processID != 0 &&
        rules_.excludesApplication(application(identity))) {
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

CaptureGraph::Identity CaptureGraph::identityOf(const Global& global) const {
    const Global* client = clientOf(global);
    static const Props none;
    const Props& clientProps = client ? client->props : none;
    auto get = [&](const char* key) -> const std::string& {
        const std::string& own = lookup(global.props, key);
        return own.empty() ? lookup(clientProps, key) : own;
    };
    Identity identity;
    // Only the daemon and pipewire-pulse write these, on the client.
    const std::string& portalID = lookup(clientProps, kPortalAppID);
    identity.sandboxed = lookup(clientProps, "pipewire.access") == "flatpak" ||
                         lookup(clientProps, "pipewire.client.access") == "flatpak" || !portalID.empty();
    identity.clientSerial = client ? client->serial : 0;
    const std::string& appID = get("application.id");
    if (identity.sandboxed) {
        identity.bundleIdentifier = nonEmpty(portalID.empty() ? appID : portalID);
    } else {
        identity.bundleIdentifier = nonEmpty(appID.empty() ? portalID : appID);
        identity.processID = static_cast<pid_t>(parseID(get("application.process.id")));
    }
    identity.applicationName = nonEmpty(get("application.name"));
    return identity;
}

RunningApplication CaptureGraph::application(const Identity& identity) {
    return RunningApplication{identity.processID, identity.bundleIdentifier, identity.applicationName, nullptr};
}

bool CaptureGraph::clientReady(const Global& node) const {
    const std::uint32_t clientID = parseID(lookup(node.props, "client.id"));
    if (clientID == 0) return true;
    auto it = globals_.find(clientID);
    return it == globals_.end() || it->second.infoReceived;
}

const std::set<pid_t>& CaptureGraph::excludedClientPids() {
    if (!excludedClientPids_) {
        excludedClientPids_.emplace();
        for (const auto& [id, global] : globals_) {
            if (global.type != GlobalType::client) continue;
            const Identity identity = identityOf(global);
            if (identity.sandboxed || identity.processID == 0) continue;
            if (rules_.excludesApplication && rules_.excludesApplication(application(identity)))
                excludedClientPids_->insert(identity.processID);
        }
    }
    return *excludedClientPids_;
}

// An application's audio stays out whichever of its processes plays it: the
// process itself and each of its parents are looked at, as listed at set-up,
// as a client that the rule excludes, and by the names the system gives them.
bool CaptureGraph::processExcluded(pid_t pid) {
    pid_t current = pid;
    for (int depth = 0; depth < kMaxParentDepth && current > 1; ++depth) {
        if (rules_.processes.count(current)) return true;
        if (excludedClientPids().count(current)) return true;
        if (!rules_.lookup) return false;
        const auto record = rules_.lookup(current);
        if (!record) return false;
        if (rules_.excludesApplication) {
            for (const std::string* name : {&record->name, &record->commandName}) {
                if (!name->empty() &&
                    rules_.excludesApplication(RunningApplication{current, std::nullopt, *name, nullptr}))
                    return true;
            }
        }
        if (record->parent == current) return false;
        current = record->parent;
    }
    return false;
}

bool CaptureGraph::judge(const Identity& identity) {
    if (identity.clientSerial != 0 && rules_.clientSerials.count(identity.clientSerial)) return true;
    if (rules_.excludesApplication && rules_.excludesApplication(application(identity))) return true;
    // A sandbox's process ids name nothing on this side of it.
    if (identity.sandboxed || identity.processID == 0) return false;
    return processExcluded(identity.processID);
}

bool CaptureGraph::excluded(std::uint32_t node) {
    auto cached = decisions_.find(node);
    if (cached != decisions_.end()) return cached->second;
    auto it = globals_.find(node);
    if (it == globals_.end()) return false;
    const bool decision = judge(identityOf(it->second));
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

CapturePlan CaptureGraph::plan() {
    rebuildPortIndex();
    CapturePlan plan;
    std::set<LinkKey> wanted;
    for (const auto& [id, global] : globals_) {
        if (global.type != GlobalType::node || !global.infoReceived) continue;
        if (lookup(global.props, "media.class") != kStreamOutputClass) continue;
        if (!clientReady(global) || excluded(id)) continue;
        CapturedStream stream{id, global.serial, {}, {}};
        const auto outputs = portsOf(id, "out");
        for (const auto& [index, port] : outputs)
            stream.channels.push_back(lookup(globals_.at(port).props, "audio.channel"));
        auto format = formats_.find(id);
        if (format != formats_.end()) stream.streamChannels = format->second;
        plan.streams.push_back(std::move(stream));
        auto capture = captureNodes_.find(global.serial);
        if (capture == captureNodes_.end()) continue;
        // The k-th output feeds the capture node's input k, which the mix
        // weighs by the k-th channel; an input that is missing leaves its
        // channel out until it is back.
        std::map<std::uint32_t, std::uint32_t> inputs;
        for (const auto& [index, port] : portsOf(capture->second, "in")) inputs.emplace(index, port);
        for (std::size_t k = 0; k < outputs.size(); ++k) {
            auto input = inputs.find(static_cast<std::uint32_t>(k));
            if (input != inputs.end()) wanted.insert({outputs[k].second, input->second});
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
    for (const LinkKey& key : wanted) {
        if (!held_.count(key)) plan.link.push_back(key);
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
    auto keyOf = [](const Identity& identity, std::uint32_t clientID) {
        return identity.sandboxed ? std::make_pair(true, clientID)
                                  : std::make_pair(false, static_cast<std::uint32_t>(identity.processID));
    };
    for (const auto& [id, global] : globals_) {
        if (global.type != GlobalType::client) continue;
        const Identity identity = identityOf(global);
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
        const Identity identity = identityOf(global);
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
