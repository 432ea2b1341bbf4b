#include "web_shell/window_delegate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/scripted/scripted_web_platform.h"
#include "web_shell/entry.h"
#include "web_shell/policy.h"

namespace pimorlo::web_shell {
namespace {

using platform::NavigationActionPolicy;
using platform::PermissionDecision;
using scripted::ScriptedWebPlatform;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class WebShell : public ::testing::Test {
protected:
    WebShellPlatform services() { return {p.application, p.webKit, p.processProbe}; }

    std::vector<std::string> runWith(std::vector<std::string> args) {
        webShellMain(std::move(args), services());
        return p.log;
    }

    std::shared_ptr<PimOrloWindowDelegate> launched(std::int32_t parentPID) {
        auto delegate = std::make_shared<PimOrloWindowDelegate>(*p.webKit.urlFromString("http://127.0.0.1:18788/app"),
                                                                parentPID, services());
        delegate->applicationDidFinishLaunching();
        p.log.clear();
        return delegate;
    }

    platform::NavigationAction actionFor(const std::string& address) {
        platform::NavigationAction action;
        action.request.url = p.webKit.urlFromString(address);
        return action;
    }

    ScriptedWebPlatform p;
};

TEST_F(WebShell, LaunchBuildsMenuWindowAndWebViewInOrder) {
    auto log = runWith({"PimOrloWebView", "http://localhost:5000/x", "4242"});
    EXPECT_THAT(log, ElementsAreArray<std::string>({
                         "app.activationPolicy = 1",
                         "app.delegate = set",
                         "app.run()",
                         "menu0 = Menu(\"\")",
                         "item0 = MenuItem()",
                         "menu0.addItem(item0)",
                         "menu1 = Menu(\"\")",
                         "menu1.addItem(\"Quit Pim Orlo\", terminate:, \"q\")",
                         "item0.submenu = menu1",
                         "item1 = MenuItem()",
                         "menu0.addItem(item1)",
                         "menu2 = Menu(\"Edit\")",
                         "menu2.addItem(\"Undo\", undo:, \"z\")",
                         "menu2.addItem(\"Redo\", redo:, \"Z\")",
                         "item2 = MenuItem.separator()",
                         "menu2.addItem(item2)",
                         "menu2.addItem(\"Cut\", cut:, \"x\")",
                         "menu2.addItem(\"Copy\", copy:, \"c\")",
                         "menu2.addItem(\"Paste\", paste:, \"v\")",
                         "menu2.addItem(\"Select All\", selectAll:, \"a\")",
                         "item1.submenu = menu2",
                         "app.mainMenu = menu0",
                         "window = Window((0,0,1040,760), style 15, backing 2, defer false)",
                         "window.title = \"Pim Orlo\"",
                         "window.minSize = 720x560",
                         "window.center()",
                         "window.delegate = set",
                         "webView = WebView((0,0,1040,760), developerExtrasEnabled false, "
                         "allowsContentJavaScript true)",
                         "webView.navigationDelegate = set",
                         "webView.uiDelegate = set",
                         "webView.autoresizingMask = 18",
                         "window.contentView = webView",
                         "window.makeKeyAndOrderFront()",
                         "app.activate(true)",
                         "webView.load(http://localhost:5000/x, cachePolicy 0, timeout 60)",
                         "timer(2, repeats true)",
                     }));
}

// The platform may still ask for decisions after the event loop has returned,
// while the process ends; a delegate gone by then would leave it to guess.
TEST_F(WebShell, DelegateOutlivesTheEventLoop) {
    runWith({"PimOrloWebView", "http://127.0.0.1:5000/"});
    ASSERT_EQ(p.webKit.webViews.size(), 1u);
    EXPECT_TRUE(p.webKit.webViews[0]->navigationDelegate.lock());
    EXPECT_TRUE(p.webKit.webViews[0]->uiDelegate.lock());
}

TEST_F(WebShell, ReadsPageAddressAndParentWithFallbacks) {
    struct Case {
        std::vector<std::string> args;
        std::string urlString;
        std::string page;
        std::int32_t parentPID;
    };
    const std::string fallback = "http://127.0.0.1:18788/app";
    const Case cases[] = {
        {{"prog"}, fallback, fallback, 0},
        {{"prog", "https://example.com/"}, "https://example.com/", "https://example.com/", 0},
        {{"prog", "http://127.0.0.1:9/a", "77", "extra", "more"}, "http://127.0.0.1:9/a", "http://127.0.0.1:9/a", 77},
        {{"prog", "not an address", "12a"}, "not an address", fallback, 0},
        {{"prog", "--help", "-2147483648"}, "--help", fallback, INT32_MIN},
        {{"prog", "", "2147483648"}, "", fallback, 0},
    };
    for (const auto& c : cases) {
        auto values = readStartupValues(c.args, p.webKit);
        EXPECT_EQ(values.args, c.args);
        EXPECT_EQ(values.urlString, c.urlString);
        EXPECT_EQ(values.targetURL.absoluteString, c.page) << c.urlString;
        EXPECT_EQ(values.parentPID, c.parentPID) << c.urlString;
    }
}

TEST_F(WebShell, EntryFallsBackWhenNoAddressParsesAtAll) {
    p.webKit.rejectEverything = true;
    auto values = readStartupValues({"prog", "http://localhost/"}, p.webKit);
    EXPECT_EQ(values.targetURL.absoluteString, "http://127.0.0.1:18788/app");
    EXPECT_EQ(values.targetURL.host, "127.0.0.1");
}

TEST_F(WebShell, WatchesOnlyParentIdsAboveOne) {
    for (const char* pid : {"0", "1", "-1", "-4242", "junk"}) {
        ScriptedWebPlatform fresh;
        webShellMain({"prog", "http://127.0.0.1/", pid}, {fresh.application, fresh.webKit, fresh.processProbe});
        EXPECT_THAT(fresh.application.timers, IsEmpty()) << pid;
        EXPECT_EQ(fresh.log.back(), "webView.load(http://127.0.0.1/, cachePolicy 0, timeout 60)") << pid;
    }
    webShellMain({"prog", "http://127.0.0.1/", "2"}, services());
    ASSERT_EQ(p.application.timers.size(), 1u);
    EXPECT_EQ(p.application.timers[0]->interval, 2.0);
    EXPECT_TRUE(p.application.timers[0]->repeats);
}

TEST_F(WebShell, ParentWatchTerminatesOnceTheProbeFails) {
    auto delegate = launched(4242);
    auto& timer = *p.application.timers.at(0);
    timer.fire();
    timer.fire();
    EXPECT_THAT(p.log, ElementsAre("kill(4242, 0)", "kill(4242, 0)"));
    p.processProbe.result = -1;
    timer.fire();
    EXPECT_THAT(p.log, ElementsAre("kill(4242, 0)", "kill(4242, 0)", "kill(4242, 0)", "app.terminate()"));
}

TEST_F(WebShell, ParentWatchDoesNotKeepTheDelegateAlive) {
    auto delegate = launched(4242);
    std::weak_ptr<PimOrloWindowDelegate> weak = delegate;
    p.processProbe.result = -1;
    delegate.reset();
    EXPECT_TRUE(weak.expired());
    p.application.timers.at(0)->fire();
    EXPECT_THAT(p.log, IsEmpty());
    EXPECT_FALSE(p.application.timers[0]->invalidated);
}

TEST_F(WebShell, ClosingTheLastWindowTerminates) {
    auto delegate = launched(0);
    EXPECT_TRUE(delegate->applicationShouldTerminateAfterLastWindowClosed(p.application));
}

TEST_F(WebShell, NavigationOpensForeignWebAddressesExternally) {
    auto delegate = launched(0);
    auto& view = *p.webKit.webViews.at(0);
    struct Case {
        std::string address;
        NavigationActionPolicy policy;
        bool opened;
    };
    const Case cases[] = {
        {"http://127.0.0.1:18788/app", NavigationActionPolicy::allow, false},
        {"http://user:pw@LOCALHOST:1/", NavigationActionPolicy::allow, false},
        {"http://[::1]:8080/", NavigationActionPolicy::allow, false},
        {"https://example.com/page", NavigationActionPolicy::cancel, true},
        {"about:blank", NavigationActionPolicy::allow, false},
    };
    for (const auto& c : cases) {
        p.log.clear();
        std::vector<NavigationActionPolicy> answers;
        delegate->decidePolicyFor(view, actionFor(c.address), [&](auto policy) { answers.push_back(policy); });
        EXPECT_THAT(answers, ElementsAre(c.policy)) << c.address;
        EXPECT_EQ(p.log, c.opened ? std::vector<std::string>{"workspace.open(" + c.address + ")"}
                                  : std::vector<std::string>{})
            << c.address;
    }
    std::vector<NavigationActionPolicy> answers;
    delegate->decidePolicyFor(view, platform::NavigationAction{}, [&](auto policy) { answers.push_back(policy); });
    EXPECT_THAT(answers, ElementsAre(NavigationActionPolicy::allow));
}

TEST_F(WebShell, NewWindowRequestsNeverMakeAWebView) {
    auto delegate = launched(0);
    auto& view = *p.webKit.webViews.at(0);
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"http://localhost:9000/next", {"webView.load(http://localhost:9000/next, cachePolicy 0, timeout 60)"}},
        {"http://[::1]:9000/", {"workspace.open(http://[::1]:9000/)"}},
        {"https://example.com/", {"workspace.open(https://example.com/)"}},
        {"mailto:someone@example.com", {"workspace.open(mailto:someone@example.com)"}},
        {"about:blank", {}},
        {"file:///etc/passwd", {}},
    };
    for (const auto& [address, calls] : cases) {
        p.log.clear();
        auto action = actionFor(address);
        action.request.timeoutInterval = 60;
        EXPECT_EQ(delegate->createWebViewWith(view, {}, action, {}), nullptr) << address;
        EXPECT_EQ(p.log, calls) << address;
    }
    p.log.clear();
    EXPECT_EQ(delegate->createWebViewWith(view, {}, platform::NavigationAction{}, {}), nullptr);
    EXPECT_THAT(p.log, IsEmpty());
    EXPECT_EQ(p.webKit.webViews.size(), 1u);
}

