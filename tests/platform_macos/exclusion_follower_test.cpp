// Following applications that start after the capture was set up, as the
// macOS backend does, on the scripted platform: the filter is the one the
// audio tap's core hands the backend, listings come from the scripted capture
// and time from a manual queue.
#include "platform/macos/exclusion_follower.h"

#include <gtest/gtest.h>

#include "tests/audio_tap/runner_fixture.h"

namespace pimorlo::platform::macos {
namespace {

using platform::RunningApplication;

constexpr pid_t kOwnPID = 77;
constexpr double kPeriod = 2.0;

RunningApplication app(pid_t pid, std::optional<std::string> bundle, std::optional<std::string> name) {
    return {pid, std::move(bundle), std::move(name), nullptr};
}

std::vector<pid_t> pids(const std::vector<RunningApplication>& applications) {
    std::vector<pid_t> result;
    for (const auto& a : applications) result.push_back(a.processID);
    return result;
}

const RunningApplication tap = app(kOwnPID, std::nullopt, std::nullopt);
const RunningApplication companion = app(10, "com.pimorlo.companion.desktop", "Pim Orlo");
const RunningApplication player = app(11, "org.example.player", "Player");
const RunningApplication shell = app(12, "com.pimorlo.companion.pimorlo.webview", "PimOrloWebView");
const RunningApplication browser = app(13, "org.example.browser", "Browser");
const RunningApplication chime = app(14, std::nullopt, "pim orlo chime");
const RunningApplication shellAgain = app(15, "com.pimorlo.companion.pimorlo.webview", "PimOrloWebView");

TEST(ExclusionsToApply, OnlyANewlySelectedApplicationCallsForANewFilter) {
    const auto rule = [](const RunningApplication& a) {
        return a.applicationName.value_or("").find("rlo") != std::string::npos;
    };
    const std::vector<RunningApplication> excluded = {tap, companion, shell};
    struct Case {
        const char* what;
        std::vector<RunningApplication> listed;
        std::optional<std::vector<pid_t>> update;
    };
    const Case cases[] = {
        {"nothing changed", {companion, shell, player}, std::nullopt},
        {"an ordinary application appears", {companion, shell, player, browser}, std::nullopt},
        {"an excluded one leaves", {companion, player}, std::nullopt},
        {"an excluded one appears: all selected, in the listing's order", {chime, player, shell},
         std::vector<pid_t>{14, 12}},
        {"one leaves as another appears: the one gone drops out", {player, chime}, std::vector<pid_t>{14}},
        {"relaunched under a new process id", {player, shellAgain}, std::vector<pid_t>{15}},
        {"nothing listed", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto update = exclusionsToApply(c.listed, excluded, rule);
        ASSERT_EQ(update.has_value(), c.update.has_value()) << c.what;
        if (update) {
            EXPECT_EQ(pids(*update), *c.update) << c.what;
        }
    }
    EXPECT_FALSE(exclusionsToApply({chime}, excluded, nullptr)) << "without a rule nothing is followed";
}

// One filter update the follower asked for, answered when the test says.
struct Update {
    std::vector<pid_t> excluded;
    std::function<void(bool)> done;
};

struct FollowerTest : ::testing::Test {
    // The core sets capture up with these applications listed, and its filter
    // goes to a follower as the backend hands it over.
    void setUp(std::vector<RunningApplication> listed) {
        rig.p.process.pid = kOwnPID;
        rig.runner->start();
        rig.p.capture.answer(audio_tap::contentWithDisplays(1, std::move(listed)));
        ASSERT_EQ(rig.p.capture.streams.size(), 1u);
        const ContentFilter filter = rig.p.capture.streams[0]->filter;
        follower = std::make_shared<ExclusionFollower>(rig.p.capture, queue, kPeriod, filter,
                                                       [this](const ContentFilter& next, std::function<void(bool)> done) {
                                                           EXPECT_EQ(next.display.displayID, 100u);
                                                           EXPECT_TRUE(next.exceptingWindows.empty());
                                                           updates.push_back({pids(next.excludingApplications),
                                                                              std::move(done)});
                                                       });
        follower->start();
    }

    std::size_t listings() const { return rig.p.capture.requests.size() - 1; }  // the set-up's own excepted

    // Lets a period pass and answers the listing it brings.
    void listAfterAPeriod(std::vector<RunningApplication> listed) {
        const std::size_t before = listings();
        queue->advance(kPeriod);
        ASSERT_EQ(listings(), before + 1);
        rig.p.capture.answer(audio_tap::contentWithDisplays(1, std::move(listed)));
        queue->runDue();
    }

    void answerUpdate(bool ok) {
        ASSERT_FALSE(updates.empty());
        updates.back().done(ok);
        queue->runDue();
    }

    audio_tap::Rig rig;
    std::shared_ptr<scripted::ManualQueue> queue = std::make_shared<scripted::ManualQueue>("exclusions");
    std::shared_ptr<ExclusionFollower> follower;
    std::vector<Update> updates;
};

TEST_F(FollowerTest, AnExcludedApplicationStartingLaterIsAddedOnceAndOrdinaryOnesAreLeftAlone) {
    setUp({player, companion, tap});
    queue->advance(kPeriod - 0.1);
    EXPECT_EQ(listings(), 0u) << "the first look comes one period after capture started";

    listAfterAPeriod({player, companion, tap, browser});
    EXPECT_TRUE(updates.empty()) << "an ordinary application appearing";

    listAfterAPeriod({player, companion, tap, browser, shell});
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].excluded, (std::vector<pid_t>{10, kOwnPID, 12}));
    answerUpdate(true);

