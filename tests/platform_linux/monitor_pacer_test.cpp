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
// What the mix may take beyond what was handed on before it counts as a hole:
// a millisecond, as a pacer that corrects its rate by parts per million
// hands on a frame less now and then.
constexpr std::int64_t kSlack = 48;

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
    // Dry: what it had goes, and once the mix has waited its longest for the
    // rest, nothing is owed.
    const std::size_t left = pacer.waiting();
    std::size_t handed = 0;
    for (int i = 0; i < 60; ++i) handed += pacer.release(now += kTickNs);
    EXPECT_EQ(handed, left);
    EXPECT_EQ(pacer.owed(), 0u);
    // After a pause it fills to its delay again before handing on.
    pacer.arrived(now += static_cast<std::int64_t>(MonitorPacer::kResetSeconds * 2e9), 960);
    EXPECT_EQ(pacer.release(now += kTickNs), 0u);
}

TEST(MonitorPacer, AServerThatStallsAndCatchesUpLeavesNoHole) {
    MonitorPacer pacer(kRate, kDelay);
    std::int64_t now = 0;
    std::int64_t made = 0;
    std::int64_t asked = 0, handed = 0;
    int holes = 0;
    bool inHole = false;
    // Blocks of 20 ms, on time except twice, when the server holds them
    // back for 120 ms and then hands them over at once: the mix waits for
    // them. A hole: the mix has taken more than was handed on.
    for (int tick = 0; tick < 1500; ++tick, now += kTickNs) {
        const bool stalled = (tick >= 300 && tick < 312) || (tick >= 1000 && tick < 1012);
        while (!stalled && made + 20'000'000 <= now) {
            made += 20'000'000;
            pacer.arrived(now, 960);
        }
        const std::size_t n = pacer.release(now);
        if (tick <= 20) continue;
        asked += 480;
        handed += static_cast<std::int64_t>(n);
        const auto owed = static_cast<std::int64_t>(pacer.owed());
        const bool short_ = asked - owed > handed + kSlack;
        if (short_ && !inHole) ++holes;
        inHole = short_;
        if (short_) asked = handed + owed;  // the mix played the hole
    }
    EXPECT_EQ(holes, 0);
    EXPECT_DOUBLE_EQ(pacer.delay(), kDelay);
    EXPECT_EQ(pacer.owed(), 0u);
}

// The tap's loop and the server's main thread, a millisecond at a time: the
// server sends a 10 ms block every 10 ms, the tap reads what was sent and
// ticks every 10 ms. Either may stall: a stalled server sends nothing until
// it resumes, then all it held at once or only what it plays from then on
// (its sink was held back too); a stalled tap neither reads nor
// ticks, and when it resumes its late tick runs before it reads the socket,
// as the loop runs its timers before its input. The mix takes the time each
// tick asks for, less what the pacer says is owed; a hole is a tick after
// which the mix has taken more than the pacer handed on.
struct StallCase {
    const char* what;
    int tapStallMs;
    int serverStallMs;  // beginning with the tap's
    bool backlog;       // the server sends what it held back, or plays on from now
    bool hole;
    bool delayGrows;
    bool stillOwed;     // the mix stays late by the stall less the delay
};

TEST(MonitorPacer, TheMixWaitsForAStreamThatRunsShortAndOnlyALongerStallIsAHole) {
    const StallCase cases[] = {
        {"tap 30 ms late: the delay covers it", 30, 0, true, false, false, false},
        {"tap 120 ms late, the server's blocks unread in the socket", 120, 0, true, false, false, false},
        {"tap 260 ms late: longer than a pause, yet no pause", 260, 0, true, false, false, false},
        {"server 120 ms late, then all it held", 0, 120, true, false, false, false},
        {"server 120 ms late, then on at its rate", 0, 120, false, false, false, true},
        {"server longer late than the mix waits: a pause", 0, 400, true, true, false, false},
        {"both late, the server longer than the mix waits", 120, 400, true, true, false, false},
    };
    for (const auto& c : cases) {
        MonitorPacer pacer(kRate, kDelay);
        constexpr int kStallAtMs = 2000;
        std::int64_t nextTickMs = 0;
        std::int64_t sentMs = 0;
        std::int64_t asked = 0, handed = 0;
        bool filled = false;
        int holes = 0;
        bool inHole = false;
        std::int64_t lastTickMs = 0;
        for (std::int64_t t = 0; t < 4000; ++t) {
            const bool tapStalled = t >= kStallAtMs && t < kStallAtMs + c.tapStallMs;
            const bool serverStalled = t >= kStallAtMs && t < kStallAtMs + c.serverStallMs;
            if (tapStalled) continue;
            const std::int64_t nowNs = t * 1'000'000;
            if (t >= nextTickMs) {
                const std::size_t n = pacer.release(nowNs);
                if (filled) {
                    asked += static_cast<std::int64_t>(std::llround(kRate * static_cast<double>(t - lastTickMs) / 1e3));
                    handed += static_cast<std::int64_t>(n);
                    const auto owed = static_cast<std::int64_t>(pacer.owed());
                    const bool short_ = asked - owed > handed + kSlack;
                    if (short_ && !inHole) ++holes;
                    inHole = short_;
                    if (short_) asked = handed + owed;  // the mix played the hole
                } else if (n > 0) {
                    filled = true;
                }
                lastTickMs = t;
                nextTickMs = std::max(nextTickMs + 10, t + 5);
            }
            // What the server sent by now, read.
            if (!c.backlog && serverStalled) sentMs = t;
            while (!serverStalled && sentMs + 10 <= t) {
                sentMs += 10;
                pacer.arrived(nowNs, 480);
            }
        }
        EXPECT_EQ(holes, c.hole ? 1 : 0) << c.what;
        if (c.delayGrows) {
            EXPECT_GT(pacer.delay(), kDelay + 0.05) << c.what;
        } else {
            EXPECT_DOUBLE_EQ(pacer.delay(), kDelay) << c.what;
        }
        if (c.stillOwed) {
            EXPECT_NEAR(static_cast<double>(pacer.owed()) / kRate, (c.serverStallMs - 1e3 * kDelay) / 1e3, 0.03)
                << c.what;
        } else {
            EXPECT_EQ(pacer.owed(), 0u) << c.what;
        }
    }
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
