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

// GDK sets GL up when its display opens, to choose the window's visual,
// whether or not anything will draw with it; on X11 that loads and starts
// Mesa's software rasteriser in the UI process and, through the environment,
// in WebKit's web process. Where GTK draws with cairo and WebKit paints
// without its compositor, nothing does: measured with one web view, leaving
// it out brings the first WebKit process up sooner and takes 3 to 4 MiB off
// both processes. WebKit's WebGL has its own EGL display and is not touched.
// GTK 4.16 moved the switch from GDK_DEBUG to GDK_DISABLE.
std::optional<EnvironmentSetting> gdkGLSwitch(const RendererFacts& facts, unsigned gtkMinorVersion) {
    if (facts.userSetGdkSwitches) return std::nullopt;
    if (defaultRenderer(facts) != "cairo" || webCompositing(facts) != false) return std::nullopt;
    if (gtkMinorVersion >= 16) return EnvironmentSetting{"GDK_DISABLE", "gl"};
    return EnvironmentSetting{"GDK_DEBUG", "gl-disable"};
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
    facts.userSetGdkSwitches = std::getenv("GDK_DEBUG") != nullptr || std::getenv("GDK_DISABLE") != nullptr;
    return facts;
}

namespace {
std::vector<std::string>& setHere() {
    static std::vector<std::string> names;
    return names;
}
}  // namespace

void applyDefaultRenderer(unsigned gtkMinorVersion) {
    RendererFacts facts = machineRendererFacts();
    auto set = [](const std::string& name, const std::string& value) {
        if (::setenv(name.c_str(), value.c_str(), /*overwrite=*/1) == 0) setHere().push_back(name);
    };
    if (auto renderer = defaultRenderer(facts)) set("GSK_RENDERER", *renderer);
    if (auto gl = gdkGLSwitch(facts, gtkMinorVersion)) set(gl->name, gl->value);
}

const std::vector<std::string>& variablesSetForThisProcess() { return setHere(); }

}  // namespace pimorlo::platform::linux_backend
