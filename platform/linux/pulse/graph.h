// What the capture should take in on a PulseAudio server, derived from what
// the server says of its sinks, clients and sink inputs. Plain C++: the
// glue hands in what each info reply and subscription event says, and takes
// out "record these sink inputs, each on its sink's monitor".
//
// Every sink input that a client plays, or that the server plays for one
// from its sample cache, is captured on its own monitor stream, unless the
// shared exclusion rule leaves it out. A sink input that a module feeds
// without a client (a loopback, a filter's or a combined sink's way to its
// master) passes on what others play into it, and they are captured there:
// so it is not, and nothing is doubled or let in past the exclusion by it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/linux/capture/exclusion.h"

namespace pimorlo::platform::linux_backend {

// PulseAudio's PA_INVALID_INDEX: no client, no module, no sink.
inline constexpr std::uint32_t kNoPulseIndex = UINT32_MAX;

// The name the mix weighs a PulseAudio channel position by (PipeWire's
// `audio.channel` names: "FL", "MONO", "AUX3", ...); empty for none.
std::string pulseChannelName(int position);

struct PulseSink {
    std::uint32_t index = kNoPulseIndex;
    std::string name;
    std::string monitorSource;
    std::vector<std::string> channels;
    bool operator==(const PulseSink&) const = default;
};

struct PulseClient {
    std::uint32_t index = kNoPulseIndex;
    Props props;
};

struct PulseSinkInput {
    std::uint32_t index = kNoPulseIndex;
    std::uint32_t client = kNoPulseIndex;
    std::uint32_t ownerModule = kNoPulseIndex;
    std::uint32_t sink = kNoPulseIndex;
    std::vector<std::string> channels;
    Props props;
};

// One sink input to record: on the monitor of the sink it plays on, in that
// sink's own channel layout (what the monitor carries, unconverted), weighed
// by the positions the sink input itself has, so that the server's upmix
// onto a wider sink adds nothing.
struct PulseCapture {
    std::uint32_t sinkInput = kNoPulseIndex;
    std::uint32_t sink = kNoPulseIndex;
    std::string monitorSource;
    std::vector<std::string> sinkChannels;
    std::vector<std::string> streamChannels;
    bool operator==(const PulseCapture&) const = default;
};

// The server's number for a client, as the exclusion rules hold clients.
inline std::uint64_t pulseClientSerial(std::uint32_t client) { return std::uint64_t{client} + 1; }

// What to do about a monitor stream that failed, given what the server says
// of its sink input after the failure: the server ends the monitor streams
// of a sink input that moves or goes, and a new one is made where it plays
// now (or none); any other failure ends the capture.
enum class FailedStreamAction { follow, report };
FailedStreamAction failedStreamAction(const PulseCapture& failed, const std::optional<PulseCapture>& wantedNow);

class PulseGraph {
public:
    PulseGraph() = default;

    // The rule to judge by from now on; every earlier decision is dropped.
    void setJudge(ExclusionJudge judge);

    void sinkKnown(PulseSink sink);
    void sinkGone(std::uint32_t index);
    void clientKnown(PulseClient client);
    void clientGone(std::uint32_t index);
    void sinkInputKnown(PulseSinkInput input);
    void sinkInputGone(std::uint32_t index);

    // In the server's order (by index).
    std::vector<PulseSink> sinks() const;
    // One per client process, each completed from the sink inputs of its
    // clients; a sandboxed client (only pipewire-pulse marks one) is one of
    // its own, with no process id.
    struct Application {
        RunningApplication application;
        bool sandboxed = false;
        std::vector<std::uint32_t> clients;
    };
    std::vector<Application> applications() const;

    // The sink inputs to record now, by index.
    std::vector<PulseCapture> plan();
    // What `plan` says of one sink input: empty when it is not to be recorded.
    std::optional<PulseCapture> wanted(std::uint32_t sinkInput);
    bool excluded(std::uint32_t sinkInput);
    bool hasSinkInput(std::uint32_t sinkInput) const { return inputs_.count(sinkInput) != 0; }

private:
    const PulseClient* clientOf(const PulseSinkInput& input) const;
    ApplicationIdentity clientIdentity(const PulseClient& client) const;
    void refreshExcludedClients();

    ExclusionJudge judge_;
    std::map<std::uint32_t, PulseSink> sinks_;
    std::map<std::uint32_t, PulseClient> clients_;
    std::map<std::uint32_t, PulseSinkInput> inputs_;
    // Decisions, forgotten when the sink input or any client changes.
    std::map<std::uint32_t, bool> decisions_;
};

}  // namespace pimorlo::platform::linux_backend
