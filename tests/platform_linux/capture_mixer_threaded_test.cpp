// What the mixer hands between threads without a lock: channel weights from
// the control thread to the real-time thread, and a source's frames and the
// cycles its node lost from a pushing thread to the mixing one. Also run
// under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/linux/capture/mixer.h"

namespace pimorlo::platform::linux_backend {
namespace {

TEST(MixerThreads, WeightsChangingDuringPushesArriveWhole) {
    std::int64_t now = 0;  // the real-time thread's own clock
    MixerConfig config;
    config.clock = [&now] { return now; };
    Mixer mixer(config);
    auto source = mixer.makeSource();
    ASSERT_TRUE(mixer.attach(*source));
    // Every port carries 1; the two layouts give 3 and 6, anything else is
    // half of one and half of the other.
    const std::vector<float> low = {1, 1, 1}, high = {2, 2, 2};
    mixer.setWeights(*source, low);

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread realtime([&] {
        const std::vector<float> ones(64, 1.0f);
        const float* planes[] = {ones.data(), ones.data(), ones.data()};
        std::vector<float> out(64);
        while (!done.load()) {
            mixer.push(*source, planes, 3, 64);
            now += 64 * 1000000000LL / 48000;
            mixer.mix(out.data(), 64);
            for (float v : out) {
                if (v != 0.0f && v != 3.0f && v != 6.0f) ++torn;
            }
        }
    });
    for (int i = 0; i < 20000; ++i) mixer.setWeights(*source, i % 2 ? low : high);
    done = true;
    realtime.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST(MixerThreads, LostCyclesMarkedOnOneThreadAreSilenceOnTheOther) {
    // A producer on the mix's driver pushing on its own thread, a cycle
    // ahead of the mix: now and then its node loses a cycle, or runs late and
    // delivers two buffers in the next one.
    constexpr std::uint32_t kCycle = 256;
    constexpr std::int64_t kCycleNs = kCycle * 1000000000LL / 48000;
    constexpr int kCycles = 4000;
    Mixer mixer;
    auto source = mixer.makeSource();
    mixer.setWeights(*source, {1.0f});
    ASSERT_TRUE(mixer.attach(*source));
    auto marker = [](std::uint64_t k) { return static_cast<float>(k % 997 + 1) / 1024.0f; };

    // The producer runs up to two cycles ahead of the mix, so a push and a
    // mix run at the same time.
    std::atomic<int> pushedUpTo{-1}, mixedUpTo{-1};
    std::uint64_t lost = 0;
    std::thread producer([&] {
        std::vector<float> plane(2 * kCycle);
        std::uint64_t produced = 0;
        bool late = false;
        for (int c = 0; c < kCycles; ++c) {
            while (mixedUpTo.load(std::memory_order_acquire) < c - 2) std::this_thread::yield();
            const bool loses = c % 97 == 50, runsLate = c % 89 == 60;
            if (loses) {
                produced += kCycle;
                lost += kCycle;
            } else if (runsLate) {
                late = true;
            } else {
                const std::uint32_t n = late ? 2 * kCycle : kCycle;
                for (std::uint32_t i = 0; i < n; ++i) plane[i] = marker(produced + i);
                for (std::uint32_t part = 0; part < n; part += kCycle) {
                    const float* planes[] = {plane.data() + part};
                    mixer.push(*source, planes, 1, kCycle, c * kCycleNs, 1);
                }
                produced += n;
                late = false;
            }
            pushedUpTo.store(c, std::memory_order_release);
        }
    });
    std::vector<float> output, out(kCycle);
    for (int c = 0; c < kCycles; ++c) {
        while (pushedUpTo.load(std::memory_order_acquire) < c) std::this_thread::yield();
        mixer.mix(out.data(), kCycle, c * kCycleNs, 1);
        output.insert(output.end(), out.begin(), out.end());
        mixedUpTo.store(c, std::memory_order_release);
    }
    producer.join();

    const auto state = mixer.state(*source);
    EXPECT_EQ(state.underruns, 0u);
    EXPECT_EQ(state.lostFrames, lost);
    // Frames in order, each once; silence only where cycles were lost.
    const auto first = std::find_if(output.begin(), output.end(), [](float v) { return v != 0.0f; });
    std::uint64_t k = 0, silent = 0;
    for (auto it = first; it != output.end(); ++it) {
        if (*it == 0.0f) {
            ++silent;
            ++k;
            continue;
        }
        ASSERT_EQ(*it, marker(k)) << "frame " << k;
        ++k;
    }
    EXPECT_EQ(silent, state.lostFrames);
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
