#include "platform/linux/capture/exclusion.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pimorlo::platform::linux_backend {
namespace {

constexpr const char* kPortalAppID = "pipewire.access.portal.app_id";
// Far beyond any real process tree; only a loop in what /proc says (a pid
// reused while walking) could reach it.
constexpr int kMaxParentDepth = 64;

// The value or the empty text. The key is a plain pointer: a reference to the
// result is then never tied to a temporary made for the call.
const std::string& lookup(const Props& props, const char* key) {
    static const std::string empty;
    auto it = props.find(key);
    return it == props.end() ? empty : it->second;
}

// A process id as a server writes it; 0 when absent or malformed.
pid_t parsePid(const std::string& value) {
    if (value.empty()) return 0;
    char* end = nullptr;
    const long v = std::strtol(value.c_str(), &end, 10);
    return (end && *end == '\0' && v > 0 && v < (1L << 30)) ? static_cast<pid_t>(v) : 0;
}

std::optional<std::string> nonEmpty(const std::string& value) {
    return value.empty() ? std::nullopt : std::optional<std::string>(value);
}

// The whole of a small /proc file, or nothing when it cannot be read (the
// process went between the open and the read: ESRCH). A file longer than the
// buffer is cut; nothing read here needs more.
std::optional<std::size_t> readSmallFile(const char* path, char* buffer, std::size_t capacity) noexcept {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::size_t length = 0;
    while (length < capacity) {
        const ssize_t n = ::read(fd, buffer + length, capacity - length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        length += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return length;
}

}  // namespace

std::optional<ProcessRecord> readProcessRecord(pid_t pid) noexcept {
    if (pid <= 0) return std::nullopt;
    char path[64];
    char stat[1024];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const auto statLength = readSmallFile(path, stat, sizeof stat - 1);
    if (!statLength) return std::nullopt;
    stat[*statLength] = '\0';
    // "pid (comm) state ppid ... starttime ...": comm may hold spaces and
    // parentheses, so it ends at the last ')'. Fields count from 1; the
    // state is field 3, the parent 4, the start time 22.
    const char* open = std::strchr(stat, '(');
    const char* close = std::strrchr(stat, ')');
    if (open == nullptr || close == nullptr || close < open) return std::nullopt;
    ProcessRecord record;
    try {
        record.name.assign(open + 1, close);
    } catch (...) {
        return std::nullopt;
    }
    const char* field = close + 1;
    unsigned long long values[20] = {};  // fields 3 to 22; the state is not a number
    for (int number = 3; number <= 22; ++number) {
        while (*field == ' ') ++field;
        if (*field == '\0') return std::nullopt;
        if (number > 3) {
            char* end = nullptr;
            errno = 0;
            const long long value = std::strtoll(field, &end, 10);
            if (end == field || errno != 0) return std::nullopt;
            values[number - 3] = static_cast<unsigned long long>(value);
            field = end;
        } else {
            while (*field != ' ' && *field != '\0') ++field;
        }
    }
    record.parent = static_cast<pid_t>(values[4 - 3]);
    record.startTime = values[22 - 3];
    char cmdline[4096];
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
    const auto cmdlineLength = readSmallFile(path, cmdline, sizeof cmdline - 1);
    if (cmdlineLength) {
        cmdline[*cmdlineLength] = '\0';  // argv[0] ends at the first NUL in any case
        const char* argv0 = cmdline;
        const char* slash = std::strrchr(argv0, '/');
        try {
            record.commandName = slash ? slash + 1 : argv0;
        } catch (...) {
            return std::nullopt;
        }
    }
    return record;
}

std::optional<ProcessKey> processKey(pid_t pid, const ProcessLookup& lookup) {
    if (pid <= 0 || !lookup) return std::nullopt;
    const auto record = lookup(pid);
    if (!record) return std::nullopt;
    return ProcessKey{pid, record->startTime};
}

ApplicationIdentity applicationIdentity(const Props& first, const Props& second, const Props& client,
                                        std::uint64_t clientSerial) {
    auto get = [&](const char* key) -> std::string {
        std::string value = lookup(first, key);
        return value.empty() ? lookup(second, key) : value;
    };
    ApplicationIdentity identity;
    // Only the server writes these, on the client: PipeWire's daemon and
    // pipewire-pulse.
    const std::string portalID = lookup(client, kPortalAppID);
    identity.sandboxed = lookup(client, "pipewire.access") == "flatpak" ||
                         lookup(client, "pipewire.client.access") == "flatpak" || !portalID.empty();
    identity.clientSerial = clientSerial;
    const std::string appID = get("application.id");
    if (identity.sandboxed) {
        identity.bundleIdentifier = nonEmpty(portalID.empty() ? appID : portalID);
    } else {
        identity.bundleIdentifier = nonEmpty(appID.empty() ? portalID : appID);
        identity.processID = parsePid(get("application.process.id"));
        identity.processBinary = nonEmpty(get("application.process.binary"));
    }
    identity.applicationName = nonEmpty(get("application.name"));
    return identity;
}

RunningApplication runningApplication(const ApplicationIdentity& identity) {
    return RunningApplication{identity.processID, identity.bundleIdentifier, identity.applicationName, nullptr};
}

bool ExclusionJudge::excludesClient(const ApplicationIdentity& client) const {
    return !client.sandboxed && client.processID != 0 && rules_.excludesApplication &&
           rules_.excludesApplication(runningApplication(client));
}

// An application's audio stays out whichever of its processes plays it: the
// process itself and each of its parents are looked at, as listed at set-up,
// as a client that the rule excludes, and by the names the system gives them.
bool ExclusionJudge::processExcluded(pid_t pid) const {
    pid_t current = pid;
    for (int depth = 0; depth < kMaxParentDepth && current > 1; ++depth) {
        if (excludedClientProcesses_.count(current)) return true;
        if (!rules_.lookup) return false;
        const auto record = rules_.lookup(current);
        if (!record) return false;
        // Listed at set-up: the same process, not a later one given its pid.
        if (rules_.processes.count(ProcessKey{current, record->startTime})) return true;
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

bool ExclusionJudge::judge(const ApplicationIdentity& identity, std::map<pid_t, bool>& walked) const {
    if (identity.clientSerial != 0 && rules_.clientSerials.count(identity.clientSerial)) return true;
    if (rules_.excludesApplication) {
        if (rules_.excludesApplication(runningApplication(identity))) return true;
        if (identity.processBinary &&
            rules_.excludesApplication(RunningApplication{identity.processID, std::nullopt, identity.processBinary, nullptr}))
            return true;
    }
    // A sandbox's process ids name nothing on this side of it.
    if (identity.sandboxed || identity.processID == 0) return false;
    auto known = walked.find(identity.processID);
    if (known != walked.end()) return known->second;
    const bool decision = processExcluded(identity.processID);
    walked.emplace(identity.processID, decision);
    return decision;
}

bool ExclusionJudge::excludes(const ApplicationIdentity& own, const ApplicationIdentity& client) const {
    std::map<pid_t, bool> walked;
    return judge(own, walked) || judge(client, walked);
}

}  // namespace pimorlo::platform::linux_backend
