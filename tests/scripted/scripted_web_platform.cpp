#include "tests/scripted/scripted_web_platform.h"

#include <cstdio>

namespace pimorlo::scripted {
namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string rect(platform::Rect r) {
    return "(" + number(r.origin.x) + "," + number(r.origin.y) + "," + number(r.size.width) + "," +
           number(r.size.height) + ")";
}

class ScriptedMenu;

class ScriptedMenuItem final : public platform::MenuItem {
public:
    ScriptedMenuItem(CallLog& log, std::string name) : log_(log), name_(std::move(name)) {}
    void setSubmenu(std::shared_ptr<platform::Menu> submenu) override;
    const std::string& name() const { return name_; }

private:
    CallLog& log_;
    std::string name_;
    std::shared_ptr<platform::Menu> submenu_;
};

class ScriptedMenu final : public platform::Menu {
public:
    ScriptedMenu(CallLog& log, std::string name) : log_(log), name_(std::move(name)) {}
    void addItem(std::shared_ptr<platform::MenuItem> item) override {
        log_.push_back(name_ + ".addItem(" + static_cast<ScriptedMenuItem&>(*item).name() + ")");
        items_.push_back(std::move(item));
    }
    void addItem(std::string title, std::string action, std::string keyEquivalent) override {
        log_.push_back(name_ + ".addItem(\"" + title + "\", " + action + ", \"" + keyEquivalent + "\")");
    }
    const std::string& name() const { return name_; }

private:
    CallLog& log_;
    std::string name_;
    std::vector<std::shared_ptr<platform::MenuItem>> items_;
};

void ScriptedMenuItem::setSubmenu(std::shared_ptr<platform::Menu> submenu) {
    log_.push_back(name_ + ".submenu = " + static_cast<ScriptedMenu&>(*submenu).name());
    submenu_ = std::move(submenu);
}

class ScriptedWindow final : public platform::Window {
public:
    explicit ScriptedWindow(CallLog& log) : log_(log) {}
    void setTitle(std::string title) override { log_.push_back("window.title = \"" + title + "\""); }
    void setMinSize(platform::Size size) override {
        log_.push_back("window.minSize = " + number(size.width) + "x" + number(size.height));
    }
    void center() override { log_.push_back("window.center()"); }
    void setDelegate(std::weak_ptr<platform::WindowDelegate> delegate) override {
        log_.push_back(std::string("window.delegate = ") + (delegate.lock() ? "set" : "none"));
        delegate_ = std::move(delegate);
    }
    void setContentView(std::shared_ptr<platform::View> view) override {
        log_.push_back(std::string("window.contentView = ") +
                       (dynamic_cast<ScriptedWebView*>(view.get()) ? "webView" : "other"));
        content_ = std::move(view);
    }
    void makeKeyAndOrderFront() override { log_.push_back("window.makeKeyAndOrderFront()"); }

private:
    CallLog& log_;
    std::weak_ptr<platform::WindowDelegate> delegate_;
    std::shared_ptr<platform::View> content_;
};

}  // namespace

void ScriptedWebView::setNavigationDelegate(std::weak_ptr<platform::NavigationDelegate> delegate) {
    log_.push_back(std::string("webView.navigationDelegate = ") + (delegate.lock() ? "set" : "none"));
    navigationDelegate = std::move(delegate);
}

void ScriptedWebView::setUIDelegate(std::weak_ptr<platform::UIDelegate> delegate) {
    log_.push_back(std::string("webView.uiDelegate = ") + (delegate.lock() ? "set" : "none"));
    uiDelegate = std::move(delegate);
}

void ScriptedWebView::setAutoresizingMask(unsigned long mask) {
    log_.push_back("webView.autoresizingMask = " + std::to_string(mask));
}

void ScriptedWebView::load(const platform::URLRequest& request) {
    log_.push_back("webView.load(" + (request.url ? request.url->absoluteString : std::string("no URL")) +
                   ", cachePolicy " + std::to_string(static_cast<unsigned long>(request.cachePolicy)) +
                   ", timeout " + number(request.timeoutInterval) + ")");
    loads.push_back(request);
}

bool ScriptedApplication::setActivationPolicy(platform::ActivationPolicy policy) {
    log_.push_back("app.activationPolicy = " + std::to_string(static_cast<long>(policy)));
    return true;
}

void ScriptedApplication::setDelegate(std::weak_ptr<platform::ApplicationDelegate> newDelegate) {
    log_.push_back(std::string("app.delegate = ") + (newDelegate.lock() ? "set" : "none"));
    delegate = std::move(newDelegate);
}

