// The web view on macOS: WebKit's web view with its configuration and its
// navigation and UI delegate roles, Foundation's URLs and requests, and
// AppKit's workspace for the default browser.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#import <WebKit/WebKit.h>

#include <memory>
#include <utility>

#include "platform/macos/appkit_view.h"
#include "platform/macos/foundation_values.h"
#include "platform/webview.h"

// The seam's types are named in full at file scope: WebKit's umbrella header
// also brings the legacy global classes (WebView, WebFrame...) there.
@class PimOrloWebViewBridge;

namespace pimorlo::platform::macos {
namespace {

std::optional<URL> urlFrom(NSURL* url) {
    if (url == nil) return std::nullopt;
    return URL{optionalString(url.absoluteString).value_or(""), optionalString(url.host), optionalString(url.scheme)};
}

NSURL* nativeURL(const URL& url) { return [NSURL URLWithString:makeString(url.absoluteString)]; }

NavigationAction navigationActionFrom(WKNavigationAction* action) {
    NSURLRequest* request = action.request;
    NavigationAction result;
    result.request.url = urlFrom(request.URL);
    result.request.cachePolicy = static_cast<URLRequestCachePolicy>(request.cachePolicy);
    result.request.timeoutInterval = request.timeoutInterval;
    result.request.native = retainNative(request);
    return result;
}

// The web view holds its delegates weakly; the one bridge for both roles
// lives in the handle.
class WKWebViewHandle final : public WebView,
                              public AppKitViewSource,
                              public std::enable_shared_from_this<WKWebViewHandle> {
public:
    explicit WKWebViewHandle(WKWebView* webView) : webView_(webView) {}

    void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) override;
    void setUIDelegate(std::weak_ptr<UIDelegate> delegate) override;

    void setAutoresizingMask(unsigned long mask) override {
        webView_.autoresizingMask = static_cast<NSAutoresizingMaskOptions>(mask);
    }

    // A request the platform made is loaded whole; one made here is built
    // from its parts.
    void load(const URLRequest& request) override {
        NSURLRequest* native = nativeObject(request.native);
        if (native == nil) {
            NSURL* url = request.url ? nativeURL(*request.url) : nil;
            if (url == nil) return;
            native = [[NSURLRequest alloc] initWithURL:url
                                           cachePolicy:static_cast<NSURLRequestCachePolicy>(request.cachePolicy)
                                       timeoutInterval:request.timeoutInterval];
        }
        [webView_ loadRequest:native];
    }

    std::optional<URL> url() const override { return urlFrom(webView_.URL); }

    NSView* appKitView() const override { return webView_; }
    WKWebView* native() const { return webView_; }

private:
    PimOrloWebViewBridge* bridge();

    WKWebView* webView_;
    PimOrloWebViewBridge* bridge_ = nil;
};

}  // namespace
}  // namespace pimorlo::platform::macos

// Takes the web view's navigation and UI delegate roles and hands each
// question to the controllers behind the seam, which it holds weakly, as the
// web view holds it. Without a controller the platform's defaults answer.
// It implements no printing: WebKit offers a page's window.print() only to a
// UI delegate that does, and otherwise answers it with nothing, which is what
// the Linux backend does too.
@interface PimOrloWebViewBridge : NSObject <WKNavigationDelegate, WKUIDelegate>
- (instancetype)initWithWebView:(std::weak_ptr<pimorlo::platform::WebView>)webView;
- (void)setNavigationDelegate:(std::weak_ptr<pimorlo::platform::NavigationDelegate>)delegate;
- (void)setUIDelegate:(std::weak_ptr<pimorlo::platform::UIDelegate>)delegate;
@end

@implementation PimOrloWebViewBridge {
    std::weak_ptr<pimorlo::platform::WebView> _webView;
    std::weak_ptr<pimorlo::platform::NavigationDelegate> _navigationDelegate;
    std::weak_ptr<pimorlo::platform::UIDelegate> _uiDelegate;
}

- (instancetype)initWithWebView:(std::weak_ptr<pimorlo::platform::WebView>)webView {
    self = [super init];
    if (self != nil) _webView = std::move(webView);
    return self;
}

- (void)setNavigationDelegate:(std::weak_ptr<pimorlo::platform::NavigationDelegate>)delegate {
    _navigationDelegate = std::move(delegate);
}

- (void)setUIDelegate:(std::weak_ptr<pimorlo::platform::UIDelegate>)delegate {
    _uiDelegate = std::move(delegate);
}

- (void)webView:(WKWebView*)webView
    decidePolicyForNavigationAction:(WKNavigationAction*)navigationAction
                    decisionHandler:(void (^)(WKNavigationActionPolicy))decisionHandler {
    (void)webView;
    auto delegate = _navigationDelegate.lock();
    auto view = _webView.lock();
    if (!delegate || !view) {
        decisionHandler(WKNavigationActionPolicyAllow);
        return;
    }
    delegate->decidePolicyFor(*view, pimorlo::platform::macos::navigationActionFrom(navigationAction),
                              [decisionHandler](pimorlo::platform::NavigationActionPolicy policy) {
                                  decisionHandler(static_cast<WKNavigationActionPolicy>(policy));
                              });
}

