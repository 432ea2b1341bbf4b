#include <gtest/gtest.h>

#include <cerrno>

#include "tests/audio_tap/runner_fixture.h"

namespace pimorlo::audio_tap {
namespace {

using scripted::WriteStep;

// Each buffer converts to 5 frames: one 10-byte block.
class OutputTest : public RunnerTest {
protected:
    void SetUp() override { stream = capture(); }
    void deliverBlock() {
        p.audio.conversions.push_back({.frames = 5});
        deliver();
    }
    std::vector<unsigned char> expectedBlock(int converterId = 1) {
        std::vector<unsigned char> bytes;
        for (int i = 0; i < 5; ++i) {
            const int v = converterId * 1000 + i;
            bytes.push_back(static_cast<unsigned char>(v & 0xff));
            bytes.push_back(static_cast<unsigned char>(v >> 8));
        }
        return bytes;
    }
    std::shared_ptr<scripted::ScriptedStream> stream;
};

TEST_F(OutputTest, PartialWritesContinueWhereTheyStopped) {
    p.process.scriptWrites({WriteStep::take(3)});
    deliverBlock();
    const auto writes = p.process.writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].count, 10u);
    EXPECT_EQ(writes[1].count, 7u);
    const auto block = expectedBlock();
    EXPECT_EQ(writes[1].bytes, std::vector<unsigned char>(block.begin() + 3, block.end()));
    EXPECT_EQ(p.process.standardOutput(), block);
}

TEST_F(OutputTest, OddPartialCountsAndInterruptionsLoseAndRepeatNothing) {
    p.process.scriptWrites({WriteStep::fail(EINTR), WriteStep::take(1), WriteStep::fail(EINTR),
                            WriteStep::fail(EINTR), WriteStep::take(4)});
    deliverBlock();
    deliverBlock();
    std::vector<std::size_t> counts;
    for (const auto& w : p.process.writes()) counts.push_back(w.count);
    EXPECT_EQ(counts, (std::vector<std::size_t>{10, 10, 9, 9, 9, 5, 10}));
    auto expected = expectedBlock();
    const auto second = expectedBlock();
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(p.process.standardOutput(), expected);
    EXPECT_TRUE(p.process.exits().empty());
}

TEST_F(OutputTest, AFailedWriteEndsTheStreamQuietlyWithStatusZero) {
    const WriteStep failures[] = {WriteStep::zero(), WriteStep::fail(EPIPE), WriteStep::fail(EAGAIN),
                                  WriteStep::fail(EBADF), WriteStep::fail(EIO)};
    for (const auto& failure : failures) {
        Rig rig;
        auto s = rig.capture();
        rig.p.process.scriptWrites({WriteStep::take(4), failure});
        rig.p.audio.conversions.push_back({.frames = 5});
        rig.deliver();
        const std::string what = "write result " + std::to_string(failure.bytes.value_or(0)) + " errno " +
                                 std::to_string(failure.error);
        EXPECT_EQ(rig.p.process.writes().size(), 2u) << what << ": never retried";
        EXPECT_EQ(rig.p.process.standardOutput().size(), 4u) << what;

        // Later buffers are dropped before conversion.
        rig.deliver();
        EXPECT_EQ(rig.p.process.writes().size(), 2u) << what;
        EXPECT_EQ(rig.p.audio.conversionsDone.size(), 1u) << what;

        // Exactly one stop was posted, and it is the ordinary one.
        EXPECT_EQ(rig.p.process.main.pending(), 1u) << what;
        rig.p.process.main.runDue();
        EXPECT_EQ(s->stopCalls, 1) << what;
        s->completeStop();
        EXPECT_EQ(rig.p.process.exits(), std::vector<int>{0}) << what;
        EXPECT_TRUE(rig.p.process.standardError().empty()) << what;
    }
}

TEST_F(OutputTest, TheStopPostedByAFailedWriteIsHarmlessOnceTheRunnerIsGone) {
    p.process.scriptWrites({WriteStep::fail(EPIPE)});
    deliverBlock();
    stream->completeStart();
    runner.reset();
    EXPECT_EQ(p.process.main.runDue(), 1);
    EXPECT_TRUE(p.process.exits().empty());
}

}  // namespace
}  // namespace pimorlo::audio_tap