TEST_F(WebShell, LocalNewWindowLoadsTheWholeRequestInTheAskingView) {
    auto delegate = launched(0);
    auto& view = *p.webKit.webViews.at(0);
    auto action = actionFor("http://127.0.0.1:1/post");
    auto native = std::make_shared<int>(7);
    action.request.native = native;
    delegate->createWebViewWith(view, {}, action, {});
    ASSERT_EQ(view.loads.size(), 2u);
    EXPECT_EQ(view.loads[1].native, native);
}

TEST_F(WebShell, MediaCaptureGrantsLocalOriginsAndPromptsOthers) {
    auto delegate = launched(0);
    auto& view = *p.webKit.webViews.at(0);
    const std::pair<std::optional<std::string>, PermissionDecision> cases[] = {
        {"LOCALHOST", PermissionDecision::grant},
        {"127.0.0.1", PermissionDecision::grant},
        {"::1", PermissionDecision::prompt},
        {std::nullopt, PermissionDecision::prompt},
    };
    for (const auto& [host, expected] : cases) {
        std::vector<PermissionDecision> answers;
        delegate->requestMediaCapturePermissionFor(view, {host}, {}, platform::MediaCaptureType::cameraAndMicrophone,
                                                   [&](auto d) { answers.push_back(d); });
        EXPECT_THAT(answers, ElementsAre(expected)) << host.value_or("(none)");
    }
}

