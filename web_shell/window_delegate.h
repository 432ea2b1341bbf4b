// The web shell's one controller: application, window, navigation and UI
// delegate at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/webview.h"
#include "platform/window.h"

namespace pimorlo::web_shell {

// The platform services the web shell reaches; they outlive the delegate.
struct WebShellPlatform {
    platform::Application& application;
    platform::WebKit& webKit;
    platform::ProcessProbe& processProbe;
};

class PimOrloWindowDelegate final : public platform::ApplicationDelegate,
                                    public platform::WindowDelegate,
                                    public platform::NavigationDelegate,
                                    public platform::UIDelegate,
                                    public std::enable_shared_from_this<PimOrloWindowDelegate> {
public:
    static constexpr platform::Rect contentRect{{0, 0}, {1040.0, 760.0}};
    static constexpr platform::Size minimumSize{720.0, 560.0};
    static constexpr double parentWatchInterval = 2.0;
    static constexpr double requestTimeout = 60.0;

    // init(initialURL:parentPID:). The platform is passed in rather than
    // reached through globals.
    PimOrloWindowDelegate(const platform::URL& pageURL, std::int32_t parentProcessID, const WebShellPlatform& services);
    PimOrloWindowDelegate(const PimOrloWindowDelegate&) = delete;
    PimOrloWindowDelegate& operator=(const PimOrloWindowDelegate&) = delete;

    void applicationDidFinishLaunching() override;
    bool applicationShouldTerminateAfterLastWindowClosed(platform::Application& sender) override;

    void decidePolicyFor(platform::WebView& webView, const platform::NavigationAction& navigationAction,
                         std::function<void(platform::NavigationActionPolicy)> decisionHandler) override;
    void didCommit(platform::WebView& webView) override;
    // The last local page committed, or the initial one, is loaded again, a
    // few times a minute at most.
    void webContentProcessDidTerminate(platform::WebView& webView) override;
    std::shared_ptr<platform::WebView> createWebViewWith(platform::WebView& webView,
                                                         const platform::WebViewConfiguration& configuration,
                                                         const platform::NavigationAction& navigationAction,
                                                         const platform::WindowFeatures& windowFeatures) override;
    void requestMediaCapturePermissionFor(platform::WebView& webView, const platform::SecurityOrigin& origin,
                                          const platform::FrameInfo& frame, platform::MediaCaptureType type,
                                          std::function<void(platform::PermissionDecision)> decisionHandler) override;

    // One tick of the parent watch, for a delegate that may be gone by now.
    static void parentWatchTick(const std::weak_ptr<PimOrloWindowDelegate>& weakDelegate);

private:
    std::shared_ptr<platform::Window> window;
    std::shared_ptr<platform::WebView> webView;

public:
    const platform::URL initialURL;
    const std::int32_t parentPID;

private:
    void installMainMenu();

    WebShellPlatform platform_;
    // The page a web process that ends is answered with; none until a local
    // web page has committed.
    std::optional<platform::URL> lastLocalPage_;
    // When those answers were given, on the monotonic clock; only the last
    // few are kept.
    std::vector<double> reloadTimes_;
};

}  // namespace pimorlo::web_shell