    listAfterAPeriod({player, companion, tap, browser, shell});
    EXPECT_EQ(updates.size(), 1u) << "the stream's filter already excludes the shell";

    listAfterAPeriod({player, companion, tap, browser});
    EXPECT_EQ(updates.size(), 1u) << "the shell leaving";

    listAfterAPeriod({player, companion, tap, chime});
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1].excluded, (std::vector<pid_t>{10, kOwnPID, 14}));
    EXPECT_TRUE(rig.p.process.standardError().empty());
    EXPECT_TRUE(rig.p.process.exits().empty());
}

TEST_F(FollowerTest, AFailedListingOrUpdateChangesNothingAndTheNextLookTriesAgain) {
    setUp({companion});
    queue->advance(kPeriod);
    rig.p.capture.answer(std::nullopt, Error{-3801, "declined"});
    queue->runDue();
    EXPECT_TRUE(updates.empty());

    listAfterAPeriod({companion, shell});
    ASSERT_EQ(updates.size(), 1u);
    answerUpdate(false);

    listAfterAPeriod({companion, shell});
    ASSERT_EQ(updates.size(), 2u) << "the stream still has its old filter";
    EXPECT_EQ(updates[1].excluded, (std::vector<pid_t>{10, 12}));
    EXPECT_TRUE(rig.p.process.standardError().empty());
    EXPECT_TRUE(rig.p.process.exits().empty());
}

TEST_F(FollowerTest, OneLookAtATime) {
    setUp({companion});
    queue->advance(kPeriod);
    queue->advance(3 * kPeriod);
    EXPECT_EQ(listings(), 1u) << "no new listing while one is unanswered";
    rig.p.capture.answer(audio_tap::contentWithDisplays(1, {companion, shell}));
    queue->runDue();
    ASSERT_EQ(updates.size(), 1u);
    queue->advance(3 * kPeriod);
    EXPECT_EQ(listings(), 1u) << "nor while an update is unanswered";
    answerUpdate(true);
    queue->advance(kPeriod);
    EXPECT_EQ(listings(), 2u);
}

TEST_F(FollowerTest, NothingBeginsOnceStoppedAndLateAnswersChangeNothing) {
    setUp({companion});
    queue->advance(kPeriod);
    follower->stop();
    rig.p.capture.answer(audio_tap::contentWithDisplays(1, {companion, shell}));
    queue->advance(10 * kPeriod);
    EXPECT_TRUE(updates.empty());
    EXPECT_EQ(listings(), 1u);
}

}  // namespace
}  // namespace pimorlo::platform::macos
