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
        {"no GPU", {std::nullopt, false, false, std::nullopt}, "cairo"},
        {"GPU", {std::nullopt, true, false, std::nullopt}, std::nullopt},
        {"GPU, software GL forced", {std::nullopt, true, true, std::nullopt}, "cairo"},
        {"user chose gl, no GPU", {"gl", false, false, std::nullopt}, std::nullopt},
        {"user chose ngl, software GL", {"ngl", true, true, std::nullopt}, std::nullopt},
        // Set but empty is still the user's setting: GTK then picks its own.
        {"user set it empty", {"", false, false, std::nullopt}, std::nullopt},
        // WebKit's own variable says nothing about GTK's renderer.
        {"user set WebKit's compositing, no GPU", {std::nullopt, false, false, "0"}, "cairo"},
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
        {"no GPU", {std::nullopt, false, false, std::nullopt}, false},
        {"GPU", {std::nullopt, true, false, std::nullopt}, std::nullopt},
        {"GPU, software GL forced", {std::nullopt, true, true, std::nullopt}, false},
        {"no GPU, user asked GTK for gl", {"gl", false, false, std::nullopt}, false},
        {"no GPU, user set it to 0", {std::nullopt, false, false, "0"}, std::nullopt},
        {"no GPU, user set it to 1", {std::nullopt, false, false, "1"}, std::nullopt},
        {"GPU, user set it empty", {std::nullopt, true, false, ""}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(webCompositing(c.facts), c.expected) << c.what;
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
