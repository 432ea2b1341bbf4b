#include "audio_tap/entry.h"

#include <gtest/gtest.h>

#include <csignal>

#include "tests/audio_tap/runner_fixture.h"

namespace pimorlo::audio_tap {
namespace {

struct EntryRun {
    explicit EntryRun(std::vector<std::string> argv) { p.process.argv = std::move(argv); }
    ~EntryRun() {
        for (auto& stream : p.capture.streams) stream->completeStart();
    }
    int run() { return runAudioTapEntry({p.process, p.capture, p.audio}, globals, gate); }

    scripted::ScriptedPlatform p;
    Globals globals;
    ExitGate gate{p.process};
};

TEST(Entry, CheckSwitchExitsBeforeAnythingIsMade) {
    for (const auto& argv : std::vector<std::vector<std::string>>{
             {"tap", "--check"}, {"--check"}, {"tap", "a", "--check", "b"}}) {
        EntryRun e(argv);
        e.run();
        EXPECT_EQ(e.p.process.log(), (std::vector<std::string>{"signal-ignore 13", "exit 0"}))
            << ::testing::PrintToString(argv);
        EXPECT_TRUE(e.p.capture.requests.empty());
        EXPECT_EQ(e.globals.runner, nullptr);
        EXPECT_TRUE(e.p.process.standardOutput().empty());
        EXPECT_TRUE(e.p.process.standardError().empty());
    }
}

TEST(Entry, RunsNormallyWithNearMissesOfTheSwitch) {
    for (const auto& argv : std::vector<std::vector<std::string>>{
             {"tap"}, {"tap", "--checkx"}, {"tap", "--CHECK"}, {"tap", "-check"}}) {
        EntryRun e(argv);
        EXPECT_EQ(e.run(), 0);
        EXPECT_EQ(e.p.capture.requests.size(), 1u) << ::testing::PrintToString(argv);
        EXPECT_TRUE(e.p.process.exits().empty());
    }
}

TEST(Entry, SetsUpInOrderAndAsksForContentBeforeTheLoopRuns) {
    EntryRun e({"tap"});
    std::size_t requestsWhenLooping = 99;
    e.p.process.onRunMainLoop = [&] { requestsWhenLooping = e.p.capture.requests.size(); };
    e.run();
    EXPECT_EQ(e.p.process.log(), (std::vector<std::string>{
                                     "signal-ignore 13",
                                     "serial-queue com.pimorlo.companion.pimorlo.audiotap",
                                     "signal-ignore 15",
                                     "signal-ignore 2",
                                     "signal-source 15",
                                     "signal-handler 15",
                                     "signal-resume 15",
                                     "signal-source 2",
                                     "signal-handler 2",
                                     "signal-resume 2",
                                     "run-main-loop",
                                 }));
    EXPECT_EQ(requestsWhenLooping, 1u);
    ASSERT_NE(e.globals.termSource, nullptr);
    ASSERT_NE(e.globals.intSource, nullptr);
}

TEST(Entry, RefusedOutputFormatAbortsTheProcess) {
    EXPECT_DEATH(
        {
            EntryRun e({"tap"});
            e.p.audio.refuseFormats = true;
            e.run();
        },
        "");
}

TEST(Entry, TermAndIntStopInOrderWithStatusZero) {
    for (int signo : {SIGTERM, SIGINT}) {
        EntryRun e({"tap"});
        e.run();
        e.p.capture.answer(contentWithDisplays(1));
        auto stream = e.p.capture.streams.at(0);
        stream->completeStart();

        e.p.process.deliver(signo);
        e.p.process.main.runDue();
        EXPECT_EQ(stream->stopCalls, 1) << signo;
        e.p.process.deliver(SIGTERM);  // a second signal during the stop
        e.p.process.deliver(SIGINT);
        e.p.process.main.runDue();
        EXPECT_EQ(stream->stopCalls, 1) << signo;

        e.p.process.main.advance(0.5);
        EXPECT_EQ(e.p.process.exits(), std::vector<int>{0}) << signo;
        EXPECT_TRUE(e.p.process.standardError().empty());
    }
}

TEST(Entry, SignalWhileTheContentRequestIsPendingExitsAtOnce) {
    EntryRun e({"tap"});
    e.run();
    e.p.process.deliver(SIGTERM);
    e.p.process.main.runDue();
    EXPECT_EQ(e.p.process.exits(), std::vector<int>{0});
}

}  // namespace
}  // namespace pimorlo::audio_tap
