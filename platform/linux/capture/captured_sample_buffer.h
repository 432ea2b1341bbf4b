// A sample buffer of captured audio: mono float samples, copied out into as
// many channels as the configuration asked for.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/audio.h"
#include "platform/linux/audio_linux.h"

namespace pimorlo::platform::linux_backend {

class CapturedSampleBuffer final : public SampleBuffer {
public:
    CapturedSampleBuffer(std::vector<float> samples, double rate, std::uint32_t channels)
        : samples_(std::move(samples)),
          channels_(channels),
          description_(FormatFields{CommonFormat::pcmFormatFloat32, rate, channels, true}) {}

    bool isValid() const override { return true; }
    bool dataIsReady() const override { return true; }
    std::int64_t numSamples() const override { return static_cast<std::int64_t>(samples_.size()); }
    const AudioFormatDescription* formatDescription() const override { return &description_; }

    std::int32_t copyPCMDataIntoAudioBufferList(std::int32_t frameOffset, std::int32_t frameCount,
                                                AudioBufferList& list) const override {
        constexpr std::int32_t kInvalidRange = -12731;
        constexpr std::int32_t kListTooSmall = -12737;
        if (frameOffset < 0 || frameCount < 0 ||
            static_cast<std::size_t>(frameOffset) + static_cast<std::size_t>(frameCount) > samples_.size()) {
            return kInvalidRange;
        }
        const float* src = samples_.data() + frameOffset;
        const std::size_t frames = static_cast<std::size_t>(frameCount);
        if (list.numberBuffers == 1 && list.buffers[0].numberChannels == channels_) {
            AudioBuffer& b = list.buffers[0];
            if (b.data == nullptr || b.dataByteSize < frames * channels_ * sizeof(float)) return kListTooSmall;
            auto* dst = static_cast<float*>(b.data);
            for (std::size_t f = 0; f < frames; ++f)
                for (std::uint32_t c = 0; c < channels_; ++c) dst[f * channels_ + c] = src[f];
            b.dataByteSize = static_cast<std::uint32_t>(frames * channels_ * sizeof(float));
            return 0;
        }
        if (list.numberBuffers != channels_) return kListTooSmall;
        for (std::uint32_t c = 0; c < channels_; ++c) {
            AudioBuffer& b = list.buffers[c];
            if (b.data == nullptr || b.numberChannels != 1 || b.dataByteSize < frames * sizeof(float)) return kListTooSmall;
            std::memcpy(b.data, src, frames * sizeof(float));
            b.dataByteSize = static_cast<std::uint32_t>(frames * sizeof(float));
        }
        return 0;
    }

private:
    std::vector<float> samples_;
    std::uint32_t channels_;
    LinuxFormatDescription description_;
};

}  // namespace pimorlo::platform::linux_backend
