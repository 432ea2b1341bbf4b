#include "platform/linux/pipewire/client.h"

#include <gtest/gtest.h>
#include <pipewire/pipewire.h>

#include <cstdlib>

namespace pimorlo::platform::linux_backend {
namespace {

TEST(PipeWireClient, RealtimeConfigurationByTheLibraryRelease) {
    struct Case {
        const char* version;
        const char* expected;
    };
    const Case cases[] = {
        {"0.3.65", "client-rt.conf"},   // Debian 12
        {"1.2.7", "client-rt.conf"},
        {"1.3.80", "client-rt.conf"},
        {"1.3.81", "client.conf"},      // client.conf loads the rt module from here
        {"1.4.2", "client.conf"},       // Debian 13
        {"1.10.0", "client.conf"},      // compared as numbers, not as text
        {"2.0", "client.conf"},
        {"1.3.81-rc1", "client.conf"},
        {"", "client-rt.conf"},         // unreadable: which a newer library reads as client.conf
        {"x.y", "client-rt.conf"},
    };
    for (const auto& c : cases) EXPECT_STREQ(realtimeClientConfig(c.version), c.expected) << c.version;
}

// What the library says, even at the debug level a user's environment asks
// for and through its plugins, never reaches standard error.
TEST(PipeWireClient, LibraryLogNeverReachesStandardError) {
    ::setenv("PIPEWIRE_DEBUG", "5", 1);
    testing::internal::CaptureStderr();
    initPipeWire();
    pw_log_error("a message that must go nowhere");
    pw_main_loop* loop = pw_main_loop_new(nullptr);
    ASSERT_NE(loop, nullptr);
    // A configuration that does not exist is reported by the library as an
    // error, and client-rt.conf on 1.x as deprecated; neither is written out.
    for (const char* name : {"pimorlo-no-such-config.conf", "client-rt.conf"}) {
        pw_context* context =
            pw_context_new(pw_main_loop_get_loop(loop), pw_properties_new(PW_KEY_CONFIG_NAME, name, nullptr), 0);
        if (context) pw_context_destroy(context);
    }
    pw_main_loop_destroy(loop);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ::unsetenv("PIPEWIRE_DEBUG");
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
