#include "platform/linux/glib_log.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace pimorlo::platform::linux_backend {
namespace {

// Each case runs in a process of its own, started afresh with G_DEBUG as
// given, as GLib reads it when it is loaded: the writer is installed once per
// process and for good.
enum class Api { legacy, structured, returnIfFail, print };

void logOnce(Api api, GLogLevelFlags level) {
    keepGLibLogOffStandardStreams();
    switch (api) {
        case Api::legacy:
            g_log("Pimorlo", level, "a library's message");
            break;
        case Api::structured:
            // As GTK logs: it is built with G_LOG_USE_STRUCTURED.
            g_log_structured("Pimorlo", level, "MESSAGE", "a library's message");
            break;
        case Api::returnIfFail:
            g_return_if_fail_warning("Pimorlo", "a_library_function", "a library's message");
            break;
        case Api::print:
            g_print("a library's message\n");
            g_printerr("a library's message\n");
            break;
    }
    std::exit(0);
}

bool endedAbnormally(int status) { return WIFSIGNALED(status); }

TEST(GLibLogDeathTest, NothingWrittenButWhatEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* gDebug;
        Api api;
        GLogLevelFlags level;
        bool ends;
    };
    const Case cases[] = {
        {"", Api::legacy, G_LOG_LEVEL_WARNING, false},
        {"", Api::legacy, G_LOG_LEVEL_CRITICAL, false},
        {"", Api::structured, G_LOG_LEVEL_WARNING, false},
        {"", Api::structured, G_LOG_LEVEL_CRITICAL, false},
        {"", Api::structured, G_LOG_LEVEL_MESSAGE, false},
        {"", Api::returnIfFail, G_LOG_LEVEL_CRITICAL, false},
        {"", Api::print, G_LOG_LEVEL_MESSAGE, false},
        // Debug messages, even asked for.
        {"", Api::structured, G_LOG_LEVEL_DEBUG, false},
        // Made fatal by the user, criticals end the process in both
        // interfaces and say why; a warning is still dropped.
        {"fatal-criticals", Api::legacy, G_LOG_LEVEL_CRITICAL, true},
        {"fatal-criticals", Api::structured, G_LOG_LEVEL_CRITICAL, true},
        {"fatal-criticals", Api::returnIfFail, G_LOG_LEVEL_CRITICAL, true},
        {"fatal-criticals", Api::structured, G_LOG_LEVEL_WARNING, false},
        {"fatal-warnings", Api::structured, G_LOG_LEVEL_WARNING, true},
        {"fatal-warnings", Api::legacy, G_LOG_LEVEL_WARNING, true},
        // An error always ends the process.
        {"", Api::structured, G_LOG_LEVEL_ERROR, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("G_DEBUG=") + c.gDebug + " level " + std::to_string(c.level) + " api " +
                     std::to_string(static_cast<int>(c.api)));
        ::setenv("G_DEBUG", c.gDebug, 1);
        ::setenv("G_MESSAGES_DEBUG", "all", 1);
        if (c.ends) {
            EXPECT_EXIT(logOnce(c.api, c.level), endedAbnormally, "a library's message");
        } else {
            EXPECT_EXIT(logOnce(c.api, c.level), testing::ExitedWithCode(0), "^$");
        }
    }
    ::unsetenv("G_DEBUG");
    ::unsetenv("G_MESSAGES_DEBUG");
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
