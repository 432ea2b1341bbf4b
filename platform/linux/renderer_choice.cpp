#include "platform/linux/renderer_choice.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>

namespace pimorlo::platform::linux_backend {

// Without a GPU, GTK's GL renderers draw through Mesa's software rasteriser:
// measured with one web view on such a machine, the cairo renderer loads the
// page sooner and the UI process takes half the memory (74 against 148 MiB
// PSS). With a GPU, GL is GTK's own default and WebKit hands it its frames as
// textures, so it stays.
std::optional<std::string> defaultRenderer(const RendererFacts& facts) {
    if (facts.userChoice) return std::nullopt;
    if (!facts.hasRenderNode || facts.softwareGLForced) return "cairo";
    return std::nullopt;
}

// Without a GPU, WebKit's compositor in the web process draws every layer
// through Mesa's software rasteriser as well and then hands the frame over as
// a texture: measured with one web view on such a machine, painting without
// it takes 99 instead of 172 MiB PSS in the web process and loads the page no
// later. With a GPU, WebKit's default stays, and so does anything the user
// asked of it in WEBKIT_DISABLE_COMPOSITING_MODE or WEBKIT_FORCE_COMPOSITING_MODE.
std::optional<bool> webCompositing(const RendererFacts& facts) {
    if (facts.userCompositingChoice) return std::nullopt;
    if (!facts.hasRenderNode || facts.softwareGLForced) return false;
    return std::nullopt;
}

namespace {

bool hasRenderNode() {
    DIR* dir = ::opendir("/dev/dri");
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, "renderD", 7) == 0) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// Mesa's reading of the variable: set and not "0" or "false".
bool softwareGLForced() {
    const char* value = std::getenv("LIBGL_ALWAYS_SOFTWARE");
    return value != nullptr && std::strcmp(value, "0") != 0 && std::strcmp(value, "false") != 0;
}

}  // namespace

RendererFacts machineRendererFacts() {
    RendererFacts facts;
    if (const char* chosen = std::getenv("GSK_RENDERER")) facts.userChoice = chosen;
    facts.hasRenderNode = hasRenderNode();
    facts.softwareGLForced = softwareGLForced();
    for (const char* name : {"WEBKIT_DISABLE_COMPOSITING_MODE", "WEBKIT_FORCE_COMPOSITING_MODE"})
        if (const char* chosen = std::getenv(name)) facts.userCompositingChoice = chosen;
    return facts;
}

namespace {
std::vector<std::string>& setHere() {
    static std::vector<std::string> names;
    return names;
}
}  // namespace

// Only the renderer: GDK's GL is left as it is. Switching it off
// (GDK_DEBUG=gl-disable, GDK_DISABLE=gl from GTK 4.16) would spare each
// process 3 to 4 MiB where nothing draws with it, but WebKitGTK asks GDK for
// GL when its first view starts, to learn whether it may accelerate, and
// warns on standard error when GDK refuses: WebKitGTK 2.50 with GTK 4.8 does,
// and 2.54 with GTK 4.18.
void applyDefaultRenderer() {
    RendererFacts facts = machineRendererFacts();
    auto set = [](const std::string& name, const std::string& value) {
        if (::setenv(name.c_str(), value.c_str(), /*overwrite=*/1) == 0) setHere().push_back(name);
    };
    if (auto renderer = defaultRenderer(facts)) set("GSK_RENDERER", *renderer);
}

const std::vector<std::string>& variablesSetForThisProcess() { return setHere(); }

}  // namespace pimorlo::platform::linux_backend
