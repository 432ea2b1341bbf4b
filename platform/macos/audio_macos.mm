// Audio formats and conversion on macOS: AVFAudio's formats, PCM buffers and
// converter, and CoreMedia's sample buffers.
#import <AVFAudio/AVFAudio.h>
#import <CoreMedia/CoreMedia.h>

#include <cstddef>
#include <vector>

#include "platform/audio.h"
#include "platform/macos/core_media_audio.h"
#include "platform/macos/foundation_values.h"

namespace pimorlo::platform {
namespace macos {

bool CoreMediaSampleBuffer::isValid() const { return CMSampleBufferIsValid(buffer_); }

bool CoreMediaSampleBuffer::dataIsReady() const { return CMSampleBufferDataIsReady(buffer_); }

std::int64_t CoreMediaSampleBuffer::numSamples() const { return CMSampleBufferGetNumSamples(buffer_); }

const AudioFormatDescription* CoreMediaSampleBuffer::formatDescription() const {
    CMFormatDescriptionRef description = CMSampleBufferGetFormatDescription(buffer_);
    if (description == nullptr) return nullptr;
    return &description_.emplace(description);
}

std::int32_t CoreMediaSampleBuffer::copyPCMDataIntoAudioBufferList(std::int32_t frameOffset, std::int32_t frameCount,
                                                                   platform::AudioBufferList& list) const {
    // CoreAudio's list keeps its buffers inline; the seam's points at them.
    // Copy over, let CoreMedia fill the storage both name, copy the sizes back.
    const std::uint32_t count = list.numberBuffers;
    std::vector<std::byte> storage(offsetof(::AudioBufferList, mBuffers) +
                                   sizeof(::AudioBuffer) * (count == 0 ? 1 : count));
    auto* native = reinterpret_cast<::AudioBufferList*>(storage.data());
    native->mNumberBuffers = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        native->mBuffers[i] = {list.buffers[i].numberChannels, list.buffers[i].dataByteSize, list.buffers[i].data};
    }
    const OSStatus status = CMSampleBufferCopyPCMDataIntoAudioBufferList(buffer_, frameOffset, frameCount, native);
    for (std::uint32_t i = 0; i < count; ++i) list.buffers[i].dataByteSize = native->mBuffers[i].mDataByteSize;
    return status;
}

namespace {

class AVFAudioFormat final : public AudioFormat {
public:
    explicit AVFAudioFormat(AVAudioFormat* format) : format_(format) {}

    CommonFormat commonFormat() const override { return static_cast<CommonFormat>(format_.commonFormat); }
    double sampleRate() const override { return format_.sampleRate; }
    std::uint32_t channelCount() const override { return format_.channelCount; }
    bool isInterleaved() const override { return format_.isInterleaved; }
    bool isEqual(const AudioFormat& other) const override {
        const auto* theirs = dynamic_cast<const AVFAudioFormat*>(&other);
        return theirs != nullptr && [format_ isEqual:theirs->format_];
    }

    AVAudioFormat* native() const { return format_; }

private:
    AVAudioFormat* format_;
};

class AVFAudioPCMBuffer final : public PCMBuffer {
public:
    AVFAudioPCMBuffer(AVAudioPCMBuffer* buffer, std::shared_ptr<const AVFAudioFormat> format)
        : buffer_(buffer), format_(std::move(format)) {}

    const AudioFormat& format() const override { return *format_; }
    std::uint32_t frameCapacity() const override { return buffer_.frameCapacity; }
    std::uint32_t frameLength() const override { return buffer_.frameLength; }
    void setFrameLength(std::uint32_t frames) override { buffer_.frameLength = frames; }
    const std::int16_t* const* int16ChannelData() const override { return buffer_.int16ChannelData; }

    // Read afresh on each call: the buffer sizes in the platform's list follow
    // the frame length.
    platform::AudioBufferList& mutableAudioBufferList() override {
        ::AudioBufferList* native = buffer_.mutableAudioBufferList;
        buffers_.clear();
        for (std::uint32_t i = 0; i < native->mNumberBuffers; ++i) {
            const ::AudioBuffer& buffer = native->mBuffers[i];
            buffers_.push_back({buffer.mNumberChannels, buffer.mDataByteSize, buffer.mData});
        }
        list_ = {static_cast<std::uint32_t>(buffers_.size()), buffers_.data()};
        return list_;
    }