- (void)webView:(WKWebView*)webView didCommitNavigation:(WKNavigation*)navigation {
    (void)webView;
    (void)navigation;
    auto delegate = _navigationDelegate.lock();
    auto view = _webView.lock();
    if (delegate && view) delegate->didCommit(*view);
}

// Without it the view stays empty for good: WebKit starts a new web process
// only for a load.
- (void)webViewWebContentProcessDidTerminate:(WKWebView*)webView {
    (void)webView;
    auto delegate = _navigationDelegate.lock();
    auto view = _webView.lock();
    if (delegate && view) delegate->webContentProcessDidTerminate(*view);
}

- (WKWebView*)webView:(WKWebView*)webView
    createWebViewWithConfiguration:(WKWebViewConfiguration*)configuration
               forNavigationAction:(WKNavigationAction*)navigationAction
                    windowFeatures:(WKWindowFeatures*)windowFeatures {
    (void)webView;
    (void)configuration;
    (void)windowFeatures;
    auto delegate = _uiDelegate.lock();
    auto view = _webView.lock();
    if (!delegate || !view) return nil;
    auto created = delegate->createWebViewWith(*view, pimorlo::platform::WebViewConfiguration{},
                                               pimorlo::platform::macos::navigationActionFrom(navigationAction),
                                               pimorlo::platform::WindowFeatures{});
    const auto* handle = dynamic_cast<const pimorlo::platform::macos::WKWebViewHandle*>(created.get());
    return handle != nullptr ? handle->native() : nil;
}

- (void)webView:(WKWebView*)webView
    requestMediaCapturePermissionForOrigin:(WKSecurityOrigin*)origin
                          initiatedByFrame:(WKFrameInfo*)frame
                                      type:(WKMediaCaptureType)type
                           decisionHandler:(void (^)(WKPermissionDecision decision))decisionHandler {
    (void)webView;
    (void)frame;
    auto delegate = _uiDelegate.lock();
    auto view = _webView.lock();
    if (!delegate || !view) {
        decisionHandler(WKPermissionDecisionPrompt);
        return;
    }
    delegate->requestMediaCapturePermissionFor(
        *view, pimorlo::platform::SecurityOrigin{pimorlo::platform::macos::optionalString(origin.host)},
        pimorlo::platform::FrameInfo{}, static_cast<pimorlo::platform::MediaCaptureType>(type),
        [decisionHandler](pimorlo::platform::PermissionDecision decision) {
            decisionHandler(static_cast<WKPermissionDecision>(decision));
        });
}

@end

namespace pimorlo::platform::macos {
namespace {

void WKWebViewHandle::setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) {
    [bridge() setNavigationDelegate:std::move(delegate)];
    webView_.navigationDelegate = bridge();
}

void WKWebViewHandle::setUIDelegate(std::weak_ptr<UIDelegate> delegate) {
    [bridge() setUIDelegate:std::move(delegate)];
    webView_.UIDelegate = bridge();
}

PimOrloWebViewBridge* WKWebViewHandle::bridge() {
    if (bridge_ == nil) bridge_ = [[PimOrloWebViewBridge alloc] initWithWebView:weak_from_this()];
    return bridge_;
}

}  // namespace
}  // namespace pimorlo::platform::macos

namespace pimorlo::platform {
namespace macos {
namespace {

class AppKitWorkspace final : public Workspace {
public:
    bool open(const URL& url) override {
        NSURL* native = nativeURL(url);
        if (native == nil) return false;
        return [NSWorkspace.sharedWorkspace openURL:native];
    }
};

// Key-value coding raises on a key the object does not have, so only keys
// known to exist on the preferences are passed on.
bool isKnownPreferenceKey(const std::string& key) { return key == "developerExtrasEnabled"; }

class WebKitServices final : public WebKit {
public:
    std::optional<URL> urlFromString(std::string_view text) const override {
        NSString* string = makeString(text);
        if (string == nil) return std::nullopt;
        return urlFrom([NSURL URLWithString:string]);
    }

    std::shared_ptr<WebView> makeWebView(Rect frame, const WebViewConfiguration& configuration) override {
        WKWebViewConfiguration* native = [[WKWebViewConfiguration alloc] init];
        for (const auto& [key, value] : configuration.preferences.values) {
            if (isKnownPreferenceKey(key)) [native.preferences setValue:[NSNumber numberWithBool:value] forKey:makeString(key)];
        }
        if (configuration.defaultWebpagePreferences) {
            WKWebpagePreferences* pagePreferences = [[WKWebpagePreferences alloc] init];
            pagePreferences.allowsContentJavaScript = configuration.defaultWebpagePreferences->allowsContentJavaScript;
            native.defaultWebpagePreferences = pagePreferences;
        }
        WKWebView* webView = [[WKWebView alloc]
            initWithFrame:NSMakeRect(frame.origin.x, frame.origin.y, frame.size.width, frame.size.height)
            configuration:native];
        if (webView == nil) return nullptr;
        return std::make_shared<WKWebViewHandle>(webView);
    }

    Workspace& sharedWorkspace() override { return workspace_; }

private:
    AppKitWorkspace workspace_;
};

}  // namespace
}  // namespace macos

std::unique_ptr<WebKit> makeDefaultWebKit() { return std::make_unique<macos::WebKitServices>(); }

}  // namespace pimorlo::platform
