// Who plays a stream, and whether the tap must leave it out: the same rule
// for every sound server. Plain C++ over the properties a server gives a
// stream and its client (`application.process.id`, `application.id`,
// `application.name`, ...) and over what /proc says about processes.
#pragma once

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "platform/capture.h"

namespace pimorlo::platform::linux_backend {

using Props = std::map<std::string, std::string>;

// What the system says about a process, for the walk up its parents.
struct ProcessRecord {
    pid_t parent = 0;
    std::string name;         // the kernel's short name (comm)
    std::string commandName;  // the last path element of argv[0]
    // When it started, in clock ticks since boot: with the pid, it names one
    // process for good, where a pid alone is handed out again once it ends.
    unsigned long long startTime = 0;
};
using ProcessLookup = std::function<std::optional<ProcessRecord>(pid_t)>;

// Reads /proc/<pid>/stat and /proc/<pid>/cmdline with plain system calls;
// empty when the process is gone (or goes while it is read) or what the
// kernel wrote cannot be read.
std::optional<ProcessRecord> readProcessRecord(pid_t pid) noexcept;

// One process for as long as it lives.
struct ProcessKey {
    pid_t pid = 0;
    unsigned long long startTime = 0;
    auto operator<=>(const ProcessKey&) const = default;
};

// The process `pid` names now, by `lookup`; empty when it is gone.
std::optional<ProcessKey> processKey(pid_t pid, const ProcessLookup& lookup);

struct ExclusionRules {
    // The core's rule, applied to every application as it appears.
    std::function<bool(const RunningApplication&)> excludesApplication;
    // Processes listed as excluded at set-up (the tap's own among them).
    std::set<ProcessKey> processes;
    // Sandboxed clients listed as excluded at set-up, by the server's
    // never-reused number for them.
    std::set<std::uint64_t> clientSerials;
    // Empty: a process's parents are not looked at.
    ProcessLookup lookup;
};

// An application as a stream's properties name it.
struct ApplicationIdentity {
    pid_t processID = 0;
    // Its process ids are its sandbox's (shared with every other sandbox)
    // and name nothing on this side of it.
    bool sandboxed = false;
    std::uint64_t clientSerial = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> applicationName;
    // `application.process.binary`: the name of the program file, judged
    // like the names /proc gives a process.
    std::optional<std::string> processBinary;
};

// The identity that `first`'s values give, completed by `second`'s where
// `first` has none; `client` is the client's own properties (only the
// server writes the sandbox's marks there). A stream is judged by its own
// values first and by its client's first: either naming the companion
// excludes it.
ApplicationIdentity applicationIdentity(const Props& first, const Props& second, const Props& client,
                                        std::uint64_t clientSerial);

// The application as the core's rule sees it.
RunningApplication runningApplication(const ApplicationIdentity& identity);

class ExclusionJudge {
public:
    ExclusionJudge() = default;
    explicit ExclusionJudge(ExclusionRules rules) : rules_(std::move(rules)) {}

    const ExclusionRules& rules() const { return rules_; }

    // Whether the rule excludes a client by its own values: its process,
    // and every process below it, is then left out.
    bool excludesClient(const ApplicationIdentity& client) const;
    // The processes of the clients that excludesClient selects, as the
    // server lists them now.
    void setExcludedClientProcesses(std::set<pid_t> processes) { excludedClientProcesses_ = std::move(processes); }

    // A stream by its own values and by its client's.
    bool excludes(const ApplicationIdentity& own, const ApplicationIdentity& client) const;

private:
    bool judge(const ApplicationIdentity& identity, std::map<pid_t, bool>& walked) const;
    bool processExcluded(pid_t pid) const;

    ExclusionRules rules_;
    std::set<pid_t> excludedClientProcesses_;
};

}  // namespace pimorlo::platform::linux_backend
