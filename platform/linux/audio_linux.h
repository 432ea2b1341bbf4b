// Pieces of the Linux audio toolkit that the Linux capture backend shares:
// the format description it attaches to its sample buffers, and the mono
// resampler both of them run.
#pragma once

#include <soxr.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio.h"

namespace pimorlo::platform::linux_backend {

struct FormatFields {
    CommonFormat commonFormat = CommonFormat::otherFormat;
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    bool interleaved = true;
};

class LinuxFormatDescription final : public AudioFormatDescription {
public:
    explicit LinuxFormatDescription(FormatFields fields) : fields_(fields) {}
    const FormatFields& fields() const { return fields_; }

private:
    FormatFields fields_;
};

// Bytes of one sample of the format, 0 for a format without PCM samples.
std::size_t bytesPerSample(CommonFormat format);

// A mono libsoxr resampler from float samples to `outputType` (float or
// signed 16-bit), with the recipe every resampler here uses. Null, with a
// reason, when libsoxr refuses the rates.
soxr_t makeSoxr(double inputRate, double outputRate, soxr_datatype_t outputType, std::string& reason);

// A streaming mono float resampler (libsoxr, high quality). The filter state
// runs on across calls; `flush` drains what the filter still holds.
class MonoResampler {
public:
    // Fails (returns nothing, with a reason) when libsoxr refuses the rates.
    static std::optional<MonoResampler> make(double inputRate, double outputRate, std::string& reason);
    MonoResampler(MonoResampler&& other) noexcept;
    MonoResampler& operator=(MonoResampler&& other) noexcept;
    MonoResampler(const MonoResampler&) = delete;
    MonoResampler& operator=(const MonoResampler&) = delete;
    ~MonoResampler();

    // Appends to `out` everything the filter releases for this input; every
    // input sample is consumed. False with a reason on a libsoxr failure.
    bool process(const float* in, std::size_t frames, std::vector<float>& out, std::string& reason);
    bool flush(std::vector<float>& out, std::string& reason);

private:
    MonoResampler(soxr_t handle, double ratio) : handle_(handle), ratio_(ratio) {}
    bool run(const float* in, std::size_t frames, std::vector<float>& out, std::string& reason);

    soxr_t handle_ = nullptr;  // null when the rates are equal: samples pass through
    double ratio_ = 1.0;
};

}  // namespace pimorlo::platform::linux_backend
