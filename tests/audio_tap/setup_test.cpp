#include <gtest/gtest.h>

#include "tests/audio_tap/runner_fixture.h"

namespace pimorlo::audio_tap {
namespace {

using platform::Error;
using platform::ShareableContent;

TEST_F(RunnerTest, StartAsksOnceForAllContentAndWaits) {
    runner->start();
    ASSERT_EQ(p.capture.requests.size(), 1u);
    EXPECT_FALSE(p.capture.requests[0].excludingDesktopWindows);
    EXPECT_FALSE(p.capture.requests[0].onScreenWindowsOnly);
    EXPECT_TRUE(p.capture.streams.empty());
    EXPECT_TRUE(p.process.exits().empty());
}

TEST_F(RunnerTest, EachContentFailureWritesItsLineAndExits) {
    struct Case {
        const char* what;
        std::optional<ShareableContent> content;
        std::optional<Error> error;
        std::string message;
        int status;
    };
    const std::string m1 =
        "ERROR: Screen Recording permission denied (macOS TCC -3801). Grant Screen Recording access in System "
        "Settings -> Privacy & Security.\n";
    const std::string m3 = "ERROR: No shareable display found for ScreenCaptureKit audio tap.\n";
    const Case cases[] = {
        {"denied, any domain", std::nullopt, Error{-3801, "whatever"}, m1, 2},
        {"other code", std::nullopt, Error{-3802, "no daemon"},
         "ERROR: ScreenCaptureKit unavailable or permission denied: no daemon\n", 2},
        {"content and error together: the error wins", contentWithDisplays(1), Error{5, "both"},
         "ERROR: ScreenCaptureKit unavailable or permission denied: both\n", 2},
        {"denied with content", contentWithDisplays(2), Error{-3801, "x"}, m1, 2},
        {"neither content nor error", std::nullopt, std::nullopt, m3, 3},
        {"no display", contentWithDisplays(0), std::nullopt, m3, 3},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.runner->start();
        rig.p.capture.answer(c.content, c.error);
        EXPECT_EQ(rig.p.process.standardError(), c.message) << c.what;
        EXPECT_EQ(rig.p.process.exits(), std::vector<int>{c.status}) << c.what;
        EXPECT_TRUE(rig.p.capture.streams.empty()) << c.what;
        EXPECT_TRUE(rig.p.process.standardOutput().empty()) << c.what;
    }
}

TEST_F(RunnerTest, FilterTakesTheFirstDisplayAndExcludesSelfAndCompanionInOrder) {
    p.process.pid = 77;
    runner->start();
    p.capture.answer(contentWithDisplays(3, {
                                                {10, "org.example.player", "Player", nullptr},
                                                {11, "com.pimorlo.companion.desktop", "Desktop", nullptr},
                                                {77, std::nullopt, std::nullopt, nullptr},
                                                {12, "org.example.other", "Pim Orlo Desktop", nullptr},
                                            }));
    ASSERT_EQ(p.capture.streams.size(), 1u);
    const auto& stream = *p.capture.streams[0];
    EXPECT_EQ(stream.filter.display.displayID, 100u);
    std::vector<pid_t> excluded;
    for (const auto& a : stream.filter.excludingApplications) excluded.push_back(a.processID);
    EXPECT_EQ(excluded, (std::vector<pid_t>{11, 77, 12}));
    EXPECT_TRUE(stream.filter.exceptingWindows.empty());
    EXPECT_EQ(stream.configuration.sampleRate, 16000);
    EXPECT_EQ(stream.configuration.channelCount, 1);
    EXPECT_EQ(stream.delegate.lock(), runner);

    ASSERT_EQ(stream.outputs.size(), 1u);
    EXPECT_EQ(stream.outputs[0].type, platform::StreamOutputType::audio);
    EXPECT_EQ(stream.outputs[0].output.lock(), runner);
    EXPECT_EQ(stream.outputs[0].queue->label(), "com.pimorlo.companion.pimorlo.audiotap");
    EXPECT_EQ(stream.startCalls, 1);
    EXPECT_TRUE(p.process.standardError().empty());
    EXPECT_TRUE(p.process.exits().empty());
}

// Applications that appear after the content was listed are judged by the
// same rule as the listed ones.
TEST_F(RunnerTest, FilterCarriesTheSelfExclusionRuleForLaterApplications) {
    p.process.pid = 77;
    runner->start();
    p.capture.answer(contentWithDisplays(1));
    ASSERT_EQ(p.capture.streams.size(), 1u);
    const auto& rule = p.capture.streams[0]->filter.excludesApplication;
    ASSERT_TRUE(rule);
    struct Case {
        platform::RunningApplication application;
        bool excluded;
    };
    const Case cases[] = {
        {{77, std::nullopt, std::nullopt, nullptr}, true},
        {{78, "COM.PIMORLO.COMPANION.chime", std::nullopt, nullptr}, true},
        {{79, std::nullopt, "pimorlo-desktop", nullptr}, true},
        {{80, "org.example.player", "Pim Orlo Desktop", nullptr}, true},
        {{81, "org.example.player", "Pim-Orlo", nullptr}, false},
        {{0, std::nullopt, std::nullopt, nullptr}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rule(c.application), c.excluded) << c.application.processID;
    }
}

TEST_F(RunnerTest, CaptureStartsWithNothingExcluded) {
    runner->start();
    p.capture.answer(contentWithDisplays(1, {{10, "org.example", "Player", nullptr}}));
    ASSERT_EQ(p.capture.streams.size(), 1u);
    EXPECT_TRUE(p.capture.streams[0]->filter.excludingApplications.empty());
    p.capture.streams[0]->completeStart();
    EXPECT_TRUE(p.process.exits().empty());
    EXPECT_TRUE(p.process.standardError().empty());
}

TEST_F(RunnerTest, FailedAttachExitsWithFourAndLeavesNoStream) {
    p.capture.attachError = Error{-3805, "attach refused"};
    runner->start();
    p.capture.answer(contentWithDisplays(1));
    EXPECT_EQ(p.process.standardError(), "ERROR: Failed to attach audio stream output: attach refused\n");
    EXPECT_EQ(p.process.exits(), std::vector<int>{4});
    EXPECT_EQ(p.capture.streams[0]->startCalls, 0);

    // With no stream stored, a stop has nothing to stop.
    runner->stopAndExit(0);
    EXPECT_EQ(p.capture.streams[0]->stopCalls, 0);
}

TEST_F(RunnerTest, FailedStartExitsWithFiveAndKeepsTheStream) {
    runner->start();
    p.capture.answer(contentWithDisplays(1));
    auto stream = p.capture.streams[0];
    stream->completeStart(Error{-3812, "start refused"});
    EXPECT_EQ(p.process.standardError(), "ERROR: Failed to start ScreenCaptureKit audio stream: start refused\n");
    EXPECT_EQ(p.process.exits(), std::vector<int>{5});

    runner->stopAndExit(0);
    EXPECT_EQ(stream->stopCalls, 1);
}

TEST_F(RunnerTest, StopReportIsFatalOnlyBeforeOurOwnStop) {
    auto stream = capture();
    stream->reportStop(Error{-3817, "daemon gone"});
    EXPECT_EQ(p.process.standardError(), "ERROR: ScreenCaptureKit stream stopped: daemon gone\n");
    EXPECT_EQ(p.process.exits(), std::vector<int>{6});
    EXPECT_EQ(stream->stopCalls, 0);
}

TEST_F(RunnerTest, StopReportAfterOurOwnStopIsSilent) {
    auto stream = capture();
    runner->stopAndExit(0);
    stream->reportStop(Error{-3817, "stopped"});
    EXPECT_TRUE(p.process.standardError().empty());
    EXPECT_TRUE(p.process.exits().empty());
    stream->completeStop();
    EXPECT_EQ(p.process.exits(), std::vector<int>{0});
}

TEST_F(RunnerTest, ContentArrivingAfterTheRunnerIsGoneDoesNothing) {
    runner->start();
    runner.reset();
    p.capture.answer(contentWithDisplays(1));
    EXPECT_TRUE(p.capture.streams.empty());
    EXPECT_TRUE(p.process.exits().empty());
}

}  // namespace
}  // namespace pimorlo::audio_tap
