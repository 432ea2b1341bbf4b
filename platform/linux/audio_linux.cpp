// Audio formats, PCM buffers and the converter on Linux. The converter mixes
// any channel layout down to mono by averaging (so equal channels keep their
// level and nothing clips before the final rounding), resamples with libsoxr
// and rounds to signed 16-bit with saturation.
#include "platform/linux/audio_linux.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
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

// High quality: 20-bit precision, passband to 91.3 % of the output's Nyquist
// frequency, with a minimum-phase response. It rejects aliases, keeps the
// level at 7 kHz and distorts as little as the linear-phase filter (measured
// by bench/audio_path_bench --quality), but its energy comes first, so less
// is held back. The phase of the top
// octave shifts; nothing downstream listens for it. 16-bit output is rounded
// to nearest without dither (libsoxr seeds its dither from the clock), so
// equal input always gives equal output.
soxr_t makeSoxr(double inputRate, double outputRate, soxr_datatype_t outputType, std::string& reason) {
    soxr_error_t error = nullptr;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ | SOXR_MINIMUM_PHASE, 0);
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, outputType);
    io.flags |= SOXR_NO_DITHER;
    // DFTs of at most 1024 points (libsoxr allows 2^17 by default): its filter
    // stage then works and releases output in small blocks, so a sound waits
    // about 5 ms on average and at most one 10 ms block in the converter,
    // where the default's larger blocks held it 21 ms on average and up to
    // 30 ms. Alias rejection, level and THD+N measure the same; it costs about
    // a third more instructions, still over 2000 times real time.
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    runtime.log2_large_dft_size = 10;
    soxr_t handle = soxr_create(inputRate, outputRate, 1, &error, &io, &quality, &runtime);
    if (error != nullptr || handle == nullptr) {
        reason = error != nullptr ? error : "soxr_create failed";
        if (handle != nullptr) soxr_delete(handle);
        return nullptr;
    }
    return handle;
}

