// Audio formats and conversion: formats, PCM buffers, a converter fed through
// an input block, and the captured sample buffers that carry audio in.
//
// Formats, buffers and converters are backend objects behind small interfaces,
// so a backend can hand the core its own native objects unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/error.h"

namespace pimorlo::platform {

enum class CommonFormat : unsigned {
    otherFormat = 0,
    pcmFormatFloat32 = 1,
    pcmFormatFloat64 = 2,
    pcmFormatInt16 = 3,
    pcmFormatInt32 = 4,
};

class AudioFormat {
public:
    virtual ~AudioFormat() = default;
    virtual CommonFormat commonFormat() const = 0;
    virtual double sampleRate() const = 0;
    virtual std::uint32_t channelCount() const = 0;
    virtual bool isInterleaved() const = 0;
    // The platform's own equality of formats, asked of this one.
    virtual bool isEqual(const AudioFormat& other) const = 0;
};

// What a sample buffer says about the format of its audio. Opaque to the core:
// only the toolkit that made it reads it.
class AudioFormatDescription {
public:
    virtual ~AudioFormatDescription() = default;
};

struct AudioBuffer {
    std::uint32_t numberChannels = 0;
    std::uint32_t dataByteSize = 0;
    void* data = nullptr;
};

struct AudioBufferList {
    std::uint32_t numberBuffers = 0;
    AudioBuffer* buffers = nullptr;
};

class PCMBuffer {
public:
    virtual ~PCMBuffer() = default;
    virtual const AudioFormat& format() const = 0;
    virtual std::uint32_t frameCapacity() const = 0;
    virtual std::uint32_t frameLength() const = 0;
    virtual void setFrameLength(std::uint32_t frames) = 0;
    // One pointer per channel when the samples are signed 16-bit, else null.
    virtual const std::int16_t* const* int16ChannelData() const = 0;
    virtual AudioBufferList& mutableAudioBufferList() = 0;
};

// Captured audio as the capture stream delivers it.
class SampleBuffer {
public:
    virtual ~SampleBuffer() = default;
    virtual bool isValid() const = 0;
    virtual bool dataIsReady() const = 0;
    virtual std::int64_t numSamples() const = 0;
    // Null when the buffer carries no format description.
    virtual const AudioFormatDescription* formatDescription() const = 0;
    // Copies frames into the list's buffers; 0 (noErr) on success.
    virtual std::int32_t copyPCMDataIntoAudioBufferList(std::int32_t frameOffset, std::int32_t frameCount,
                                                        AudioBufferList& list) const = 0;
};

enum class ConverterInputStatus : long { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class ConverterOutputStatus : long { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };

// Called by the converter, any number of times within one conversion, for more
// input. It sets the status on every call and returns the input, or null.
using ConverterInputBlock = std::function<PCMBuffer*(std::uint32_t packetCount, ConverterInputStatus& status)>;

class Converter {
public:
    virtual ~Converter() = default;
    // Fills `output` (setting its frame length) from what `input` supplies.
    // `error` is empty at the call and may be filled on failure.
    virtual ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>& error,
                                          const ConverterInputBlock& input) = 0;
};

class AudioToolkit {
public:
    virtual ~AudioToolkit() = default;
    // Null when the platform refuses the format.
    virtual std::shared_ptr<const AudioFormat> makeFormat(CommonFormat commonFormat, double sampleRate,
                                                          std::uint32_t channels, bool interleaved) = 0;
    // Never fails: every description names some format.
    virtual std::shared_ptr<const AudioFormat> makeFormat(const AudioFormatDescription& description) = 0;
    // Null when the buffer cannot be made.
    virtual std::unique_ptr<PCMBuffer> makePCMBuffer(std::shared_ptr<const AudioFormat> format,
                                                     std::uint32_t frameCapacity) = 0;
    // Null when the platform cannot convert between the two formats.
    virtual std::unique_ptr<Converter> makeConverter(const AudioFormat& from, const AudioFormat& to) = 0;
};

// The toolkit of the backend this program is built with.
std::unique_ptr<AudioToolkit> makeDefaultAudioToolkit();

}  // namespace pimorlo::platform
