// The web view: its configuration, the web view with its navigation and UI
// delegates, navigation actions, security origins, URLs and URL requests, and
// the workspace that opens an address with the user's default application.
//
// Every operation reports failure as a value; nothing here throws. Each
// decision callback must be called exactly once.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/window.h"

namespace pimorlo::platform {

// A parsed absolute address. `host` is the host component as the parser
// reports it, an IPv6 literal without its brackets; absent when the address
// has no host. `scheme` is as written, not lower-cased.
struct URL {
    std::string absoluteString;
    std::optional<std::string> host;
    std::optional<std::string> scheme;
};

enum class URLRequestCachePolicy : unsigned long {
    useProtocolCachePolicy = 0,
    reloadIgnoringLocalCacheData = 1,
    returnCacheDataElseLoad = 2,
    returnCacheDataDontLoad = 3,
};

// `native` carries the backend's own request when the platform made it, so
// that handing it back loads that request whole (method, headers, body).
struct URLRequest {
    std::optional<URL> url;
    URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::useProtocolCachePolicy;
    double timeoutInterval = 60.0;
    std::shared_ptr<const void> native;
};

enum class NavigationActionPolicy : long { cancel = 0, allow = 1 };
enum class PermissionDecision : long { prompt = 0, grant = 1, deny = 2 };
enum class MediaCaptureType : long { camera = 0, microphone = 1, cameraAndMicrophone = 2 };

struct NavigationAction {
    URLRequest request;
    bool targetsMainFrame = true;
};

struct SecurityOrigin {
    std::optional<std::string> host;
};

struct FrameInfo {
    bool isMainFrame = true;
};

struct WindowFeatures {};

// Preferences set by key, as key-value coding does; a backend applies the keys
// it knows ("developerExtrasEnabled") and leaves the rest at their defaults.
struct Preferences {
    std::map<std::string, bool> values;
    void setValue(bool value, const std::string& key) { values[key] = value; }
};

struct WebpagePreferences {
    bool allowsContentJavaScript = true;
};

// Properties left empty keep the platform's default.
struct WebViewConfiguration {
    Preferences preferences;
    std::optional<WebpagePreferences> defaultWebpagePreferences;
};

class WebView;

class NavigationDelegate {
public:
    virtual ~NavigationDelegate() = default;
    virtual void decidePolicyFor(WebView& webView, const NavigationAction& navigationAction,
                                 std::function<void(NavigationActionPolicy)> decisionHandler) = 0;
    // webView(_:didCommit:): the main frame has committed to a new page,
    // which the web view's url() now names.
    virtual void didCommit(WebView& webView) = 0;
    // webViewWebContentProcessDidTerminate(_:): the process that showed the
    // web view's content has ended, whatever the reason (a crash, a kill,
    // WebKit ending it); the view shows nothing until it loads again.
    virtual void webContentProcessDidTerminate(WebView& webView) = 0;
};

class UIDelegate {
public:
    virtual ~UIDelegate() = default;
    // A page asks for a new window. The web view to show it in, or none.
    virtual std::shared_ptr<WebView> createWebViewWith(WebView& webView, const WebViewConfiguration& configuration,
                                                       const NavigationAction& navigationAction,
                                                       const WindowFeatures& windowFeatures) = 0;
    virtual void requestMediaCapturePermissionFor(WebView& webView, const SecurityOrigin& origin,
                                                  const FrameInfo& frame, MediaCaptureType type,
                                                  std::function<void(PermissionDecision)> decisionHandler) = 0;
};

// Bits of a view's autoresizing mask.
namespace AutoresizingMask {
constexpr unsigned long widthSizable = 2;
constexpr unsigned long heightSizable = 16;
}  // namespace AutoresizingMask

class WebView : public View {
public:
    virtual void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) = 0;
    virtual void setUIDelegate(std::weak_ptr<UIDelegate> delegate) = 0;
    virtual void setAutoresizingMask(unsigned long mask) = 0;
    // Starts loading; the outcome is reported to the navigation delegate only
    // as far as it asks for decisions and reports commits.
    virtual void load(const URLRequest& request) = 0;
    // The address of the page in the main frame (WKWebView.URL); at a commit,
    // the page just committed. None before anything has loaded.
    virtual std::optional<URL> url() const = 0;
};

// Hands an address to the system, which opens it with the user's default
// application for its scheme. Whether that worked.
class Workspace {
public:
    virtual ~Workspace() = default;
    virtual bool open(const URL& url) = 0;
};

class WebKit {
public:
    virtual ~WebKit() = default;
    // URL(string:): none for a text the parser cannot take as an address.
    virtual std::optional<URL> urlFromString(std::string_view text) const = 0;
    virtual std::shared_ptr<WebView> makeWebView(Rect frame, const WebViewConfiguration& configuration) = 0;
    // NSWorkspace.shared.
    virtual Workspace& sharedWorkspace() = 0;
};

// The web view services of the backend this program is built with. Web views
// are made only once the application has finished launching.
std::unique_ptr<WebKit> makeDefaultWebKit();

}  // namespace pimorlo::platform
