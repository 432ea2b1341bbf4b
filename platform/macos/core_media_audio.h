// CoreMedia's sample buffers as the seam's, shared between the capture backend,
// which receives them, and the audio toolkit, which reads their formats and
// copies their frames.
#pragma once

#import <CoreMedia/CoreMedia.h>

#include <optional>

#include "platform/audio.h"

namespace pimorlo::platform::macos {

// Borrowed from the sample buffer: valid while the buffer is being handled.
class CoreMediaFormatDescription final : public AudioFormatDescription {
public:
    explicit CoreMediaFormatDescription(CMFormatDescriptionRef description) : description_(description) {}
    CMAudioFormatDescriptionRef native() const { return description_; }

private:
    CMFormatDescriptionRef description_;
};

// Wraps a buffer for the length of one output call; the stream owns it.
class CoreMediaSampleBuffer final : public SampleBuffer {
public:
    explicit CoreMediaSampleBuffer(CMSampleBufferRef buffer) : buffer_(buffer) {}

    bool isValid() const override;
    bool dataIsReady() const override;
    std::int64_t numSamples() const override;
    const AudioFormatDescription* formatDescription() const override;
    std::int32_t copyPCMDataIntoAudioBufferList(std::int32_t frameOffset, std::int32_t frameCount,
                                                AudioBufferList& list) const override;

private:
    CMSampleBufferRef buffer_;
    // Read only when asked, so the buffer is inspected in the order the
    // caller inspects it.
    mutable std::optional<CoreMediaFormatDescription> description_;
};

}  // namespace pimorlo::platform::macos
