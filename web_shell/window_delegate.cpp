#include "web_shell/window_delegate.h"

#include <chrono>
#include <utility>

#include "web_shell/policy.h"

namespace pimorlo::web_shell {

using namespace platform;

PimOrloWindowDelegate::PimOrloWindowDelegate(const URL& pageURL, std::int32_t parentProcessID,
                                             const WebShellPlatform& services)
    : initialURL(pageURL), parentPID(parentProcessID), platform_(services) {}

void PimOrloWindowDelegate::installMainMenu() {
    Application& app = platform_.application;
    auto mainMenu = app.makeMenu("");

    auto appMenuItem = app.makeMenuItem();
    mainMenu->addItem(appMenuItem);
    auto appMenu = app.makeMenu("");
    appMenu->addItem("Quit Pim Orlo", "terminate:", "q");
    appMenuItem->setSubmenu(appMenu);

    auto editMenuItem = app.makeMenuItem();
    mainMenu->addItem(editMenuItem);
    auto editMenu = app.makeMenu("Edit");
    editMenu->addItem("Undo", "undo:", "z");
    editMenu->addItem("Redo", "redo:", "Z");
    editMenu->addItem(app.makeSeparatorItem());
    editMenu->addItem("Cut", "cut:", "x");
    editMenu->addItem("Copy", "copy:", "c");
    editMenu->addItem("Paste", "paste:", "v");
    editMenu->addItem("Select All", "selectAll:", "a");
    editMenuItem->setSubmenu(editMenu);

    app.setMainMenu(mainMenu);
}

void PimOrloWindowDelegate::applicationDidFinishLaunching() {
    installMainMenu();

    WebViewConfiguration configuration;
    configuration.preferences.setValue(false, "developerExtrasEnabled");
    WebpagePreferences pagePreferences;
    pagePreferences.allowsContentJavaScript = true;
    configuration.defaultWebpagePreferences = pagePreferences;

    using namespace WindowStyleMask;
    window = platform_.application.makeWindow(contentRect, titled | closable | miniaturizable | resizable,
                                              BackingStoreType::buffered, false);
    window->setTitle("Pim Orlo");
    window->setMinSize(minimumSize);
    window->center();
    window->setDelegate(weak_from_this());

    webView = platform_.webKit.makeWebView(contentRect, configuration);
    webView->setNavigationDelegate(weak_from_this());
    webView->setUIDelegate(weak_from_this());
    webView->setAutoresizingMask(AutoresizingMask::widthSizable | AutoresizingMask::heightSizable);
    window->setContentView(webView);
    window->makeKeyAndOrderFront();
    platform_.application.activate(true);

    webView->load(URLRequest{initialURL, URLRequestCachePolicy::useProtocolCachePolicy, requestTimeout, nullptr});

    // 0 and 1 are "no parent" and "adopted by init"; negative ids would probe
    // whole process groups.
    if (parentPID > 1) {
        std::weak_ptr<PimOrloWindowDelegate> weakSelf = weak_from_this();
        platform_.application.scheduledTimer(parentWatchInterval, true,
                                             [weakSelf](Timer&) { parentWatchTick(weakSelf); });
    }
}

bool PimOrloWindowDelegate::applicationShouldTerminateAfterLastWindowClosed(Application&) { return true; }

void PimOrloWindowDelegate::parentWatchTick(const std::weak_ptr<PimOrloWindowDelegate>& weakDelegate) {
    auto self = weakDelegate.lock();
    if (!self) return;
    // Any failure counts as gone, "not permitted" included: a reused id that
    // belongs to someone else is not our parent either.
    if (self->platform_.processProbe.kill(self->parentPID, 0) != 0) self->platform_.application.terminate();
}

void PimOrloWindowDelegate::decidePolicyFor(WebView&, const NavigationAction& navigationAction,
                                            std::function<void(NavigationActionPolicy)> decisionHandler) {
    const auto& url = navigationAction.request.url;
    if (!url) {
        decisionHandler(NavigationActionPolicy::allow);
        return;
    }
    auto decision = navigationDecision(url->host.value_or(""),
                                       url->scheme ? std::optional<std::string_view>(*url->scheme) : std::nullopt);
    if (decision.openExternally) platform_.webKit.sharedWorkspace().open(*url);
    decisionHandler(decision.policy);
}

void PimOrloWindowDelegate::didCommit(WebView& committing) {
    auto url = committing.url();
    if (url && isLocalWebPage(url->host.value_or(""),
                              url->scheme ? std::optional<std::string_view>(*url->scheme) : std::nullopt))
        lastLocalPage_ = std::move(url);
}

// Without an answer the window stays empty for good. The page is loaded anew
// from its address, never resubmitted; a page that was not local (a file: or
// data: address, which may be what ended the process) is never the one
// loaded again.
void PimOrloWindowDelegate::webContentProcessDidTerminate(WebView& emptied) {
    const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    if (!mayReloadAfterTermination(reloadTimes_, now)) return;
    std::erase_if(reloadTimes_, [now](double at) { return now - at >= reloadWindow; });
    reloadTimes_.push_back(now);
    emptied.load(URLRequest{lastLocalPage_.value_or(initialURL), URLRequestCachePolicy::useProtocolCachePolicy,
                            requestTimeout, nullptr});
}

std::shared_ptr<WebView> PimOrloWindowDelegate::createWebViewWith(WebView& asking, const WebViewConfiguration&,
                                                                  const NavigationAction& navigationAction,
                                                                  const WindowFeatures&) {
    const auto& url = navigationAction.request.url;
    if (!url) return nullptr;
    switch (newWindowDecision(url->host.value_or(""),
                              url->scheme ? std::optional<std::string_view>(*url->scheme) : std::nullopt)) {
        case NewWindowDecision::loadInPlace:
            asking.load(navigationAction.request);
            break;
        case NewWindowDecision::openExternally:
            platform_.webKit.sharedWorkspace().open(*url);
            break;
        case NewWindowDecision::ignore:
            break;
    }
    return nullptr;
}

void PimOrloWindowDelegate::requestMediaCapturePermissionFor(WebView&, const SecurityOrigin& origin,
                                                             const FrameInfo&, MediaCaptureType,
                                                             std::function<void(PermissionDecision)> decisionHandler) {
    decisionHandler(mediaCaptureDecision(origin.host.value_or("")));
}

}  // namespace pimorlo::web_shell
