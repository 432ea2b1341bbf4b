#include "platform/linux/pulse/graph.h"

#include <pulse/channelmap.h>

#include <set>
#include <utility>

namespace pimorlo::platform::linux_backend {

std::string pulseChannelName(int position) {
    struct Entry {
        int position;
        const char* name;
    };
    static constexpr Entry kNames[] = {
        {PA_CHANNEL_POSITION_MONO, "MONO"},
        {PA_CHANNEL_POSITION_FRONT_LEFT, "FL"},
        {PA_CHANNEL_POSITION_FRONT_RIGHT, "FR"},
        {PA_CHANNEL_POSITION_FRONT_CENTER, "FC"},
        {PA_CHANNEL_POSITION_REAR_CENTER, "RC"},
        {PA_CHANNEL_POSITION_REAR_LEFT, "RL"},
        {PA_CHANNEL_POSITION_REAR_RIGHT, "RR"},
        {PA_CHANNEL_POSITION_LFE, "LFE"},
        {PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, "FLC"},
        {PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER, "FRC"},
        {PA_CHANNEL_POSITION_SIDE_LEFT, "SL"},
        {PA_CHANNEL_POSITION_SIDE_RIGHT, "SR"},
        {PA_CHANNEL_POSITION_TOP_CENTER, "TC"},
        {PA_CHANNEL_POSITION_TOP_FRONT_LEFT, "TFL"},
        {PA_CHANNEL_POSITION_TOP_FRONT_RIGHT, "TFR"},
        {PA_CHANNEL_POSITION_TOP_FRONT_CENTER, "TFC"},
        {PA_CHANNEL_POSITION_TOP_REAR_LEFT, "TRL"},
        {PA_CHANNEL_POSITION_TOP_REAR_RIGHT, "TRR"},
        {PA_CHANNEL_POSITION_TOP_REAR_CENTER, "TRC"},
    };
    for (const Entry& entry : kNames) {
        if (entry.position == position) return entry.name;
    }
    if (position >= PA_CHANNEL_POSITION_AUX0 && position <= PA_CHANNEL_POSITION_AUX31)
        return "AUX" + std::to_string(position - PA_CHANNEL_POSITION_AUX0);
    return {};
}

FailedStreamAction failedStreamAction(const PulseCapture& failed, const std::optional<PulseCapture>& wantedNow) {
    // Gone, moved, or no longer to be recorded: the server ended the stream
    // for a reason the graph already follows.
    if (!wantedNow || wantedNow->sink != failed.sink || wantedNow->monitorSource != failed.monitorSource)
        return FailedStreamAction::follow;
    return FailedStreamAction::report;
}

void PulseGraph::setJudge(ExclusionJudge judge) {
    judge_ = std::move(judge);
    refreshExcludedClients();
}

void PulseGraph::sinkKnown(PulseSink sink) { sinks_[sink.index] = std::move(sink); }

void PulseGraph::sinkGone(std::uint32_t index) { sinks_.erase(index); }

void PulseGraph::clientKnown(PulseClient client) {
    clients_[client.index] = std::move(client);
    refreshExcludedClients();
}

void PulseGraph::clientGone(std::uint32_t index) {
    if (clients_.erase(index)) refreshExcludedClients();
}

void PulseGraph::sinkInputKnown(PulseSinkInput input) {
    decisions_.erase(input.index);
    inputs_[input.index] = std::move(input);
}

void PulseGraph::sinkInputGone(std::uint32_t index) {
    decisions_.erase(index);
    inputs_.erase(index);
}

ApplicationIdentity PulseGraph::clientIdentity(const PulseClient& client) const {
    return applicationIdentity(client.props, client.props, client.props, pulseClientSerial(client.index));
}

// A client the rule excludes takes every process below it out, so each
// change of the clients may change any decision.
void PulseGraph::refreshExcludedClients() {
    std::set<pid_t> processes;
    for (const auto& [index, client] : clients_) {
        const ApplicationIdentity identity = clientIdentity(client);
        if (judge_.excludesClient(identity)) processes.insert(identity.processID);
    }
    judge_.setExcludedClientProcesses(std::move(processes));
    decisions_.clear();
}

const PulseClient* PulseGraph::clientOf(const PulseSinkInput& input) const {
    auto it = clients_.find(input.client);
    return it == clients_.end() ? nullptr : &it->second;
}

bool PulseGraph::excluded(std::uint32_t sinkInput) {
    auto cached = decisions_.find(sinkInput);
    if (cached != decisions_.end()) return cached->second;
    auto it = inputs_.find(sinkInput);
    if (it == inputs_.end()) return false;
    static const Props none;
    const PulseClient* client = clientOf(it->second);
    const Props& clientProps = client ? client->props : none;
    const std::uint64_t serial = client ? pulseClientSerial(client->index) : 0;
    // The server copies the client's properties into its sink inputs when
    // they are made; a client that names itself later is read here too.
    const ApplicationIdentity own = applicationIdentity(it->second.props, clientProps, clientProps, serial);
    const ApplicationIdentity byClient = applicationIdentity(clientProps, it->second.props, clientProps, serial);
    const bool decision = judge_.excludes(own, byClient);
    decisions_[sinkInput] = decision;
    return decision;
}

std::optional<PulseCapture> PulseGraph::wanted(std::uint32_t sinkInput) {
    auto it = inputs_.find(sinkInput);
    if (it == inputs_.end()) return std::nullopt;
    const PulseSinkInput& input = it->second;
    // A module's own relay: what it carries is captured where it was played.
    if (input.client == kNoPulseIndex && input.ownerModule != kNoPulseIndex) return std::nullopt;
    // Judged once its client is known, so a companion that names itself only
    // on its client is never let in meanwhile.
    if (input.client != kNoPulseIndex && !clients_.count(input.client)) return std::nullopt;
    auto sink = sinks_.find(input.sink);
    if (sink == sinks_.end() || sink->second.monitorSource.empty()) return std::nullopt;  // between sinks
    if (excluded(sinkInput)) return std::nullopt;
    return PulseCapture{input.index, input.sink, sink->second.monitorSource, sink->second.channels, input.channels};
}

std::vector<PulseCapture> PulseGraph::plan() {
    std::vector<PulseCapture> captures;
    for (const auto& [index, input] : inputs_) {
        if (auto capture = wanted(index)) captures.push_back(std::move(*capture));
    }
    return captures;
}

std::vector<PulseSink> PulseGraph::sinks() const {
    std::vector<PulseSink> list;
    for (const auto& [index, sink] : sinks_) list.push_back(sink);
    return list;
}

std::vector<PulseGraph::Application> PulseGraph::applications() const {
    std::vector<Application> records;
    // Unsandboxed applications by process id, sandboxed ones by client.
    std::map<std::pair<bool, std::uint32_t>, std::size_t> index;
    auto fill = [](std::optional<std::string>& slot, const std::optional<std::string>& value) {
        if (!slot && value) slot = value;
    };
    auto keyOf = [](const ApplicationIdentity& identity, std::uint32_t client) {
        return identity.sandboxed ? std::make_pair(true, client)
                                  : std::make_pair(false, static_cast<std::uint32_t>(identity.processID));
    };
    for (const auto& [id, client] : clients_) {
        const ApplicationIdentity identity = clientIdentity(client);
        if (!identity.sandboxed && identity.processID == 0) continue;
        auto [slot, fresh] = index.emplace(keyOf(identity, id), records.size());
        if (fresh) records.push_back(Application{RunningApplication{identity.processID, {}, {}, nullptr}, identity.sandboxed, {}});
        Application& record = records[slot->second];
        fill(record.application.bundleIdentifier, identity.bundleIdentifier);
        fill(record.application.applicationName, identity.applicationName);
        record.clients.push_back(id);
    }
    // Complete each record from its sink inputs.
    for (const auto& [id, input] : inputs_) {
        const PulseClient* client = clientOf(input);
        if (!client) continue;
        const ApplicationIdentity identity = clientIdentity(*client);
        auto slot = index.find(keyOf(identity, client->index));
        if (slot == index.end()) continue;
        const ApplicationIdentity own = applicationIdentity(input.props, {}, client->props, 0);
        Application& record = records[slot->second];
        fill(record.application.bundleIdentifier, own.bundleIdentifier);
        fill(record.application.applicationName, own.applicationName);
    }
    return records;
}

}  // namespace pimorlo::platform::linux_backend
