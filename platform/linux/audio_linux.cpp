// Audio formats, PCM buffers and the converter on Linux. The converter mixes
// any channel layout down to mono by averaging (so equal channels keep their
// level and nothing clips before the final rounding), resamples with libsoxr
// and rounds to signed 16-bit with saturation.
#include "platform/linux/audio_linux.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace pimorlo::platform {
namespace linux_backend {

std::size_t bytesPerSample(CommonFormat format) {
    switch (format) {
        case CommonFormat::pcmFormatFloat32: return 4;
        case CommonFormat::pcmFormatFloat64: return 8;
        case CommonFormat::pcmFormatInt16: return 2;
        case CommonFormat::pcmFormatInt32: return 4;
        case CommonFormat::otherFormat: break;
    }
    return 0;
}

std::optional<MonoResampler> MonoResampler::make(double inputRate, double outputRate, std::string& reason) {
    if (!(inputRate > 0) || !(outputRate > 0) || !std::isfinite(inputRate) || !std::isfinite(outputRate)) {
        reason = "unsupported sample rate";
        return std::nullopt;
    }
    if (inputRate == outputRate) return MonoResampler(nullptr, 1.0);
    soxr_error_t error = nullptr;
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t handle = soxr_create(inputRate, outputRate, 1, &error, nullptr, &quality, nullptr);
    if (error != nullptr || handle == nullptr) {
        reason = error != nullptr ? error : "soxr_create failed";
        if (handle != nullptr) soxr_delete(handle);
        return std::nullopt;
    }
    return MonoResampler(handle, outputRate / inputRate);
}

MonoResampler::MonoResampler(MonoResampler&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), ratio_(other.ratio_) {}

MonoResampler& MonoResampler::operator=(MonoResampler&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) soxr_delete(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
        ratio_ = other.ratio_;
    }
    return *this;
}

MonoResampler::~MonoResampler() {
    if (handle_ != nullptr) soxr_delete(handle_);
}

bool MonoResampler::process(const float* in, std::size_t frames, std::vector<float>& out, std::string& reason) {
    if (frames == 0) return true;
    if (handle_ == nullptr) {
        out.insert(out.end(), in, in + frames);
        return true;
    }
    return run(in, frames, out, reason);
}

bool MonoResampler::flush(std::vector<float>& out, std::string& reason) {
    if (handle_ == nullptr) return true;
    return run(nullptr, 0, out, reason);
}

// libsoxr may take only part of the input when the output room runs short and
// releases its filter delay in bursts, so it is called until the input is
// used up (or, when flushing, until it has nothing more to give).
bool MonoResampler::run(const float* in, std::size_t frames, std::vector<float>& out, std::string& reason) {
    std::size_t consumed = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        const std::size_t room = static_cast<std::size_t>(std::ceil((frames - consumed) * ratio_)) + 4096;
        const std::size_t base = out.size();
        out.resize(base + room);
        std::size_t used = 0;
        std::size_t made = 0;
        soxr_error_t error = soxr_process(handle_, in == nullptr ? nullptr : in + consumed, frames - consumed,
                                          &used, out.data() + base, room, &made);
        out.resize(base + made);
        if (error != nullptr) {
            reason = error;
            return false;
        }
        consumed += used;
        if (in == nullptr) {
            if (made < room) return true;
        } else if (consumed >= frames && made < room) {
            return true;
        }
    }
    reason = "resampler made no progress";
    return false;
}

}  // namespace linux_backend