void ScriptedApplication::setMainMenu(std::shared_ptr<platform::Menu> menu) {
    log_.push_back("app.mainMenu = " + static_cast<ScriptedMenu&>(*menu).name());
}

void ScriptedApplication::activate(bool ignoringOtherApps) {
    log_.push_back(std::string("app.activate(") + (ignoringOtherApps ? "true" : "false") + ")");
}

void ScriptedApplication::run() {
    log_.push_back("app.run()");
    if (auto alive = delegate.lock()) alive->applicationDidFinishLaunching();
}

void ScriptedApplication::terminate() {
    log_.push_back("app.terminate()");
    ++terminations;
}

std::shared_ptr<platform::Menu> ScriptedApplication::makeMenu(std::string title) {
    std::string name = "menu" + std::to_string(nextMenu_++);
    log_.push_back(name + " = Menu(\"" + title + "\")");
    return std::make_shared<ScriptedMenu>(log_, name);
}

std::shared_ptr<platform::MenuItem> ScriptedApplication::makeMenuItem() {
    std::string name = "item" + std::to_string(nextItem_++);
    log_.push_back(name + " = MenuItem()");
    return std::make_shared<ScriptedMenuItem>(log_, name);
}

std::shared_ptr<platform::MenuItem> ScriptedApplication::makeSeparatorItem() {
    std::string name = "item" + std::to_string(nextItem_++);
    log_.push_back(name + " = MenuItem.separator()");
    return std::make_shared<ScriptedMenuItem>(log_, name);
}

std::shared_ptr<platform::Window> ScriptedApplication::makeWindow(platform::Rect contentRect, unsigned long styleMask,
                                                                  platform::BackingStoreType backing, bool defer) {
    log_.push_back("window = Window(" + rect(contentRect) + ", style " + std::to_string(styleMask) + ", backing " +
                   std::to_string(static_cast<unsigned long>(backing)) + ", defer " + (defer ? "true" : "false") +
                   ")");
    return std::make_shared<ScriptedWindow>(log_);
}

std::shared_ptr<platform::Timer> ScriptedApplication::scheduledTimer(double interval, bool repeats,
                                                                     std::function<void(platform::Timer&)> block) {
    log_.push_back("timer(" + number(interval) + ", repeats " + (repeats ? "true" : "false") + ")");
    auto timer = std::make_shared<ScriptedTimer>();
    timer->interval = interval;
    timer->repeats = repeats;
    timer->block = std::move(block);
    timers.push_back(timer);
    return timer;
}

std::optional<platform::URL> ScriptedWebKit::urlFromString(std::string_view text) const {
    if (rejectEverything) return std::nullopt;
    auto colon = text.find(':');
    if (colon == 0 || colon == std::string_view::npos || text.find(' ') != std::string_view::npos)
        return std::nullopt;
    platform::URL url{std::string(text), std::nullopt, std::string(text.substr(0, colon))};
    std::string_view rest = text.substr(colon + 1);
    if (rest.substr(0, 2) == "//") {
        std::string_view authority = rest.substr(2, rest.find_first_of("/?#", 2) - 2);
        if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
        if (!authority.empty() && authority.front() == '[')
            url.host = std::string(authority.substr(1, authority.find(']') - 1));
        else
            url.host = std::string(authority.substr(0, authority.find(':')));
    }
    return url;
}

std::shared_ptr<platform::WebView> ScriptedWebKit::makeWebView(platform::Rect frame,
                                                               const platform::WebViewConfiguration& configuration) {
    std::string line = "webView = WebView(" + rect(frame);
    for (const auto& [key, value] : configuration.preferences.values)
        line += ", " + key + " " + (value ? "true" : "false");
    if (configuration.defaultWebpagePreferences)
        line += std::string(", allowsContentJavaScript ") +
                (configuration.defaultWebpagePreferences->allowsContentJavaScript ? "true" : "false");
    log_.push_back(line + ")");
    auto view = std::make_shared<ScriptedWebView>(log_);
    webViews.push_back(view);
    return view;
}

bool ScriptedWebKit::ScriptedWorkspace::open(const platform::URL& url) {
    log.push_back("workspace.open(" + url.absoluteString + ")");
    return true;
}

int ScriptedProcessProbe::kill(pid_t pid, int signal) {
    log_.push_back("kill(" + std::to_string(pid) + ", " + std::to_string(signal) + ")");
    return result;
}

}  // namespace pimorlo::scripted
