// Which GTK renderer the web shell asks for when the user has not chosen one,
// and whether WebKit's web process composites the page with GL.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pimorlo::platform::linux_backend {

struct RendererFacts {
    // GSK_RENDERER as the user left it; nothing when it is unset.
    std::optional<std::string> userChoice;
    // A GPU's render node (/dev/dri/renderD*) exists.
    bool hasRenderNode = false;
    // LIBGL_ALWAYS_SOFTWARE asks Mesa for its software rasteriser.
    bool softwareGLForced = false;
    // WEBKIT_DISABLE_COMPOSITING_MODE or WEBKIT_FORCE_COMPOSITING_MODE as the
    // user left it; nothing when neither is set.
    std::optional<std::string> userCompositingChoice;
};

// The facts of the machine and environment this process runs in.
RendererFacts machineRendererFacts();

// The value to give GSK_RENDERER, or nothing to leave GTK's own choice.
std::optional<std::string> defaultRenderer(const RendererFacts& facts);

// Whether the web view composites with GL: false to paint without it,
// nothing to leave WebKit's own default (and its reading of the environment).
std::optional<bool> webCompositing(const RendererFacts& facts);

// Sets GSK_RENDERER for this process from the machine it runs on, unless the
// user set it. Must run before GTK initialises.
void applyDefaultRenderer();

// The variables applyDefaultRenderer set: they are this process's choice for
// its own drawing, not to be handed to the programs it starts.
const std::vector<std::string>& variablesSetForThisProcess();

}  // namespace pimorlo::platform::linux_backend