namespace {

using linux_backend::bytesPerSample;
using linux_backend::FormatFields;

class LinuxAudioFormat final : public AudioFormat {
public:
    explicit LinuxAudioFormat(FormatFields fields) : fields_(fields) {}
    CommonFormat commonFormat() const override { return fields_.commonFormat; }
    double sampleRate() const override { return fields_.sampleRate; }
    std::uint32_t channelCount() const override { return fields_.channelCount; }
    bool isInterleaved() const override { return fields_.interleaved; }
    bool isEqual(const AudioFormat& other) const override {
        return other.commonFormat() == fields_.commonFormat && other.sampleRate() == fields_.sampleRate &&
               other.channelCount() == fields_.channelCount &&
               (fields_.channelCount <= 1 || other.isInterleaved() == fields_.interleaved);
    }

private:
    FormatFields fields_;
};

class LinuxPCMBuffer final : public PCMBuffer {
public:
    LinuxPCMBuffer(std::shared_ptr<const AudioFormat> format, std::uint32_t capacity)
        : format_(std::move(format)), capacity_(capacity) {
        const std::uint32_t channels = format_->channelCount();
        const std::size_t sampleBytes = bytesPerSample(format_->commonFormat());
        storage_.assign(static_cast<std::size_t>(capacity) * channels * sampleBytes, 0);
        const bool interleaved = format_->isInterleaved() || channels == 1;
        const std::uint32_t planes = interleaved ? 1 : channels;
        buffers_.resize(planes);
        const std::size_t planeBytes = storage_.size() / planes;
        for (std::uint32_t i = 0; i < planes; ++i) {
            buffers_[i].numberChannels = interleaved ? channels : 1;
            buffers_[i].data = storage_.data() + i * planeBytes;
        }
        list_.numberBuffers = planes;
        list_.buffers = buffers_.data();
        if (format_->commonFormat() == CommonFormat::pcmFormatInt16) {
            for (auto& buffer : buffers_) int16Pointers_.push_back(static_cast<const std::int16_t*>(buffer.data));
        }
        setFrameLength(0);
    }

    const AudioFormat& format() const override { return *format_; }
    std::uint32_t frameCapacity() const override { return capacity_; }
    std::uint32_t frameLength() const override { return length_; }
    void setFrameLength(std::uint32_t frames) override {
        length_ = std::min(frames, capacity_);
        const std::size_t frameBytes =
            bytesPerSample(format_->commonFormat()) * (buffers_.empty() ? 0 : buffers_[0].numberChannels);
        for (auto& buffer : buffers_) buffer.dataByteSize = static_cast<std::uint32_t>(length_ * frameBytes);
    }
    const std::int16_t* const* int16ChannelData() const override {
        return int16Pointers_.empty() ? nullptr : int16Pointers_.data();
    }
    AudioBufferList& mutableAudioBufferList() override { return list_; }

