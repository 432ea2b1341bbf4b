// A minimal mix with the interface of the real one, until it lands: per
// source a ring of weighted mono samples, mixed with a lead of one of the
// source's chunks plus one more cycle. No clock correction.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pimorlo::platform::linux_backend {

inline constexpr std::size_t kMaxMixPorts = 64;

inline std::vector<float> downmixWeights(const std::vector<std::string>& channels,
                                         const std::vector<std::string>& = {}) {
    std::vector<float> weights;
    std::size_t counted = 0;
    for (const auto& c : channels) counted += c == "LFE" ? 0 : 1;
    for (const auto& c : channels)
        weights.push_back(c == "LFE" || counted == 0 ? 0.0f : 1.0f / static_cast<float>(counted));
    return weights;
}

struct MixerConfig {
    std::uint32_t graphRate = 48000;
    std::size_t maxSources = 256;
    std::size_t ringFrames = std::size_t{1} << 15;
    std::uint32_t maxCycleFrames = 8192;
};

class MixerSource {
public:
    explicit MixerSource(std::size_t capacity) : data_(capacity, 0.0f), mask_(capacity - 1) {}

    std::size_t readable() const { return write_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed); }

    void write(const float* const* planes, std::size_t planeCount, std::size_t n) {
        const std::size_t w = write_.load(std::memory_order_relaxed);
        const std::size_t space = data_.size() - (w - read_.load(std::memory_order_acquire));
        n = std::min(n, space);
        float weights[kMaxMixPorts];
        const std::size_t count = std::min(planeCount, kMaxMixPorts);
        for (std::size_t p = 0; p < count; ++p) weights[p] = p < kMaxMixPorts ? weights_[p].load(std::memory_order_relaxed) : 0;
        for (std::size_t i = 0; i < n; ++i) {
            float sum = 0;
            for (std::size_t p = 0; p < count; ++p)
                if (planes[p]) sum += planes[p][i] * weights[p];
            data_[(w + i) & mask_] = sum;
        }
        write_.store(w + n, std::memory_order_release);
        lastChunk.store(static_cast<std::uint32_t>(n), std::memory_order_relaxed);
    }

    std::size_t read(float* dst, std::size_t n) {
        const std::size_t r = read_.load(std::memory_order_relaxed);
        n = std::min(n, write_.load(std::memory_order_acquire) - r);
        for (std::size_t i = 0; i < n; ++i) dst[i] += data_[(r + i) & mask_];
        read_.store(r + n, std::memory_order_release);
        return n;
    }

    void skip(std::size_t n) {
        const std::size_t r = read_.load(std::memory_order_relaxed);
        n = std::min(n, write_.load(std::memory_order_acquire) - r);
        read_.store(r + n, std::memory_order_release);
    }

    std::atomic<float> weights_[kMaxMixPorts]{};
    std::atomic<std::uint32_t> lastChunk{0};
    bool primed = false;
    bool attached = false;

private:
    std::vector<float> data_;
    std::size_t mask_;
    std::atomic<std::size_t> write_{0};
    std::atomic<std::size_t> read_{0};
};

struct MixerSourceDeleter {
    void operator()(MixerSource* source) const { delete source; }
};
using MixerSourceHandle = std::unique_ptr<MixerSource, MixerSourceDeleter>;

class Mixer {
public:
    explicit Mixer(MixerConfig config = {}) : config_(config) { attached_.reserve(config_.maxSources); }

    MixerSourceHandle makeSource() const { return MixerSourceHandle(new MixerSource(config_.ringFrames)); }

    void setWeights(MixerSource& source, const std::vector<float>& weights) const {
        for (std::size_t p = 0; p < kMaxMixPorts; ++p)
            source.weights_[p].store(p < weights.size() ? weights[p] : 0.0f, std::memory_order_relaxed);
    }

    bool attach(MixerSource& source) {
        if (source.attached || attached_.size() >= config_.maxSources) return false;
        source.attached = true;
        source.primed = false;
        attached_.push_back(&source);
        return true;
    }

    void detach(MixerSource& source) {
        std::erase(attached_, &source);
        source.attached = false;
    }

    void push(MixerSource& source, const float* const* planes, std::size_t planeCount, std::uint32_t frames) {
        source.write(planes, planeCount, frames);
    }

    void mix(float* out, std::uint32_t frames) {
        std::fill(out, out + frames, 0.0f);
        for (MixerSource* source : attached_) {
            const std::size_t available = source->readable();
            const std::size_t chunk = source->lastChunk.load(std::memory_order_relaxed);
            const std::size_t lead = chunk + frames + std::max<std::size_t>(chunk, frames);
            if (!source->primed) {
                if (available < lead) continue;
                source->primed = true;
            }
            if (available > lead + 4 * std::max<std::size_t>(frames, lead)) source->skip(available - lead);
            if (source->read(out, frames) < frames) source->primed = false;
        }
    }

private:
    MixerConfig config_;
    std::vector<MixerSource*> attached_;
};

}  // namespace pimorlo::platform::linux_backend
