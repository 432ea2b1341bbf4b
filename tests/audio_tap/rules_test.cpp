#include "audio_tap/rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace pimorlo::audio_tap {
namespace {

TEST(CheckSwitch, CountsOnlyAnExactWholeArgumentAnywhere) {
    struct Case {
        std::vector<std::string> args;
        bool expected;
    };
    const Case cases[] = {
        {{"tap", "--check"}, true},
        {{"tap", "x", "--check", "y"}, true},
        {{"--check"}, true},  // the program's own name is an argument too
        {{"tap"}, false},
        {{"tap", "--checked"}, false},
        {{"tap", "--Check"}, false},
        {{"tap", "-check"}, false},
        {{"tap", " --check"}, false},
        {{"tap", "--check=1"}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hasCheckSwitch(c.args), c.expected) << ::testing::PrintToString(c.args);
    }
}

platform::RunningApplication app(pid_t pid, std::optional<std::string> bundle, std::optional<std::string> name) {
    return {pid, std::move(bundle), std::move(name), nullptr};
}

TEST(SelfExclusion, SelectsTheTapAndTheCompanionOnly) {
    constexpr pid_t own = 500;
    struct Case {
        platform::RunningApplication app;
        bool excluded;
        const char* why;
    };
    const Case cases[] = {
        {app(own, std::nullopt, std::nullopt), true, "own pid, no names"},
        {app(own, "org.example.player", "Player"), true, "own pid wins over unrelated names"},
        {app(7, "com.pimorlo.companion", "X"), true, "exact prefix"},
        {app(7, "COM.PimOrlo.Companion.helper", "X"), true, "prefix in mixed case"},
        {app(7, "org.vendor.com.pimorlo.companion", "X"), true, "prefix after other labels"},
        {app(7, "com.pimorlo.companio", "X"), false, "prefix cut short"},
        {app(7, "org.example", "Pim Orlo Desktop"), true, "spaced product name"},
        {app(7, "org.example", "PIMORLO"), true, "joined product name in capitals"},
        {app(7, "org.example", "my pimorlo helper"), true, "joined name in the middle"},
        {app(7, "org.example", "Pim-Orlo"), false, "hyphen"},
        {app(7, "org.example", "Pim  Orlo"), false, "two spaces"},
        {app(7, "org.example", "P\xC4\xB0M ORLO"), false, "dotted capital I lowers to i plus a dot"},
        {app(7, std::nullopt, std::nullopt), false, "no names, other pid"},
        {app(7, "", ""), false, "empty names"},
        {app(7, "pim orlo desktop", "Player"), false, "a product name in the bundle identifier does not count"},
    };
    for (const auto& c : cases) EXPECT_EQ(isSelfOrCompanion(c.app, own), c.excluded) << c.why;
}

TEST(SelfExclusion, KeepsTheContentOrder) {
    const std::vector<platform::RunningApplication> apps = {
        app(1, "org.a", "Pim Orlo"), app(2, "org.b", "Other"), app(3, "com.pimorlo.companion.x", "C"),
        app(9, std::nullopt, std::nullopt)};
    const auto excluded = applicationsToExclude(apps, 9);
    ASSERT_EQ(excluded.size(), 3u);
    EXPECT_EQ(excluded[0].processID, 1);
    EXPECT_EQ(excluded[1].processID, 3);
    EXPECT_EQ(excluded[2].processID, 9);
    EXPECT_TRUE(applicationsToExclude({}, 9).empty());
}

TEST(StreamConfiguration, AsksForAudioOnlyAt16kMono) {
    const auto c = audioOnlyStreamConfiguration();
    EXPECT_EQ(c.capturesAudio, true);
    EXPECT_EQ(c.excludesCurrentProcessAudio, true);
    EXPECT_EQ(c.sampleRate, 16000);
    EXPECT_EQ(c.channelCount, 1);
    EXPECT_EQ(c.width, 2u);
    EXPECT_EQ(c.height, 2u);
    ASSERT_TRUE(c.minimumFrameInterval);
    EXPECT_EQ(c.minimumFrameInterval->value, 1);
    EXPECT_EQ(c.minimumFrameInterval->timescale, 1);
    EXPECT_EQ(c.showsCursor, false);
}

TEST(OutputCapacity, RoundsUpTheRateRatioAndAddsAMargin) {
    struct Case {
        double rate;
        std::uint32_t frames;
        std::uint32_t capacity;
    };
    const Case cases[] = {
        {48000, 1024, 406}, {44100, 1024, 436}, {16000, 1024, 1088}, {48000, 960, 384},
        {0, 10, 16000 * 10 + 64}, {0.5, 10, 16000 * 10 + 64}, {-48000, 3, 16000 * 3 + 64},
        {std::nan(""), 2, 16000 * 2 + 64}, {8000, 1, 66},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outputFrameCapacity(c.rate, c.frames), c.capacity) << c.rate << " Hz, " << c.frames << " frames";
    }
}

