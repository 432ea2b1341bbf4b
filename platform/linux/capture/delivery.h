// The hand-over of the mix to the output: resampled to the configured rate
// and posted to the output's queue as sample buffers, never called on the
// thread that mixes. Audio posted and not yet handled is bounded, so a
// reader that stalls does not grow memory: past the bound, new audio is
// dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/linux/audio_linux.h"

namespace pimorlo::platform::linux_backend {

// Audio posted to the output's queue and not yet handled, in seconds of output.
inline constexpr double kMaxBacklogSeconds = 4.0;

class OutputDelivery {
public:
    // What the configuration asks for: the output's rate and channels.
    OutputDelivery(double outputRate, std::uint32_t outputChannels)
        : outputRate_(outputRate), outputChannels_(outputChannels) {}

    double outputRate() const { return outputRate_; }
    // Whether the configuration is one this hand-over can serve.
    bool supported() const;

    // Any thread: the stream's addStreamOutput. Screen output is accepted
    // and gets nothing (there is no video); the microphone is refused.
    bool addOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type, std::shared_ptr<Queue> queue,
                   std::optional<Error>& error);

    // The thread that delivers (one only): makes the resampler from the mix's
    // rate; a reason when libsoxr refuses.
    std::optional<std::string> prepare(double mixRate);
    // Resamples one block of the mix (mono float at the mix's rate),
    // appending what the filter releases to `out`; false when libsoxr fails.
    bool resample(const float* mix, std::size_t frames, std::vector<float>& out);
    // Posts resampled audio as one sample buffer, unless the reader is the
    // whole backlog behind (then it is dropped).
    void post(std::vector<float> resampled);
    void deliver(const float* mix, std::size_t frames) {
        std::vector<float> out;
        if (resample(mix, frames, out)) post(std::move(out));
    }

private:
    const double outputRate_;
    const std::uint32_t outputChannels_;
    std::mutex mutex_;
    std::weak_ptr<StreamOutput> output_;
    std::shared_ptr<Queue> queue_;
    std::optional<MonoResampler> resampler_;
    std::shared_ptr<std::atomic<long>> backlog_ = std::make_shared<std::atomic<long>>(0);
};

}  // namespace pimorlo::platform::linux_backend
