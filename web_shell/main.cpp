// PimOrloWebView: one window showing the companion's local page.
#include <string>
#include <vector>

#include "platform/webview.h"
#include "platform/window.h"
#include "web_shell/entry.h"

int main(int argc, char** argv) {
    using namespace pimorlo;
    auto application = platform::makeDefaultApplication();
    auto webKit = platform::makeDefaultWebKit();
    auto processProbe = platform::makeDefaultProcessProbe();
    return web_shell::webShellMain(std::vector<std::string>(argv, argv + argc),
                                   web_shell::WebShellPlatform{*application, *webKit, *processProbe});
}
