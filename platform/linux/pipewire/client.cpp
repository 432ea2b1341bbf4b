#include "platform/linux/pipewire/client.h"

#include <pipewire/pipewire.h>
#include <spa/support/log.h>

#include <array>
#include <charconv>
#include <cstdarg>
#include <mutex>

namespace pimorlo::platform::linux_backend {
namespace {

// Standard error belongs to the tap's one "ERROR: " line: libpipewire's own
// warnings (a deprecated configuration, a realtime request refused, a daemon
// gone) would otherwise be written there beside or instead of it, on every
// run of some releases. Its log, and that of every plugin it loads, comes
// here and goes no further.
void logNothing(void*, spa_log_level, const char*, int, const char*, const char*, ...) {}
void logvNothing(void*, spa_log_level, const char*, int, const char*, const char*, va_list) {}
void logtNothing(void*, spa_log_level, const spa_log_topic*, const char*, int, const char*, const char*, ...) {}
void logtvNothing(void*, spa_log_level, const spa_log_topic*, const char*, int, const char*, const char*, va_list) {}
void topicInitNothing(void*, spa_log_topic*) {}

constexpr spa_log_methods kSilentMethods = {
    SPA_VERSION_LOG_METHODS, logNothing, logvNothing, logtNothing, logtvNothing, topicInitNothing,
};

spa_log silentLog = {
    {SPA_TYPE_INTERFACE_Log, SPA_VERSION_LOG, {&kSilentMethods, nullptr}},
    SPA_LOG_LEVEL_NONE,
};

std::once_flag initialised;

}  // namespace

void initPipeWire() {
    std::call_once(initialised, [] {
        // Set before pw_init: a logger already in place is the one pw_init
        // hands to every plugin, and it then reads no PIPEWIRE_DEBUG or
        // PIPEWIRE_LOG that would send its output elsewhere.
        pw_log_set(&silentLog);
        pw_init(nullptr, nullptr);
        pw_log_set_level(SPA_LOG_LEVEL_NONE);
    });
}

// Up to 1.3.80, client.conf leaves out the rt module that gives a client's
// data thread realtime priority, and client-rt.conf is its own file that
// loads it. From 1.3.81 on, client.conf loads the module itself, and asking
// for client-rt.conf only earns a warning. The library in use decides, not
// the headers built against: a build for 0.3 runs on 1.x too. A version that
// does not read as numbers is taken as old, the choice that is never wrong:
// a newer library reads client-rt.conf as client.conf.
const char* realtimeClientConfig(std::string_view libraryVersion) {
    std::array<unsigned long, 3> parts{};
    std::size_t at = 0;
    for (auto& part : parts) {
        const char* begin = libraryVersion.data() + at;
        const char* end = libraryVersion.data() + libraryVersion.size();
        auto [next, error] = std::from_chars(begin, end, part);
        if (error != std::errc{}) return "client-rt.conf";
        at = static_cast<std::size_t>(next - libraryVersion.data());
        if (at < libraryVersion.size() && libraryVersion[at] == '.') ++at;
        else break;
    }
    constexpr std::array<unsigned long, 3> kRtInClientConf{1, 3, 81};
    return parts >= kRtInClientConf ? "client.conf" : "client-rt.conf";
}

const char* realtimeClientConfig() { return realtimeClientConfig(pw_get_library_version()); }

}  // namespace pimorlo::platform::linux_backend