    AVAudioPCMBuffer* native() const { return buffer_; }

private:
    AVAudioPCMBuffer* buffer_;
    std::shared_ptr<const AVFAudioFormat> format_;
    std::vector<platform::AudioBuffer> buffers_;
    platform::AudioBufferList list_;
};

class AVFAudioConverter final : public Converter {
public:
    explicit AVFAudioConverter(AVAudioConverter* converter) : converter_(converter) {}

    ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>& error,
                                  const ConverterInputBlock& input) override {
        auto* nativeOutput = dynamic_cast<AVFAudioPCMBuffer*>(&output);
        if (nativeOutput == nullptr) {
            error = Error{0, "The output buffer was not made by this audio toolkit."};
            return ConverterOutputStatus::error;
        }
        // The block runs only inside the call below, so it may point at the
        // caller's input function.
        const ConverterInputBlock* supply = &input;
        NSError* conversionError = nil;
        const AVAudioConverterOutputStatus status = [converter_
                 convertToBuffer:nativeOutput->native()
                           error:&conversionError
              withInputFromBlock:^AVAudioBuffer*(AVAudioPacketCount packetCount,
                                                 AVAudioConverterInputStatus* outStatus) {
                ConverterInputStatus inputStatus = ConverterInputStatus::noDataNow;
                PCMBuffer* supplied = (*supply)(packetCount, inputStatus);
                *outStatus = static_cast<AVAudioConverterInputStatus>(inputStatus);
                auto* nativeInput = dynamic_cast<AVFAudioPCMBuffer*>(supplied);
                return nativeInput != nullptr ? nativeInput->native() : nil;
              }];
        error = optionalError(conversionError);
        return static_cast<ConverterOutputStatus>(status);
    }

private:
    AVAudioConverter* converter_;
};

class AVFAudioToolkit final : public AudioToolkit {
public:
    std::shared_ptr<const AudioFormat> makeFormat(CommonFormat commonFormat, double sampleRate,
                                                  std::uint32_t channels, bool interleaved) override {
        AVAudioFormat* format = [[AVAudioFormat alloc] initWithCommonFormat:static_cast<AVAudioCommonFormat>(commonFormat)
                                                                 sampleRate:sampleRate
                                                                   channels:channels
                                                                interleaved:interleaved];
        if (format == nil) return nullptr;
        return std::make_shared<const AVFAudioFormat>(format);
    }

    std::shared_ptr<const AudioFormat> makeFormat(const AudioFormatDescription& description) override {
        const auto* coreMedia = dynamic_cast<const CoreMediaFormatDescription*>(&description);
        if (coreMedia == nullptr) return nullptr;
        AVAudioFormat* format = [[AVAudioFormat alloc] initWithCMAudioFormatDescription:coreMedia->native()];
        if (format == nil) return nullptr;
        return std::make_shared<const AVFAudioFormat>(format);
    }

    std::unique_ptr<PCMBuffer> makePCMBuffer(std::shared_ptr<const AudioFormat> format,
                                             std::uint32_t frameCapacity) override {
        auto native = std::dynamic_pointer_cast<const AVFAudioFormat>(format);
        if (!native) return nullptr;
        AVAudioPCMBuffer* buffer = [[AVAudioPCMBuffer alloc] initWithPCMFormat:native->native()
                                                                 frameCapacity:frameCapacity];
        if (buffer == nil) return nullptr;
        return std::make_unique<AVFAudioPCMBuffer>(buffer, std::move(native));
    }

    std::unique_ptr<Converter> makeConverter(const AudioFormat& from, const AudioFormat& to) override {
        const auto* source = dynamic_cast<const AVFAudioFormat*>(&from);
        const auto* target = dynamic_cast<const AVFAudioFormat*>(&to);
        if (source == nullptr || target == nullptr) return nullptr;
        AVAudioConverter* converter = [[AVAudioConverter alloc] initFromFormat:source->native()
                                                                      toFormat:target->native()];
        if (converter == nil) return nullptr;
        return std::make_unique<AVFAudioConverter>(converter);
    }
};

}  // namespace
}  // namespace macos

std::unique_ptr<AudioToolkit> makeDefaultAudioToolkit() { return std::make_unique<macos::AVFAudioToolkit>(); }

}  // namespace pimorlo::platform