    // Writable view for the converter, which fills its output in place.
    std::int16_t* int16Samples() { return reinterpret_cast<std::int16_t*>(storage_.data()); }

private:
    std::shared_ptr<const AudioFormat> format_;
    std::uint32_t capacity_;
    std::uint32_t length_ = 0;
    std::vector<std::uint8_t> storage_;
    std::vector<AudioBuffer> buffers_;
    std::vector<const std::int16_t*> int16Pointers_;
    AudioBufferList list_;
};

float sampleAt(const std::uint8_t* base, CommonFormat format, std::size_t index) {
    switch (format) {
        case CommonFormat::pcmFormatFloat32: {
            float v;
            std::memcpy(&v, base + index * 4, 4);
            return v;
        }
        case CommonFormat::pcmFormatFloat64: {
            double v;
            std::memcpy(&v, base + index * 8, 8);
            return static_cast<float>(v);
        }
        case CommonFormat::pcmFormatInt16: {
            std::int16_t v;
            std::memcpy(&v, base + index * 2, 2);
            return static_cast<float>(v) / 32768.0f;
        }
        case CommonFormat::pcmFormatInt32: {
            std::int32_t v;
            std::memcpy(&v, base + index * 4, 4);
            return static_cast<float>(static_cast<double>(v) / 2147483648.0);
        }
        case CommonFormat::otherFormat: break;
    }
    return 0.0f;
}

std::int16_t toInt16(float v) {
    if (std::isnan(v)) return 0;
    const float scaled = std::nearbyint(v * 32768.0f);
    if (scaled >= 32767.0f) return 32767;
    if (scaled <= -32768.0f) return -32768;
    return static_cast<std::int16_t>(scaled);
}

class SoxrConverter final : public Converter {
public:
    SoxrConverter(FormatFields from, linux_backend::MonoResampler resampler)
        : from_(from), resampler_(std::move(resampler)) {}

    ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>& error,
                                  const ConverterInputBlock& input) override {
        auto* out = dynamic_cast<LinuxPCMBuffer*>(&output);
        if (out == nullptr || out->format().commonFormat() != CommonFormat::pcmFormatInt16 ||
            out->format().channelCount() != 1) {
            error = Error{-50, "output buffer is not a 16-bit mono buffer of this toolkit"};
            return ConverterOutputStatus::error;
        }
        const std::uint32_t capacity = out->frameCapacity();
        std::uint32_t written = 0;
        auto drain = [&] {
            const std::size_t n = std::min<std::size_t>(capacity - written, pending_.size() - pendingStart_);
            std::int16_t* dst = out->int16Samples() + written;
            for (std::size_t i = 0; i < n; ++i) dst[i] = toInt16(pending_[pendingStart_ + i]);
            pendingStart_ += n;
            written += static_cast<std::uint32_t>(n);
            if (pendingStart_ == pending_.size()) {
                pending_.clear();
                pendingStart_ = 0;
            }
        };

        drain();
        ConverterOutputStatus status = ConverterOutputStatus::haveData;
        // Input is asked for at least once per call even when held-back output
        // already fills the buffer: a caller that offers each buffer to one
        // call only would otherwise lose it.
        bool asked = false;
        while (written < capacity || !asked) {
            if (ended_) {
                if (written == 0) status = ConverterOutputStatus::endOfStream;
                break;
            }
            ConverterInputStatus inputStatus = ConverterInputStatus::noDataNow;
            asked = true;
            PCMBuffer* buffer = input(capacity - written, inputStatus);
            if (inputStatus == ConverterInputStatus::haveData && buffer != nullptr) {
                std::string reason;
                if (!take(*buffer, reason)) {
                    error = Error{-50, reason};
                    out->setFrameLength(written);
                    return ConverterOutputStatus::error;
                }
                drain();
                continue;
            }
            if (inputStatus == ConverterInputStatus::endOfStream) {
                std::string reason;
                ended_ = true;
                if (!resampler_.flush(pending_, reason)) {
                    error = Error{-50, reason};
                    out->setFrameLength(written);
                    return ConverterOutputStatus::error;
                }
                drain();
                continue;
            }
            if (written < capacity) status = ConverterOutputStatus::inputRanDry;
            break;
        }
        out->setFrameLength(written);
        return status;
    }

private:
    // Mixes the buffer down to mono and resamples all of it into `pending_`.
    bool take(PCMBuffer& buffer, std::string& reason) {
        const AudioFormat& format = buffer.format();
        if (format.commonFormat() != from_.commonFormat || format.channelCount() != from_.channelCount ||
            format.sampleRate() != from_.sampleRate) {
            reason = "input buffer does not have the converter's input format";
            return false;
        }
        const std::uint32_t frames = buffer.frameLength();
        const std::uint32_t channels = from_.channelCount;
        const CommonFormat common = from_.commonFormat;
        AudioBufferList& list = buffer.mutableAudioBufferList();
        const std::size_t sampleBytes = bytesPerSample(common);
        mono_.assign(frames, 0.0f);
        const float scale = 1.0f / static_cast<float>(channels);
        if (list.numberBuffers == 1) {
            const auto* base = static_cast<const std::uint8_t*>(list.buffers[0].data);
            const std::uint32_t stride = list.buffers[0].numberChannels;
            if (stride != channels || static_cast<std::size_t>(frames) * stride * sampleBytes > list.buffers[0].dataByteSize) {
                reason = "input buffer holds fewer samples than its frame length";
                return false;
            }
            for (std::uint32_t f = 0; f < frames; ++f) {
                float sum = 0;
                for (std::uint32_t c = 0; c < channels; ++c) sum += sampleAt(base, common, f * stride + c);
                mono_[f] = sum * scale;
            }
        } else {
            if (list.numberBuffers != channels) {
                reason = "input buffer has an unexpected layout";
                return false;
            }
            for (std::uint32_t c = 0; c < channels; ++c) {
                const auto* base = static_cast<const std::uint8_t*>(list.buffers[c].data);
                if (static_cast<std::size_t>(frames) * sampleBytes > list.buffers[c].dataByteSize) {
                    reason = "input buffer holds fewer samples than its frame length";
                    return false;
                }
                for (std::uint32_t f = 0; f < frames; ++f) mono_[f] += sampleAt(base, common, f) * scale;
            }
        }
        return resampler_.process(mono_.data(), mono_.size(), pending_, reason);
    }

