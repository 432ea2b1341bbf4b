#include "web_shell/entry.h"

#include <utility>

#include "web_shell/policy.h"

namespace pimorlo::web_shell {
namespace {

// The process's one delegate. It is never destroyed: the platform can still
// ask it for decisions while the process ends, after the event loop has
// returned, and nothing is torn down at exit.
std::shared_ptr<PimOrloWindowDelegate>& delegate() {
    static auto* held = new std::shared_ptr<PimOrloWindowDelegate>();
    return *held;
}

}  // namespace

StartupValues readStartupValues(std::vector<std::string> args, const platform::WebKit& webKit) {
    StartupValues values;
    values.args = std::move(args);
    // Taken as it stands: an argument starting with "-" is a page address too.
    values.urlString = values.args.size() < 2 ? std::string(defaultPageAddress) : values.args[1];
    if (values.args.size() >= 3) values.parentPID = parseDecimalInt32(values.args[2]).value_or(0);
    if (auto parsed = webKit.urlFromString(values.urlString)) {
        values.targetURL = std::move(*parsed);
    } else if (auto fallback = webKit.urlFromString(defaultPageAddress)) {
        values.targetURL = std::move(*fallback);
    } else {
        // A parser that rejects the literal still leaves a usable address.
        values.targetURL = platform::URL{defaultPageAddress, "127.0.0.1", "http"};
    }
    return values;
}

int webShellMain(std::vector<std::string> args, const WebShellPlatform& platform) {
    const StartupValues values = readStartupValues(std::move(args), platform.webKit);
    platform::Application& app = platform.application;
    app.setActivationPolicy(platform::ActivationPolicy::accessory);
    // The application holds its delegate weakly; the global keeps it alive.
    delegate() = std::make_shared<PimOrloWindowDelegate>(values.targetURL, values.parentPID, platform);
    app.setDelegate(delegate());
    app.run();
    return 0;
}

}  // namespace pimorlo::web_shell
