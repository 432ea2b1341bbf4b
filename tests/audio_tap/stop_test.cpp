// The orderly stop and the exit gate. These run on several threads at once
// and are also built with ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/audio_tap/runner_fixture.h"

namespace pimorlo::audio_tap {
namespace {

TEST_F(RunnerTest, StopWithoutAStreamExitsAtOnce) {
    runner->start();  // the content request is still pending
    runner->stopAndExit(0);
    EXPECT_EQ(p.process.exits(), std::vector<int>{0});
    EXPECT_EQ(p.process.main.pending(), 0u);
}

TEST_F(RunnerTest, StopEndsWhenTheStreamReportsItsStop) {
    auto stream = capture();
    runner->stopAndExit(0);
    EXPECT_EQ(stream->stopCalls, 1);
    EXPECT_TRUE(p.process.exits().empty());
    EXPECT_EQ(p.process.main.delaysPosted(), std::vector<double>{0.5});

    stream->completeStop(platform::Error{1, "failed to stop"});  // an error changes nothing
    EXPECT_EQ(p.process.exits(), std::vector<int>{0});
    p.process.main.advance(1.0);
    EXPECT_EQ(p.process.exits(), std::vector<int>{0});
}

TEST_F(RunnerTest, StopEndsHalfASecondLaterWhenTheStreamNeverAnswers) {
    auto stream = capture();
    runner->stopAndExit(7);
    p.process.main.advance(0.49);
    EXPECT_TRUE(p.process.exits().empty());
    p.process.main.advance(0.01);
    EXPECT_EQ(p.process.exits(), std::vector<int>{7});
    stream->completeStop();  // late answer: the process already ended once
    EXPECT_EQ(p.process.exits(), std::vector<int>{7});
}

TEST_F(RunnerTest, LaterStopRequestsChangeNothing) {
    auto stream = capture();
    runner->stopAndExit(0);
    runner->stopAndExit(3);  // a second signal, or a closed pipe, during the stop
    EXPECT_EQ(stream->stopCalls, 1);
    EXPECT_EQ(p.process.main.delaysPosted().size(), 1u);
    p.process.main.advance(0.5);
    EXPECT_EQ(p.process.exits(), std::vector<int>{0});
}

TEST_F(RunnerTest, WriteFailureDuringAStopLeavesItsStatus) {
    auto stream = capture();
    p.process.scriptWrites({scripted::WriteStep::fail(EPIPE)});
    deliver();  // the failed write posts its stop to the main queue...
    runner->stopAndExit(9);  // ...but a stop for another reason runs first
    p.process.main.runDue();
    EXPECT_EQ(stream->stopCalls, 1);
    stream->completeStop();
    p.process.main.advance(1);
    EXPECT_EQ(p.process.exits(), std::vector<int>{9});
    EXPECT_TRUE(p.process.standardError().empty());
}

TEST_F(RunnerTest, CompletionAndDeadlineRacingEndTheProcessOnce) {
    for (int round = 0; round < 50; ++round) {
        Rig rig;
        auto stream = rig.capture();
        rig.runner->stopAndExit(0);

        std::thread completion([&] { stream->completeStop(); });
        std::thread deadline([&] { rig.p.process.main.advance(0.5); });
        completion.join();
        deadline.join();
        ASSERT_EQ(rig.p.process.exits(), std::vector<int>{0}) << "round " << round;
    }
}

TEST_F(RunnerTest, StopRacingTheSetUpEitherExitsAtOnceOrStopsTheStream) {
    for (int round = 0; round < 50; ++round) {
        Rig rig;
        rig.runner->start();
        std::thread setUp([&] { rig.p.capture.answer(contentWithDisplays(1)); });
        rig.runner->stopAndExit(0);
        setUp.join();
        auto stream = rig.p.capture.streams.at(0);
        stream->completeStart();
        const bool stoppedTheStream = stream->stopCalls == 1;
        const bool exitedAtOnce = rig.p.process.exits() == std::vector<int>{0};
        EXPECT_NE(stoppedTheStream, exitedAtOnce) << "round " << round;
    }
}

// A set-up failure and a stop both end the process; whichever claims the end
// first decides it all: either the failure's line with its status, or status 0
// and nothing on standard error.
void expectOneOutcome(const scripted::ScriptedProcess& process, const std::string& round) {
    const auto exits = process.exits();
    ASSERT_EQ(exits.size(), 1u) << round;
    if (exits[0] == 0) {
        EXPECT_EQ(process.standardError(), "") << round;
    } else {
        EXPECT_EQ(exits[0], 2) << round;
        EXPECT_EQ(process.standardError(), "ERROR: ScreenCaptureKit unavailable or permission denied: gone\n") << round;
    }
}

TEST_F(RunnerTest, AStopArrivingWhileTheFailureIsWrittenLeavesTheFailure) {
    runner->start();
    p.process.onStandardError = [&] {
        // The signal's stop, on the main thread, while the line is on its way.
        std::thread stop([&] { runner->stopAndExit(0); });
        stop.join();
    };
    p.capture.answer(std::nullopt, platform::Error{1, "gone"});
    expectOneOutcome(p.process, "");
    EXPECT_EQ(p.process.exits(), std::vector<int>{2});
}

TEST_F(RunnerTest, AFailureRacingAStopHasOneOutcome) {
    for (int round = 0; round < 200; ++round) {
        Rig rig;
        rig.runner->start();
        std::atomic<bool> go{false};
        std::thread failure([&] {
            while (!go.load()) {
            }
            rig.p.capture.answer(std::nullopt, platform::Error{1, "gone"});
        });
        go = true;
        rig.runner->stopAndExit(0);
        failure.join();
        expectOneOutcome(rig.p.process, "round " + std::to_string(round));
    }
}

TEST_F(RunnerTest, BuffersHandledOnTheAudioThreadStopOnceTheStopBegan) {
    auto stream = capture();
    std::atomic<bool> stopBegan{false};
    std::atomic<int> writesAfterStop{0};
    std::thread audio([&] {
        for (int i = 0; i < 200; ++i) {
            const bool before = stopBegan.load();
            const auto writesBefore = p.process.writes().size();
            deliver();
            if (before && p.process.writes().size() != writesBefore) ++writesAfterStop;
        }
    });
    runner->stopAndExit(0);
    stopBegan = true;
    audio.join();
    EXPECT_EQ(writesAfterStop.load(), 0);
}

TEST(ExitGate, ManyCallersAtOnceEndTheProcessOnceWithTheFirstStatus) {
    scripted::ScriptedProcess process;
    ExitGate gate(process);
    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    for (int status = 0; status < 8; ++status) {
        callers.emplace_back([&, status] {
            while (!go.load()) {
            }
            gate.exit(status);
        });
    }
    go = true;
    for (auto& t : callers) t.join();
    ASSERT_EQ(process.exits().size(), 1u);
    gate.exit(42);
    EXPECT_EQ(process.exits().size(), 1u);
}

}  // namespace
}  // namespace pimorlo::audio_tap