    FormatFields from_;
    linux_backend::MonoResampler resampler_;
    std::vector<float> mono_;
    std::vector<float> pending_;  // converted samples not yet handed out
    std::size_t pendingStart_ = 0;
    bool ended_ = false;
};

bool validFields(const FormatFields& f) {
    return bytesPerSample(f.commonFormat) != 0 && f.channelCount > 0 && f.channelCount <= 64 && f.sampleRate > 0 &&
           std::isfinite(f.sampleRate);
}

class LinuxAudioToolkit final : public AudioToolkit {
public:
    std::shared_ptr<const AudioFormat> makeFormat(CommonFormat commonFormat, double sampleRate, std::uint32_t channels,
                                                  bool interleaved) override {
        FormatFields fields{commonFormat, sampleRate, channels, interleaved};
        if (!validFields(fields)) return nullptr;
        return std::make_shared<LinuxAudioFormat>(fields);
    }

    std::shared_ptr<const AudioFormat> makeFormat(const AudioFormatDescription& description) override {
        if (const auto* native = dynamic_cast<const linux_backend::LinuxFormatDescription*>(&description)) {
            return std::make_shared<LinuxAudioFormat>(native->fields());
        }
        return std::make_shared<LinuxAudioFormat>(FormatFields{});
    }

    std::unique_ptr<PCMBuffer> makePCMBuffer(std::shared_ptr<const AudioFormat> format,
                                             std::uint32_t frameCapacity) override {
        if (!format) return nullptr;
        FormatFields fields{format->commonFormat(), format->sampleRate(), format->channelCount(),
                            format->isInterleaved()};
        if (!validFields(fields)) return nullptr;
        // Refuse sizes that would not fit the 32-bit byte counts of the buffer list.
        const std::size_t bytes = static_cast<std::size_t>(frameCapacity) * fields.channelCount *
                                  bytesPerSample(fields.commonFormat);
        if (bytes > std::numeric_limits<std::uint32_t>::max()) return nullptr;
        return std::make_unique<LinuxPCMBuffer>(std::move(format), frameCapacity);
    }

    std::unique_ptr<Converter> makeConverter(const AudioFormat& from, const AudioFormat& to) override {
        FormatFields in{from.commonFormat(), from.sampleRate(), from.channelCount(), from.isInterleaved()};
        if (!validFields(in)) return nullptr;
        if (to.commonFormat() != CommonFormat::pcmFormatInt16 || to.channelCount() != 1 || !(to.sampleRate() > 0)) {
            return nullptr;
        }
        std::string reason;
        auto resampler = linux_backend::MonoResampler::make(in.sampleRate, to.sampleRate(), reason);
        if (!resampler) return nullptr;
        return std::make_unique<SoxrConverter>(in, std::move(*resampler));
    }
};

}  // namespace

std::unique_ptr<AudioToolkit> makeDefaultAudioToolkit() { return std::make_unique<LinuxAudioToolkit>(); }

}  // namespace pimorlo::platform