// The page a web process that ends is answered with: the last local web page
// that committed, whatever came after it, or the initial page.
TEST_F(WebShell, EndedWebProcessLoadsTheLastLocalPageAgain) {
    struct Case {
        std::vector<std::string> commits;
        std::string loaded;
    };
    const std::string initial = "http://127.0.0.1:18788/app";
    const Case cases[] = {
        {{}, initial},
        {{"http://localhost:5000/a"}, "http://localhost:5000/a"},
        {{"http://localhost:5000/a", "https://127.0.0.1:1/b?c#d"}, "https://127.0.0.1:1/b?c#d"},
        {{"http://[::1]:8080/v6"}, "http://[::1]:8080/v6"},
        // What came after a local page (and may be what ended the process)
        // is never loaded again.
        {{"http://localhost:5000/a", "file:///etc/hostname"}, "http://localhost:5000/a"},
        {{"http://localhost:5000/a", "about:blank", "data:text/html,x"}, "http://localhost:5000/a"},
        {{"file://localhost/etc/hostname"}, initial},
        {{"https://example.com/"}, initial},
    };
    for (const auto& c : cases) {
        ScriptedWebPlatform fresh;
        PimOrloWindowDelegate delegate(*fresh.webKit.urlFromString(initial), 0,
                                       {fresh.application, fresh.webKit, fresh.processProbe});
        delegate.applicationDidFinishLaunching();
        auto& view = *fresh.webKit.webViews.at(0);
        for (const auto& address : c.commits) {
            view.currentURL = fresh.webKit.urlFromString(address);
            delegate.didCommit(view);
        }
        fresh.log.clear();
        delegate.webContentProcessDidTerminate(view);
        EXPECT_THAT(fresh.log, ElementsAre("webView.load(" + c.loaded + ", cachePolicy 0, timeout 60)"))
            << (c.commits.empty() ? "(no commit)" : c.commits.back());
        EXPECT_EQ(view.loads.back().native, nullptr) << "the page is loaded anew, never resubmitted";
    }
}

TEST_F(WebShell, EndedWebProcessIsAnsweredAFewTimesAMinuteAtMost) {
    auto delegate = launched(0);
    auto& view = *p.webKit.webViews.at(0);
    for (int i = 0; i < 6; ++i) delegate->webContentProcessDidTerminate(view);
    EXPECT_EQ(p.log.size(), static_cast<std::size_t>(reloadLimit));
}

}  // namespace
}  // namespace pimorlo::web_shell