std::optional<MonoResampler> MonoResampler::make(double inputRate, double outputRate, std::string& reason) {
    if (!(inputRate > 0) || !(outputRate > 0) || !std::isfinite(inputRate) || !std::isfinite(outputRate)) {
        reason = "unsupported sample rate";
        return std::nullopt;
    }
    if (inputRate == outputRate) return MonoResampler(nullptr, 1.0);
    soxr_t handle = makeSoxr(inputRate, outputRate, SOXR_FLOAT32_I, reason);
    if (handle == nullptr) return std::nullopt;
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
        // Room for what this input should give and a little more: a burst
        // beyond it is taken by the next round, and growing `out` by much
        // more would only zero memory that is cut off again.
        const std::size_t room = static_cast<std::size_t>(std::ceil((frames - consumed) * ratio_)) + 256;
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

// Two PCM buffers are made and dropped for every sample buffer, with the same
// few sizes while a stream's format holds. Their memory (the objects and the
// sample storage) is kept here for the next ones instead of going back to the
// allocator: the steady state allocates nothing. Sizes are rounded up to a
// power of two so buffers whose frame counts wander a little share blocks.
// A handful of blocks is kept, none larger than a few seconds of audio, so
// what is kept stays small whatever the stream does.
class BlockRecycler {
public:
    static BlockRecycler& shared() {
        // Never destroyed: a buffer may outlive every static of the program.
        static BlockRecycler* recycler = new BlockRecycler;
        return *recycler;
    }

    static std::size_t sizeClass(std::size_t bytes) { return std::bit_ceil(std::max<std::size_t>(bytes, 64)); }

    void* take(std::size_t bytes) {
        const std::size_t size = sizeClass(bytes);
        {
            std::lock_guard lock(mutex_);
            for (std::size_t i = 0; i < kept_; ++i) {
                if (slots_[i].bytes == size) {
                    void* block = slots_[i].block;
                    slots_[i] = slots_[--kept_];
                    return block;
                }
            }
        }
        return ::operator new(size);
    }

    void give(void* block, std::size_t bytes) noexcept {
        if (block == nullptr) return;
        const std::size_t size = sizeClass(bytes);
        if (size <= kLargest) {
            std::lock_guard lock(mutex_);
            if (kept_ < kSlots) {
                slots_[kept_++] = {block, size};
                return;
            }
        }
        ::operator delete(block, size);
    }

private:
    struct Slot {
        void* block = nullptr;
        std::size_t bytes = 0;
    };
    static constexpr std::size_t kSlots = 8;
    static constexpr std::size_t kLargest = std::size_t{1} << 20;

    std::mutex mutex_;
    std::array<Slot, kSlots> slots_{};
    std::size_t kept_ = 0;
};

class LinuxPCMBuffer final : public PCMBuffer {
public:
    static void* operator new(std::size_t bytes) { return BlockRecycler::shared().take(bytes); }
    static void operator delete(void* block, std::size_t bytes) noexcept { BlockRecycler::shared().give(block, bytes); }

    LinuxPCMBuffer(std::shared_ptr<const AudioFormat> format, std::uint32_t capacity)
        : format_(std::move(format)),
          capacity_(capacity),
          // Not zeroed: every use writes the frames before they are read, and
          // clearing a buffer per sample buffer was a pass of its own.
          storage_(takeStorage(storageBytes(*format_, capacity))) {
        const std::uint32_t channels = format_->channelCount();
        const std::size_t bytes = storage_.get_deleter().bytes;
        const bool interleaved = format_->isInterleaved() || channels == 1;
        planes_ = interleaved ? 1 : channels;
        if (planes_ > kInlinePlanes) {
            moreBuffers_.resize(planes_);
            morePointers_.resize(planes_);
        }
        AudioBuffer* buffers = planes_ > kInlinePlanes ? moreBuffers_.data() : inlineBuffers_.data();
        const std::int16_t** pointers = planes_ > kInlinePlanes ? morePointers_.data() : inlinePointers_.data();
        const std::size_t planeBytes = bytes / planes_;
        for (std::uint32_t i = 0; i < planes_; ++i) {
            buffers[i].numberChannels = interleaved ? channels : 1;
            buffers[i].data = storage_.get() + i * planeBytes;
            pointers[i] = static_cast<const std::int16_t*>(buffers[i].data);
        }
        list_.numberBuffers = planes_;
        list_.buffers = buffers;
        if (format_->commonFormat() == CommonFormat::pcmFormatInt16) int16Pointers_ = pointers;
        setFrameLength(0);
    }

    const AudioFormat& format() const override { return *format_; }
    std::uint32_t frameCapacity() const override { return capacity_; }
    std::uint32_t frameLength() const override { return length_; }
    void setFrameLength(std::uint32_t frames) override {
        length_ = std::min(frames, capacity_);
        const std::size_t frameBytes = bytesPerSample(format_->commonFormat()) * list_.buffers[0].numberChannels;
        for (std::uint32_t i = 0; i < planes_; ++i) {
            list_.buffers[i].dataByteSize = static_cast<std::uint32_t>(length_ * frameBytes);
        }
    }
    const std::int16_t* const* int16ChannelData() const override { return int16Pointers_; }
    AudioBufferList& mutableAudioBufferList() override { return list_; }

    // Writable view for the converter, which fills its output in place.
    std::int16_t* int16Samples() { return reinterpret_cast<std::int16_t*>(storage_.get()); }

    LinuxPCMBuffer(const LinuxPCMBuffer&) = delete;
    LinuxPCMBuffer& operator=(const LinuxPCMBuffer&) = delete;

private:
    // Up to 7.1 planar keeps its plane list inside the buffer.
    static constexpr std::uint32_t kInlinePlanes = 8;

    struct StorageReturn {
        std::size_t bytes;
        void operator()(std::uint8_t* block) const noexcept { BlockRecycler::shared().give(block, bytes); }
    };
    using Storage = std::unique_ptr<std::uint8_t[], StorageReturn>;

    static std::size_t storageBytes(const AudioFormat& format, std::uint32_t capacity) {
        return static_cast<std::size_t>(capacity) * format.channelCount() * bytesPerSample(format.commonFormat());
    }
    static Storage takeStorage(std::size_t bytes) {
        return Storage(static_cast<std::uint8_t*>(BlockRecycler::shared().take(bytes)), StorageReturn{bytes});
    }

    std::shared_ptr<const AudioFormat> format_;
    std::uint32_t capacity_;
    std::uint32_t length_ = 0;
    std::uint32_t planes_ = 1;
    Storage storage_;
    std::array<AudioBuffer, kInlinePlanes> inlineBuffers_{};
    std::array<const std::int16_t*, kInlinePlanes> inlinePointers_{};
    std::vector<AudioBuffer> moreBuffers_;
    std::vector<const std::int16_t*> morePointers_;
    const std::int16_t* const* int16Pointers_ = nullptr;  // null unless the samples are 16-bit
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

// Rounds to nearest (ties to even) with saturation; not a number gives
// silence. Clamping first keeps the value within 2^22, where adding and
// taking away 1.5 * 2^23 rounds exactly as nearbyint does, without a call.
std::int16_t toInt16(float v) {
    float scaled = v * 32768.0f;
    if (scaled != scaled) return 0;
    scaled = std::min(std::max(scaled, -32768.0f), 32767.0f);
    constexpr float kRound = 12582912.0f;
    scaled = (scaled + kRound) - kRound;
    return static_cast<std::int16_t>(scaled);
}

struct SoxrDelete {
    void operator()(soxr_t handle) const { soxr_delete(handle); }
};

class SoxrConverter final : public Converter {
public:
    // Output a caller has not taken yet is kept up to this many seconds; past
    // it the newest is dropped. Only a caller that keeps asking for less
    // than it hands in ever gets there (the audio tap sizes its output from
    // the rate ratio, with room to spare, for every rate of 1 Hz and up).
    static constexpr double kMaxHeldBackSeconds = 4.0;

    // `soxr` is null when the rates are equal: samples pass through.
    SoxrConverter(FormatFields from, double outputRate, soxr_t soxr)
        : from_(from),
          ratio_(outputRate / from.sampleRate),
          maxPending_(static_cast<std::size_t>(kMaxHeldBackSeconds * outputRate)),
          soxr_(soxr) {}

    ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>& error,
                                  const ConverterInputBlock& input) override {
        auto* out = dynamic_cast<LinuxPCMBuffer*>(&output);
        if (out == nullptr || out->format().commonFormat() != CommonFormat::pcmFormatInt16 ||
            out->format().channelCount() != 1) {
            error = Error{-50, "output buffer is not a 16-bit mono buffer of this toolkit"};
            return ConverterOutputStatus::error;
        }
        dst_ = out->int16Samples();
        capacity_ = out->frameCapacity();
        written_ = 0;
        drainPending();

        ConverterOutputStatus status = ConverterOutputStatus::haveData;
        // Input is asked for at least once per call even when held-back output
        // already fills the buffer: a caller that offers each buffer to one
        // call only would otherwise lose it.
        bool asked = false;
        while (written_ < capacity_ || !asked) {
            if (ended_) {
                if (written_ == 0) status = ConverterOutputStatus::endOfStream;
                break;
            }
            ConverterInputStatus inputStatus = ConverterInputStatus::noDataNow;
            asked = true;
            PCMBuffer* buffer = input(capacity_ - written_, inputStatus);
            std::string reason;
            if (inputStatus == ConverterInputStatus::haveData && buffer != nullptr) {
                if (!take(*buffer, reason)) {
                    error = Error{-50, reason};
                    out->setFrameLength(written_);
                    return ConverterOutputStatus::error;
                }
                continue;
            }
            if (inputStatus == ConverterInputStatus::endOfStream) {
                ended_ = true;
                if (soxr_ && !resample(nullptr, 0, reason)) {
                    error = Error{-50, reason};
                    out->setFrameLength(written_);
                    return ConverterOutputStatus::error;
                }
                continue;
            }
            if (written_ < capacity_) status = ConverterOutputStatus::inputRanDry;
            break;
        }
        out->setFrameLength(written_);
        return status;
    }

private:
    // Mixes the buffer down to mono and converts all of it: into the output
    // buffer while it has room, into `pending_` after that.
    bool take(PCMBuffer& buffer, std::string& reason) {
        const AudioFormat& format = buffer.format();
        if (format.commonFormat() != from_.commonFormat || format.channelCount() != from_.channelCount ||
            format.sampleRate() != from_.sampleRate) {
            reason = "input buffer does not have the converter's input format";
            return false;
        }
        const std::uint32_t frames = buffer.frameLength();
        if (frames == 0) return true;
        const float* mono = mixDown(buffer, frames, reason);
        if (mono == nullptr) return false;
        if (!soxr_) {
            emit(mono, frames);
            return true;
        }
        return resample(mono, frames, reason);
    }

    // Mono float samples of the buffer: its own storage for mono float, else
    // `mono_`, mixed in one pass over the input (float stereo, interleaved or
    // planar, has its own loop). Samples that are not finite become silence
    // before they reach the filter, which would spread them over a whole
    // block and round them to full scale. Null, with a reason, when the
    // buffer's storage does not hold its frames.
    const float* mixDown(PCMBuffer& buffer, std::uint32_t frames, std::string& reason) {
        const std::uint32_t channels = from_.channelCount;
        const CommonFormat common = from_.commonFormat;
        const std::size_t sampleBytes = bytesPerSample(common);
        AudioBufferList& list = buffer.mutableAudioBufferList();
        const bool interleaved = list.numberBuffers == 1;
        if (interleaved) {
            if (list.buffers[0].numberChannels != channels ||
                static_cast<std::size_t>(frames) * channels * sampleBytes > list.buffers[0].dataByteSize) {
                reason = "input buffer holds fewer samples than its frame length";
                return nullptr;
            }
        } else {
            if (list.numberBuffers != channels) {
                reason = "input buffer has an unexpected layout";
                return nullptr;
            }
            for (std::uint32_t c = 0; c < channels; ++c) {
                if (static_cast<std::size_t>(frames) * sampleBytes > list.buffers[c].dataByteSize) {
                    reason = "input buffer holds fewer samples than its frame length";
                    return nullptr;
                }
            }
        }

        const auto floats = [&](std::uint32_t plane) -> const float* {
            const void* data = list.buffers[plane].data;
            return reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0 ? static_cast<const float*>(data)
                                                                                 : nullptr;
        };
        if (mono_.size() < frames) mono_.resize(frames);
        float* mixed = mono_.data();
        const float* result = mixed;
        if (common == CommonFormat::pcmFormatFloat32 && channels == 1 && floats(0) != nullptr) {
            result = floats(0);
        } else if (common == CommonFormat::pcmFormatFloat32 && channels == 2 && interleaved && floats(0) != nullptr) {
            const float* s = floats(0);
            for (std::uint32_t f = 0; f < frames; ++f) mixed[f] = (s[2 * f] + s[2 * f + 1]) * 0.5f;
        } else if (common == CommonFormat::pcmFormatFloat32 && channels == 2 && !interleaved && floats(0) != nullptr &&
                   floats(1) != nullptr) {
            const float* left = floats(0);
            const float* right = floats(1);
            for (std::uint32_t f = 0; f < frames; ++f) mixed[f] = (left[f] + right[f]) * 0.5f;
        } else {
            const float scale = 1.0f / static_cast<float>(channels);
            if (interleaved) {
                const auto* base = static_cast<const std::uint8_t*>(list.buffers[0].data);
                for (std::uint32_t f = 0; f < frames; ++f) {
                    float sum = 0;
                    for (std::uint32_t c = 0; c < channels; ++c) sum += sampleAt(base, common, f * channels + c);
                    mixed[f] = sum * scale;
                }
            } else {
                std::fill(mixed, mixed + frames, 0.0f);
                for (std::uint32_t c = 0; c < channels; ++c) {
                    const auto* base = static_cast<const std::uint8_t*>(list.buffers[c].data);
                    for (std::uint32_t f = 0; f < frames; ++f) mixed[f] += sampleAt(base, common, f) * scale;
                }
            }
        }
        // Rounding to 16 bits silences what is not a number on the same-rate
        // path; the filter needs it done before.
        if (!soxr_ || allFinite(result, frames)) return result;
        if (result != mixed) std::copy(result, result + frames, mixed);  // the input may be the caller's
        for (std::uint32_t f = 0; f < frames; ++f) {
            if (!std::isfinite(mixed[f])) mixed[f] = 0.0f;
        }
        return mixed;
    }

    // x * 0 is 0 for every finite x and not a number otherwise; four sums
    // keep the additions independent of each other.
    static bool allFinite(const float* s, std::size_t n) {
        float a = 0.0f, b = 0.0f, c = 0.0f, d = 0.0f;
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            a += s[i] * 0.0f;
            b += s[i + 1] * 0.0f;
            c += s[i + 2] * 0.0f;
            d += s[i + 3] * 0.0f;
        }
        for (; i < n; ++i) a += s[i] * 0.0f;
        return a + b + c + d == 0.0f;
    }

    // Same-rate samples: rounded straight into the output, the rest held back.
    void emit(const float* samples, std::size_t n) {
        const std::size_t direct = pendingStart_ == pending_.size() ? std::min<std::size_t>(n, capacity_ - written_) : 0;
        for (std::size_t i = 0; i < direct; ++i) dst_[written_ + i] = toInt16(samples[i]);
        written_ += static_cast<std::uint32_t>(direct);
        const std::size_t keep = std::min(n - direct, room());
        for (std::size_t i = 0; i < keep; ++i) pending_.push_back(toInt16(samples[direct + i]));
    }

    // libsoxr writes 16-bit samples into the output buffer while it has room,
    // and into `pending_` after that. It may take only part of the input when
    // its output room runs short and releases its filter delay in bursts, so
    // it is called until the input is used up (or, when flushing, until it
    // has nothing more to give).
    bool resample(const float* in, std::size_t frames, std::string& reason) {
        std::size_t consumed = 0;
        for (int guard = 0; guard < 100000; ++guard) {
            const bool direct = pendingStart_ == pending_.size() && written_ < capacity_;
            std::size_t room = 0;
            std::int16_t* target = nullptr;
            std::size_t base = 0;
            if (direct) {
                room = capacity_ - written_;
                target = dst_ + written_;
            } else {
                room = std::min<std::size_t>(
                    static_cast<std::size_t>(std::ceil(static_cast<double>(frames - consumed) * ratio_)) + 256, 65536);
                base = pending_.size();
                pending_.resize(base + room);
                target = pending_.data() + base;
            }
            std::size_t used = 0;
            std::size_t made = 0;
            soxr_error_t failure = soxr_process(soxr_.get(), in == nullptr ? nullptr : in + consumed,
                                                frames - consumed, &used, target, room, &made);
            if (direct) {
                written_ += static_cast<std::uint32_t>(made);
            } else {
                // What does not fit under the bound is dropped, newest first.
                pending_.resize(base + std::min(made, roomFrom(base)));
            }
            if (failure != nullptr) {
                reason = failure;
                return false;
            }
            consumed += used;
            if (made < room && (in == nullptr || consumed >= frames)) return true;
        }
        reason = "resampler made no progress";
        return false;
    }

    // Held-back samples that may still be added under the bound.
    std::size_t room() const { return roomFrom(pending_.size()); }
    std::size_t roomFrom(std::size_t size) const {
        const std::size_t held = size - pendingStart_;
        return held >= maxPending_ ? 0 : maxPending_ - held;
    }

    // Hands out held-back samples first; trims what was handed out once it is
    // most of the store, so the store tracks what is held, not all that ever was.
    void drainPending() {
        const std::size_t n = std::min<std::size_t>(capacity_ - written_, pending_.size() - pendingStart_);
        std::copy_n(pending_.data() + pendingStart_, n, dst_ + written_);
        pendingStart_ += n;
        written_ += static_cast<std::uint32_t>(n);
        if (pendingStart_ == pending_.size()) {
            pending_.clear();
            pendingStart_ = 0;
        } else if (pendingStart_ * 2 >= pending_.size()) {
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_));
            pendingStart_ = 0;
        }
    }

    FormatFields from_;
    double ratio_;
    std::size_t maxPending_;
    std::unique_ptr<soxr, SoxrDelete> soxr_;
    std::vector<float> mono_;
    std::vector<std::int16_t> pending_;  // converted samples not yet handed out
    std::size_t pendingStart_ = 0;
    bool ended_ = false;
    // The output buffer of the conversion call under way.
    std::int16_t* dst_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t written_ = 0;
};

