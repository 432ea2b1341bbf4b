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
        {"no GPU", {std::nullopt, false, false}, "cairo"},
        {"GPU", {std::nullopt, true, false}, std::nullopt},
        {"GPU, software GL forced", {std::nullopt, true, true}, "cairo"},
        {"user chose gl, no GPU", {"gl", false, false}, std::nullopt},
        {"user chose ngl, software GL", {"ngl", true, true}, std::nullopt},
        // Set but empty is still the user's setting: GTK then picks its own.
        {"user set it empty", {"", false, false}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(defaultRenderer(c.facts), c.expected) << c.what;
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
