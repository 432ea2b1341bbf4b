// The hand-over of channel weights from the control thread to the real-time
// thread, which takes no lock; also run under ThreadSanitizer.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace pimorlo::platform::linux_backend