// Equal rates compare equal here; a rate that is not a number never does.
bool sameFields(const FormatFields& a, const FormatFields& b) {
    return a.commonFormat == b.commonFormat && a.sampleRate == b.sampleRate && a.channelCount == b.channelCount &&
           a.interleaved == b.interleaved;
}

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

    // Every sample buffer of a stream describes the same format: the last
    // one made is handed out again while the description holds.
    std::shared_ptr<const AudioFormat> makeFormat(const AudioFormatDescription& description) override {
        const auto* native = dynamic_cast<const linux_backend::LinuxFormatDescription*>(&description);
        const FormatFields fields = native != nullptr ? native->fields() : FormatFields{};
        std::lock_guard lock(lastDescribedMutex_);
        if (!lastDescribed_ || !sameFields(lastDescribedFields_, fields)) {
            lastDescribed_ = std::make_shared<LinuxAudioFormat>(fields);
            lastDescribedFields_ = fields;
        }
        return lastDescribed_;
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
        soxr_t soxr = nullptr;
        if (in.sampleRate != to.sampleRate()) {
            std::string reason;
            soxr = linux_backend::makeSoxr(in.sampleRate, to.sampleRate(), SOXR_INT16_I, reason);
            if (soxr == nullptr) return nullptr;
        }
        return std::make_unique<SoxrConverter>(in, to.sampleRate(), soxr);
    }

private:
    std::mutex lastDescribedMutex_;
    std::shared_ptr<const AudioFormat> lastDescribed_;
    FormatFields lastDescribedFields_;
};

}  // namespace

std::unique_ptr<AudioToolkit> makeDefaultAudioToolkit() { return std::make_unique<LinuxAudioToolkit>(); }

}  // namespace pimorlo::platform
