// Which GTK renderer the web shell asks for when the user has not chosen one.
#pragma once

#include <optional>
#include <string>

namespace pimorlo::platform::linux_backend {

struct RendererFacts {
    // GSK_RENDERER as the user left it; nothing when it is unset.
    std::optional<std::string> userChoice;
    // A GPU's render node (/dev/dri/renderD*) exists.
    bool hasRenderNode = false;
    // LIBGL_ALWAYS_SOFTWARE asks Mesa for its software rasteriser.
    bool softwareGLForced = false;
};

// The value to give GSK_RENDERER, or nothing to leave GTK's own choice.
std::optional<std::string> defaultRenderer(const RendererFacts& facts);

// Sets GSK_RENDERER for this process from the machine it runs on, unless the
// user set it. Must run before GTK initialises.
void applyDefaultRenderer();

}  // namespace pimorlo::platform::linux_backend