TEST(OutputCapacity, RefusesWhatDoesNotFitThirtyTwoBits) {
    EXPECT_EQ(outputFrameCapacity(0, std::numeric_limits<std::uint32_t>::max()), std::nullopt);
    EXPECT_EQ(outputFrameCapacity(8000, 0x80000000u), std::nullopt);
    EXPECT_TRUE(outputFrameCapacity(16000, std::numeric_limits<std::uint32_t>::max() - 64).has_value());
}

TEST(FrameCount, TakesOnlyPositiveCountsThatFitSigned32) {
    EXPECT_EQ(usableFrameCount(0), std::nullopt);
    EXPECT_EQ(usableFrameCount(-1), std::nullopt);
    EXPECT_EQ(usableFrameCount(std::int64_t{1} << 31), std::nullopt);
    EXPECT_EQ(usableFrameCount((std::int64_t{1} << 32) + 5), std::nullopt);
    EXPECT_EQ(usableFrameCount(1024), 1024u);
    EXPECT_EQ(usableFrameCount(std::numeric_limits<std::int32_t>::max()), 0x7fffffffu);
}

TEST(Messages, AreTheFixedLinesWithTheirStatuses) {
    const platform::Error denied{-3801, "ignored"};
    const auto m1 = contentRequestFailure(denied);
    EXPECT_EQ(m1.message,
              "ERROR: Screen Recording permission denied (macOS TCC -3801). Grant Screen Recording access in System "
              "Settings -> Privacy & Security.\n");
    EXPECT_EQ(m1.message.size(), 133u);
    EXPECT_EQ(m1.status, 2);

    const platform::Error other{-3802, "cannot connect to PipeWire: Host is down"};
    EXPECT_EQ(contentRequestFailure(other).message,
              "ERROR: ScreenCaptureKit unavailable or permission denied: cannot connect to PipeWire: Host is down\n");
    EXPECT_EQ(contentRequestFailure(other).status, 2);
    EXPECT_EQ(noDisplayFailure().message, "ERROR: No shareable display found for ScreenCaptureKit audio tap.\n");
    EXPECT_EQ(noDisplayFailure().status, 3);
    EXPECT_EQ(attachOutputFailure({1, "d"}).message, "ERROR: Failed to attach audio stream output: d\n");
    EXPECT_EQ(attachOutputFailure({1, "d"}).status, 4);
    EXPECT_EQ(startFailure({1, "d"}).message, "ERROR: Failed to start ScreenCaptureKit audio stream: d\n");
    EXPECT_EQ(startFailure({1, "d"}).status, 5);
    EXPECT_EQ(streamStoppedFailure({1, "two\nlines"}).message, "ERROR: ScreenCaptureKit stream stopped: two\nlines\n");
    EXPECT_EQ(streamStoppedFailure({1, "d"}).status, 6);
}

}  // namespace
}  // namespace pimorlo::audio_tap
