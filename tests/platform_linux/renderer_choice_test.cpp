#include "platform/linux/renderer_choice.h"

#include <gtest/gtest.h>

namespace pimorlo::platform::linux_backend {
namespace {

TEST(RendererChoice, CairoWithoutAGpuAndTheUsersChoiceAlwaysStands) {
    struct Case {
        const char* what;
        RendererFacts facts;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"no GPU", {std::nullopt, false, false, std::nullopt, false}, "cairo"},
        {"GPU", {std::nullopt, true, false, std::nullopt, false}, std::nullopt},
        {"GPU, software GL forced", {std::nullopt, true, true, std::nullopt, false}, "cairo"},
        {"user chose gl, no GPU", {"gl", false, false, std::nullopt, false}, std::nullopt},
        {"user chose ngl, software GL", {"ngl", true, true, std::nullopt, false}, std::nullopt},
        // Set but empty is still the user's setting: GTK then picks its own.
        {"user set it empty", {"", false, false, std::nullopt, false}, std::nullopt},
        // WebKit's own variable says nothing about GTK's renderer.
        {"user set WebKit's compositing, no GPU", {std::nullopt, false, false, "0", false}, "cairo"},
    };
    for (const auto& c : cases) EXPECT_EQ(defaultRenderer(c.facts), c.expected) << c.what;
}

// The web process's compositor follows the same facts, and WebKit's own
// variable, whatever its value, leaves WebKit to read it.
TEST(RendererChoice, WebCompositingOffWithoutAGpuUnlessTheUserSetWebKitsVariable) {
    struct Case {
        const char* what;
        RendererFacts facts;
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {"no GPU", {std::nullopt, false, false, std::nullopt, false}, false},
        {"GPU", {std::nullopt, true, false, std::nullopt, false}, std::nullopt},
        {"GPU, software GL forced", {std::nullopt, true, true, std::nullopt, false}, false},
        {"no GPU, user asked GTK for gl", {"gl", false, false, std::nullopt, false}, false},
        {"no GPU, user set it to 0", {std::nullopt, false, false, "0", false}, std::nullopt},
        {"no GPU, user set it to 1", {std::nullopt, false, false, "1", false}, std::nullopt},
        {"GPU, user set it empty", {std::nullopt, true, false, "", false}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(webCompositing(c.facts), c.expected) << c.what;
}

// GDK's GL is left out only where neither GTK nor WebKit would draw with it,
// and never over the user's own GDK switches.
TEST(RendererChoice, GdkGLOffOnlyWhereNothingDrawsWithIt) {
    struct Case {
        const char* what;
        RendererFacts facts;
        unsigned gtkMinor;
        std::optional<EnvironmentSetting> expected;
    };
    const EnvironmentSetting debug{"GDK_DEBUG", "gl-disable"};
    const EnvironmentSetting disable{"GDK_DISABLE", "gl"};
    const Case cases[] = {
        {"no GPU, GTK 4.8", {std::nullopt, false, false, std::nullopt, false}, 8, debug},
        {"software GL forced, GTK 4.14", {std::nullopt, true, true, std::nullopt, false}, 14, debug},
        {"no GPU, GTK 4.16", {std::nullopt, false, false, std::nullopt, false}, 16, disable},
        {"GPU", {std::nullopt, true, false, std::nullopt, false}, 8, std::nullopt},
        {"no GPU, user chose GTK's gl", {"gl", false, false, std::nullopt, false}, 8, std::nullopt},
        {"no GPU, user chose cairo", {"cairo", false, false, std::nullopt, false}, 8, std::nullopt},
        {"no GPU, user forced WebKit's compositing", {std::nullopt, false, false, "1", false}, 8, std::nullopt},
        {"no GPU, user set GDK's switches", {std::nullopt, false, false, std::nullopt, true}, 8, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(gdkGLSwitch(c.facts, c.gtkMinor), c.expected) << c.what;
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
