// A stand-in for the window and web view families that records each call as a
// line of text, in order, and lets a test fire timers and ask the delegates.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/webview.h"
#include "platform/window.h"

namespace pimorlo::scripted {

using CallLog = std::vector<std::string>;

class ScriptedWebView final : public platform::WebView {
public:
    explicit ScriptedWebView(CallLog& log) : log_(log) {}
    void setNavigationDelegate(std::weak_ptr<platform::NavigationDelegate> delegate) override;
    void setUIDelegate(std::weak_ptr<platform::UIDelegate> delegate) override;
    void setAutoresizingMask(unsigned long mask) override;
    void load(const platform::URLRequest& request) override;
    std::optional<platform::URL> url() const override { return currentURL; }

    std::weak_ptr<platform::NavigationDelegate> navigationDelegate;
    std::weak_ptr<platform::UIDelegate> uiDelegate;
    std::vector<platform::URLRequest> loads;
    // What url() answers; a test sets it before it reports a commit.
    std::optional<platform::URL> currentURL;

private:
    CallLog& log_;
};

struct ScriptedTimer final : platform::Timer {
    double interval = 0;
    bool repeats = false;
    bool invalidated = false;
    std::function<void(platform::Timer&)> block;
    void invalidate() override { invalidated = true; }
    void fire() {
        if (!invalidated) block(*this);
    }
};

class ScriptedApplication final : public platform::Application {
public:
    explicit ScriptedApplication(CallLog& log) : log_(log) {}
    bool setActivationPolicy(platform::ActivationPolicy policy) override;
    void setDelegate(std::weak_ptr<platform::ApplicationDelegate> delegate) override;
    void setMainMenu(std::shared_ptr<platform::Menu> menu) override;
    void activate(bool ignoringOtherApps) override;
    // Plays the platform's part: reports that launching has finished, then
    // returns as a loop would after termination.
    void run() override;
    void terminate() override;
    std::shared_ptr<platform::Menu> makeMenu(std::string title) override;
    std::shared_ptr<platform::MenuItem> makeMenuItem() override;
    std::shared_ptr<platform::MenuItem> makeSeparatorItem() override;
    std::shared_ptr<platform::Window> makeWindow(platform::Rect contentRect, unsigned long styleMask,
                                                 platform::BackingStoreType backing, bool defer) override;
    std::shared_ptr<platform::Timer> scheduledTimer(double interval, bool repeats,
                                                    std::function<void(platform::Timer&)> block) override;

    std::weak_ptr<platform::ApplicationDelegate> delegate;
    std::vector<std::shared_ptr<ScriptedTimer>> timers;
    int terminations = 0;

private:
    CallLog& log_;
    int nextMenu_ = 0;
    int nextItem_ = 0;
};

class ScriptedWebKit final : public platform::WebKit {
public:
    explicit ScriptedWebKit(CallLog& log) : log_(log), workspace_(log) {}
    // A tiny stand-in parser: "scheme:rest" with an optional "//host" after
    // it; a text without ":" or with a space is rejected.
    std::optional<platform::URL> urlFromString(std::string_view text) const override;
    std::shared_ptr<platform::WebView> makeWebView(platform::Rect frame,
                                                   const platform::WebViewConfiguration& configuration) override;
    platform::Workspace& sharedWorkspace() override { return workspace_; }

    std::vector<std::shared_ptr<ScriptedWebView>> webViews;
    bool rejectEverything = false;

private:
    struct ScriptedWorkspace final : platform::Workspace {
        explicit ScriptedWorkspace(CallLog& into) : log(into) {}
        bool open(const platform::URL& url) override;
        CallLog& log;
    };
    CallLog& log_;
    ScriptedWorkspace workspace_;
};

class ScriptedProcessProbe final : public platform::ProcessProbe {
public:
    explicit ScriptedProcessProbe(CallLog& log) : log_(log) {}
    int kill(pid_t pid, int signal) override;
    int result = 0;

private:
    CallLog& log_;
};

// All of the above around one log.
struct ScriptedWebPlatform {
    CallLog log;
    ScriptedApplication application{log};
    ScriptedWebKit webKit{log};
    ScriptedProcessProbe processProbe{log};
};

}  // namespace pimorlo::scripted
