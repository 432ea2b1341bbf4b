#include "platform/linux/capture/delivery.h"

#include <utility>

#include "platform/linux/capture/captured_sample_buffer.h"

namespace pimorlo::platform::linux_backend {

bool OutputDelivery::supported() const {
    return outputRate_ >= 1000 && outputRate_ <= 384000 && outputChannels_ >= 1 && outputChannels_ <= 64;
}

bool OutputDelivery::addOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                               std::shared_ptr<Queue> queue, std::optional<Error>& error) {
    if (type == StreamOutputType::screen) return true;
    if (type != StreamOutputType::audio) {
        error = Error{-3802, "this capture offers system audio only, not the microphone"};
        return false;
    }
    if (!queue) {
        error = Error{-3802, "an audio output needs a queue"};
        return false;
    }
    std::lock_guard lock(mutex_);
    output_ = std::move(output);
    queue_ = std::move(queue);
    return true;
}

std::optional<std::string> OutputDelivery::prepare(double mixRate) {
    std::string reason;
    auto resampler = MonoResampler::make(mixRate, outputRate_, reason);
    if (!resampler) return reason;
    resampler_.emplace(std::move(*resampler));
    return std::nullopt;
}

bool OutputDelivery::resample(const float* mix, std::size_t frames, std::vector<float>& out) {
    std::string reason;
    return resampler_ && resampler_->process(mix, frames, out, reason);
}

void OutputDelivery::post(std::vector<float> out) {
    if (out.empty()) return;
    std::weak_ptr<StreamOutput> output;
    std::shared_ptr<Queue> queue;
    {
        std::lock_guard lock(mutex_);
        output = output_;
        queue = queue_;
    }
    if (!queue) return;
    const auto count = static_cast<long>(out.size());
    auto backlog = backlog_;
    if (backlog->load() + count > static_cast<long>(kMaxBacklogSeconds * outputRate_)) return;
    backlog->fetch_add(count);
    auto buffer = std::make_shared<CapturedSampleBuffer>(std::move(out), outputRate_, outputChannels_);
    queue->async([output, buffer, backlog, count] {
        if (auto o = output.lock()) o->streamDidOutputSampleBuffer(*buffer, StreamOutputType::audio);
        backlog->fetch_sub(count);
    });
}

}  // namespace pimorlo::platform::linux_backend
