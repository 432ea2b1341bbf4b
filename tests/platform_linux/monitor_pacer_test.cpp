// How a monitor stream's bursty blocks reach the mix: evenly, on the tap's
// ticks, none lost.
#include "platform/linux/pulse/monitor_pacer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace pimorlo::platform::linux_backend {
namespace {

constexpr double kRate = 48000;
constexpr double kDelay = 0.05;
constexpr std::int64_t kTickNs = 10'000'000;

// A sink that renders blocks of `block` frames at `rate` (its own clock),
// delivered `late` to `late + jitter` seconds after they were made, two at
// once now and then; and the tap's ticks every 10 ms. Returns what each
// tick handed on.
struct SinkRun {
    double rate = kRate;
    std::uint32_t block = 960;
    double jitter = 0.008;
    double seconds = 60;
    std::vector<std::size_t> released;
    std::size_t arrived = 0;
    std::size_t handedOn = 0;
    std::size_t maxWaiting = 0;

    void play(MonitorPacer& pacer, std::int64_t startNs = 0, unsigned seed = 1) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> late(0, jitter);
        double made = static_cast<double>(startNs);
        std::vector<std::int64_t> pending;
        for (std::int64_t now = startNs; now < startNs + static_cast<std::int64_t>(seconds * 1e9); now += kTickNs) {
            while (made + block * 1e9 / rate <= static_cast<double>(now + kTickNs)) {
                made += block * 1e9 / rate;
                const auto at = static_cast<std::int64_t>(made + late(random) * 1e9);
                pending.push_back(std::max(at, pending.empty() ? at : pending.back()));
            }
            while (!pending.empty() && pending.front() <= now) {
                pacer.arrived(pending.front(), block);
                arrived += block;
                pending.erase(pending.begin());
            }
            const std::size_t n = pacer.release(now);
            released.push_back(n);
            handedOn += n;
            maxWaiting = std::max(maxWaiting, pacer.waiting());
        }
    }
};

TEST(MonitorPacer, HandsBurstyBlocksOnEvenlyAtTheNominalRateLosingNothing) {
    MonitorPacer pacer(kRate, kDelay);
    SinkRun run;
    run.play(pacer);
    EXPECT_EQ(run.handedOn + pacer.waiting(), run.arrived);
    // After the first fill: 480 frames a tick, every tick, whatever the
    // blocks did: the mix sees a producer on its own clock.
    std::size_t first = 0;
    while (run.released[first] == 0) ++first;
    for (std::size_t i = first + 1; i < run.released.size(); ++i)
        ASSERT_EQ(run.released[i], 480u) << "tick " << i;
    EXPECT_LT(run.maxWaiting, static_cast<std::size_t>((kDelay + 0.03) * kRate));
}

TEST(MonitorPacer, FollowsASinkWhoseClockIsOffWithoutLettingItsBufferRunAway) {
    for (double ppm : {-300.0, 300.0}) {
        MonitorPacer pacer(kRate, kDelay);
        SinkRun run;
        run.rate = kRate * (1 + ppm * 1e-6);
        run.seconds = 600;
        run.play(pacer);
        EXPECT_EQ(run.handedOn + pacer.waiting(), run.arrived) << ppm;
        // Over the last minute it hands on at the sink's rate, within 20 ppm.
        double last = 0;
        for (std::size_t i = run.released.size() - 6000; i < run.released.size(); ++i) last += run.released[i];
        EXPECT_NEAR(last / 60.0, run.rate, kRate * 20e-6) << ppm;
        EXPECT_NEAR(pacer.rate(), run.rate, kRate * 50e-6) << ppm;
        // Its buffer stays within the delay's reach: no hole, no growth.
        EXPECT_GT(pacer.waiting(), static_cast<std::size_t>(0.01 * kRate)) << ppm;
        EXPECT_LT(run.maxWaiting, static_cast<std::size_t>((kDelay + 0.05) * kRate)) << ppm;
    }
}

TEST(MonitorPacer, StartsAfreshAfterAPauseAndHandsOnAnExcessAtOnce) {
    MonitorPacer pacer(kRate, kDelay);
    std::int64_t now = 0;
    pacer.arrived(now, 960);
    EXPECT_EQ(pacer.release(now), 0u) << "filling to its delay";
    pacer.arrived(now, 2400);
    EXPECT_EQ(pacer.release(now += kTickNs), 960u) << "what came beyond the delay goes at once";
    EXPECT_EQ(pacer.waiting(), 2400u);
    EXPECT_EQ(pacer.release(now += kTickNs), 480u);
    // A stall of the server's delivery, then a second of it at once: what is
    // beyond the delay and its margin goes now, the rest at the rate.
    pacer.arrived(now += 5 * kTickNs, 48000);
    const std::size_t burst = pacer.release(now);
    EXPECT_GE(pacer.waiting(), static_cast<std::size_t>(kDelay * kRate));
    EXPECT_LE(pacer.waiting(), static_cast<std::size_t>((kDelay + MonitorPacer::kMaxExcessSeconds) * kRate) + 1);
    EXPECT_GT(burst, 40000u);
    // Dry: what it had goes, nothing is owed.
    const std::size_t left = pacer.waiting();
    std::size_t handed = 0;
    for (int i = 0; i < 30; ++i) handed += pacer.release(now += kTickNs);
    EXPECT_EQ(handed, left);
    // After a pause it fills to its delay again before handing on.
    pacer.arrived(now += static_cast<std::int64_t>(MonitorPacer::kResetSeconds * 2e9), 960);
    EXPECT_EQ(pacer.release(now += kTickNs), 0u);
}

TEST(MonitorPacer, AServerThatStallsLeavesOneHoleAndTheDelayCoversTheNext) {
    MonitorPacer pacer(kRate, kDelay);
    std::int64_t now = 0;
    std::int64_t made = 0;
    int holes = 0;
    bool inHole = false;
    // Blocks of 20 ms, on time except twice, when the server holds them
    // back for 120 ms and then hands them over at once.
    for (int tick = 0; tick < 1000; ++tick, now += kTickNs) {
        const bool stalled = (tick >= 300 && tick < 312) || (tick >= 700 && tick < 712);
        while (!stalled && made + 20'000'000 <= now) {
            made += 20'000'000;
            pacer.arrived(now, 960);
        }
        const std::size_t n = pacer.release(now);
        const bool short_ = tick > 20 && n < 470;
        if (short_ && !inHole) ++holes;
        inHole = short_;
    }
    EXPECT_EQ(holes, 1);
    EXPECT_GE(pacer.delay(), 0.12);
    EXPECT_LE(pacer.delay(), MonitorPacer::kMaxDelaySeconds);
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
