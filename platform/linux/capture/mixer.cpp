#include "platform/linux/capture/mixer.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <new>
#include <optional>

namespace pimorlo::platform::linux_backend {

// ---- downmix weights ------------------------------------------------------

namespace {

constexpr float kMinus3dB = 0.70710678f;

// A position's gain into the left and right of a stereo downmix.
struct SideGains {
    float left;
    float right;
};

std::optional<SideGains> sideGains(const std::string& name) {
    struct Entry {
        const char* name;
        SideGains gains;
    };
    // Front left and right full; centre into both sides at -3 dB; surrounds
    // and rears into their side at -3 dB; heights another 3 dB down from the
    // channel below them. The LFE has a position but no share of the mix.
    static constexpr Entry kTable[] = {
        {"FL", {1.0f, 0.0f}},
        {"FR", {0.0f, 1.0f}},
        {"FC", {kMinus3dB, kMinus3dB}},
        {"LFE", {0.0f, 0.0f}},
        {"LFE2", {0.0f, 0.0f}},
        {"SL", {kMinus3dB, 0.0f}},
        {"SR", {0.0f, kMinus3dB}},
        {"RL", {kMinus3dB, 0.0f}},
        {"RR", {0.0f, kMinus3dB}},
        {"RC", {kMinus3dB, kMinus3dB}},
        {"FLC", {1.0f, 0.0f}},
        {"FRC", {0.0f, 1.0f}},
        {"FLW", {1.0f, 0.0f}},
        {"FRW", {0.0f, 1.0f}},
        {"RLC", {kMinus3dB, 0.0f}},
        {"RRC", {0.0f, kMinus3dB}},
        {"FLH", {kMinus3dB, 0.0f}},
        {"FRH", {0.0f, kMinus3dB}},
        {"TFL", {kMinus3dB, 0.0f}},
        {"TFR", {0.0f, kMinus3dB}},
        {"TFC", {0.5f, 0.5f}},
        {"TC", {0.5f, 0.5f}},
        {"TRL", {0.5f, 0.0f}},
        {"TRR", {0.0f, 0.5f}},
        {"TRC", {0.5f, 0.5f}},
        {"TSL", {0.5f, 0.0f}},
        {"TSR", {0.0f, 0.5f}},
    };
    for (const Entry& entry : kTable) {
        if (name == entry.name) return entry.gains;
    }
    return std::nullopt;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool positioned(const std::string& name) { return name == "MONO" || sideGains(name).has_value(); }

bool isLfe(const std::string& name) { return name == "LFE" || name == "LFE2"; }

// Weights for ports that carry the positions they are named by: an ITU
// stereo downmix, then the average of its sides. Ports named by none of
// `layout` get 0; when nothing in `layout` has a position, its ports are
// averaged.
std::vector<float> weighByPosition(const std::vector<std::string>& ports, const std::vector<std::string>& layout) {
    const std::size_t n = ports.size();
    std::vector<float> weights(n, 0.0f);
    if (std::none_of(layout.begin(), layout.end(), positioned)) {
        std::size_t carried = 0;
        for (const std::string& name : ports) carried += contains(layout, name) ? 1 : 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (contains(layout, ports[i])) weights[i] = 1.0f / static_cast<float>(carried);
        }
        return weights;
    }
    float nonLfeSum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& name = ports[i];
        if (!contains(layout, name)) continue;
        if (name == "MONO") {
            weights[i] = 1.0f;
        } else if (auto gains = sideGains(name)) {
            weights[i] = 0.5f * (gains->left + gains->right);
        }
        if (!isLfe(name)) nonLfeSum += weights[i];
    }
    const bool referenced = contains(layout, "MONO") || (contains(layout, "FL") && contains(layout, "FR"));
    if (!referenced && nonLfeSum > 0.0f) {
        // No front pair to be the reference level: one signal on every port
        // it has arrives at its level.
        for (float& w : weights) w /= nonLfeSum;
    }
    return weights;
}

}  // namespace

std::vector<float> downmixWeights(const std::vector<std::string>& portChannels,
                                  const std::vector<std::string>& streamChannels, MonoDownmix monoDownmix) {
    const std::vector<std::string>& ports = portChannels;
    const std::vector<std::string>& stream = streamChannels;
    const std::size_t n = ports.size();
    std::vector<float> weights(n, 0.0f);
    if (n == 0) return weights;
    const bool portsPositioned = std::any_of(ports.begin(), ports.end(), positioned);

    // Unknown format: the ports say it all (right when the stream has their
    // layout, or what PipeWire added is silent).
    if (stream.empty()) return weighByPosition(ports, ports);

    // The stream's channels are all on the ports: they carry them as they
    // are, and the other ports only PipeWire's upmix.
    if (std::all_of(stream.begin(), stream.end(), [&](const std::string& c) { return contains(ports, c); }))
        return weighByPosition(ports, stream);

    // One channel: PipeWire copies it onto every port, and a low-pass may
    // shape what reaches the LFE and centre. Read it from the front pair,
    // else the other ports.
    if (stream.size() == 1) {
        const auto fl = std::find(ports.begin(), ports.end(), "FL");
        const auto fr = std::find(ports.begin(), ports.end(), "FR");
        if (fl != ports.end() && fr != ports.end()) {
            weights[static_cast<std::size_t>(fl - ports.begin())] = 0.5f;
            weights[static_cast<std::size_t>(fr - ports.begin())] = 0.5f;
            return weights;
        }
        std::size_t plain = 0;
        for (const std::string& name : ports) plain += !isLfe(name) && name != "FC" ? 1 : 0;
        for (std::size_t i = 0; i < n; ++i) {
            const bool use = plain > 0 ? !isLfe(ports[i]) && ports[i] != "FC" : !isLfe(ports[i]);
            if (use) weights[i] = 1.0f / static_cast<float>(plain > 0 ? plain : n);
        }
        return weights;
    }

    const bool streamPositioned = std::any_of(stream.begin(), stream.end(), positioned);
    if (!portsPositioned || !streamPositioned) {
        if (n == 1) {
            // PipeWire averages every channel into the one port.
            weights[0] = 1.0f;
            return weights;
        }
        // Without positions on one side PipeWire pairs the channels in
        // order: port k carries the stream's channel k.
        const std::size_t paired = std::min(n, stream.size());
        const std::vector<std::string> carried(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(paired));
        const auto own = weighByPosition(carried, carried);
        for (std::size_t k = 0; k < paired; ++k) weights[k] = own[k];
        return weights;
    }

    // PipeWire downmixed the stream onto the ports. Onto a front pair its
    // downmix is the one these weights assume, so the ports read as their
    // positions. Onto a mono port (or a lone centre) PipeWire up to 0.3.65
    // puts each side at -3 dB, the centre whole, the surrounds at -6 dB:
    // 1/sqrt(2) times the level the stream's own layout reads at. Later ones
    // average what they mix into it, and the port reads as it plays.
    if (!(contains(ports, "FL") && contains(ports, "FR"))) {
        const bool front = contains(stream, "FL") && contains(stream, "FR");
        for (std::size_t i = 0; i < n; ++i) {
            if (front && (ports[i] == "MONO" || ports[i] == "FC")) {
                weights[i] = monoDownmix == MonoDownmix::sidesAtMinus3dB ? kMinus3dB : 1.0f;
                return weights;
            }
        }
    }
    return weighByPosition(ports, ports);
}

// ---- sources ----------------------------------------------------------------

namespace {

// Half the interpolation filter's length: taps reach kHalfTaps - 1 frames
// behind the read position and kHalfTaps ahead.
constexpr int kHalfTaps = static_cast<int>(kInterpolationDelay);
constexpr int kTaps = 2 * kHalfTaps;
// Filter phases; coefficients between two phases are interpolated linearly,
// which at 256 phases keeps the error below -110 dB for content under 8 kHz.
constexpr int kPhases = 256;
// Kaiser window shape: with 16 taps the delay's error stays near -106 dB up
// to 12 kHz at 48 kHz, well below what the 16 kHz output keeps.
constexpr double kKaiserBeta = 12.0;
// The frames kept between pieces: the history behind the read position and
// the look-ahead already taken from the ring.
constexpr std::size_t kTailCapacity = 2 * kTaps + 4;

// Rate correction. The lead is smoothed over kLeadSmoothingSeconds; inside the
// dead band nothing changes (a source on the mix's own driver keeps a ratio of
// exactly 1); outside it a PI loop with a natural frequency of kLoopOmega
// rad/s and damping kLoopDamping moves the ratio, at most kMaxRateOffset off
// 1 (five times the 200 ppm a poor clock drifts).
constexpr double kLeadSmoothingSeconds = 0.25;
constexpr double kDeadBandSeconds = 0.25e-3;
constexpr double kLoopOmega = 0.5;
constexpr double kLoopDamping = 0.8;
constexpr double kMaxRateOffset = 1e-3;
// For this long after it starts or moves to another driver, a source's lead
// is taken as it comes and its ratio holds: a new stream's first cycles are
// irregular (the graph may change its quantum for it), and following that
// with the rate would only bend its pitch. From kEstimateDelaySeconds in, the
// slope of its lead says how far its clock is from the mix's, and the ratio
// starts from there: followed within a few ppm as the settling ends.
constexpr double kSettleSeconds = 1.0;
constexpr double kEstimateDelaySeconds = 0.25;
constexpr std::uint32_t kMinEstimateCycles = 8;
// Drift at the correction's bound moves the lead by a frame in a thousand; a
// change of more than this between two cycles is a step.
constexpr double kStepFrames = 16;
// Beyond this much over its lead, a source is brought back at once: the mix
// stalled while it kept pushing, and correcting that smoothly would take
// minutes.
constexpr double kMaxExcessSeconds = 0.1;
// Lead kept beyond what the mix reads in a cycle, against a producer on
// another driver pushing a little late.
constexpr double kStartMarginSeconds = 1e-3;
// A push whose cycle began more than half a chunk after the previous push's
// cycle ended says its node lost the cycles between (the link held a newer
// buffer by the time it ran); up to this many chunks of them are read as
// silence where they fell. A longer gap is a stream that paused or stalled:
// it has run dry by then and primes again.
constexpr std::uint32_t kMaxLostChunks = 4;
// Gaps marked and not yet read, per source.
constexpr std::size_t kGapSlots = 4;

double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 64; ++k) {
        term *= (x / 2.0) / k;
        sum += term * term;
    }
    return sum;
}

std::vector<float> makeKernel() {
    std::vector<float> kernel(static_cast<std::size_t>(kPhases + 1) * kTaps);
    const double norm = besselI0(kKaiserBeta);
    for (int p = 0; p <= kPhases; ++p) {
        const double frac = static_cast<double>(p) / kPhases;
        for (int k = 0; k < kTaps; ++k) {
            const double t = (k - kHalfTaps + 1) - frac;
            const double sinc = t == 0.0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t);
            const double u = t / kHalfTaps;
            const double window = std::fabs(u) >= 1.0 ? 0.0 : besselI0(kKaiserBeta * std::sqrt(1.0 - u * u)) / norm;
            kernel[static_cast<std::size_t>(p) * kTaps + k] = static_cast<float>(sinc * window);
        }
    }
    return kernel;
}

// Weights handed from the control thread to the pushing thread without a
// lock: three slots, the middle one exchanged atomically, so neither side
// ever reads a slot the other is writing.
struct WeightSet {
    std::uint32_t count = 0;
    bool set = false;
    std::array<float, kMaxMixPorts> values{};
};

constexpr std::uint32_t kFresh = 4;

}  // namespace

class MixerSource {
public:
    explicit MixerSource(std::size_t ringFrames) : ring(ringFrames, 0.0f), mask(ringFrames - 1) {}

    // ---- the ring: one producer (push), one consumer (mix) ----
    std::vector<float> ring;
    std::size_t mask;
    std::atomic<std::uint64_t> writeIndex{0};
    std::atomic<std::uint64_t> readIndex{0};

    std::size_t readable() const {
        return static_cast<std::size_t>(writeIndex.load(std::memory_order_acquire) -
                                        readIndex.load(std::memory_order_relaxed));
    }

    // ---- weights ----
    std::array<WeightSet, 3> weightSlots{};
    std::atomic<std::uint32_t> middle{1};
    std::uint32_t back = 2;   // control thread
    std::uint32_t front = 0;  // pushing thread

    // ---- gaps: cycles the producer's node lost, marked by push, read by
    // mix as silence at the ring index where they fell ----
    struct Gap {
        std::atomic<std::uint64_t> at{0};
        std::atomic<std::uint32_t> frames{0};  // taken by mix, or cut back by push
    };
    std::array<Gap, kGapSlots> gaps;
    std::atomic<std::uint64_t> gapsMarked{0};  // written by push
    std::atomic<std::uint64_t> gapsRead{0};    // written by mix

    // ---- push thread only ----
    std::int64_t lastCycleNs = kReadClock;
    std::uint32_t lastFrames = 0;
    std::uint32_t framesBefore = 0;  // of the push before the last
    std::uint32_t lastDriver = kUnknownDriver;
    bool gapAtLastPush = false;  // the last push marked a gap before its frames

    // ---- written by push, read by mix ----
    std::atomic<std::int64_t> lastPushNs{0};
    std::atomic<std::uint32_t> lastChunk{0};
    std::atomic<std::uint32_t> driver{kUnknownDriver};  // of the last push
    std::atomic<std::uint64_t> clock{kUnknownClock};    // of the last push
    // When the frames now buffered began to arrive into an empty ring.
    std::atomic<std::int64_t> firstPendingNs{0};
    std::atomic<std::uint64_t> droppedFrames{0};

    // ---- mix thread only ----
    bool attached = false;
    bool primed = false;
    bool leadKnown = false;
    std::array<float, kTailCapacity> tail{};
    std::size_t tailLength = 0;
    std::size_t pendingSilence = 0;  // frames of silence still to read before the ring
    double position = 0;  // read position within tail + new frames
    double ratio = 1.0;
    double integral = 0;  // the loop's integral term, as a rate offset
    double lead = 0;      // smoothed
    double target = 0;
    double safeLead = 0;      // the least lead that covers a cycle's read
    double lastLead = 0;      // unsmoothed, at the last regular cycle
    std::uint32_t driverSeen = kUnknownDriver;
    std::int64_t settleUntilNs = 0;
    bool settleToSafe = false;
    // The lead against time while settling: a least-squares slope.
    std::int64_t estimateFromNs = 0;
    std::uint32_t estimateCount = 0;
    double sumT = 0, sumL = 0, sumTT = 0, sumTL = 0;

    void addEstimate(double t, double value) {
        if (estimateCount == 0) sumT = sumL = sumTT = sumTL = 0;
        ++estimateCount;
        sumT += t;
        sumL += value;
        sumTT += t * t;
        sumTL += t * value;
    }
    double slope() const {
        const double n = estimateCount;
        const double d = n * sumTT - sumT * sumT;
        return d > 0 ? (n * sumTL - sumT * sumL) / d : 0.0;
    }
    std::uint64_t underruns = 0;
    std::uint64_t skippedFrames = 0;
    std::uint64_t lostFrames = 0;

    // Mix thread: the next gap not yet read, or null. Gaps behind the read
    // position (skipped over, or left from before the source primed again)
    // are dropped.
    Gap* nextGap() {
        const std::uint64_t marked = gapsMarked.load(std::memory_order_acquire);
        const std::uint64_t r = readIndex.load(std::memory_order_relaxed);
        std::uint64_t i = gapsRead.load(std::memory_order_relaxed);
        for (; i < marked; ++i) {
            Gap& gap = gaps[i % kGapSlots];
            if (gap.at.load(std::memory_order_relaxed) >= r) {
                gapsRead.store(i, std::memory_order_release);
                return &gap;
            }
            gap.frames.store(0, std::memory_order_relaxed);
        }
        gapsRead.store(i, std::memory_order_release);
        return nullptr;
    }
    // Mix thread: the silence of the gap at the read position, taken.
    std::uint32_t takeGap(Gap& gap) {
        const std::uint32_t frames = gap.frames.exchange(0, std::memory_order_acq_rel);
        gapsRead.store(gapsRead.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        return frames;
    }
    // Mix thread: what the marked gaps still add to the lead.
    std::size_t gapFrames() const {
        const std::uint64_t marked = gapsMarked.load(std::memory_order_acquire);
        const std::uint64_t r = readIndex.load(std::memory_order_relaxed);
        std::size_t frames = 0;
        for (std::uint64_t i = gapsRead.load(std::memory_order_relaxed); i < marked; ++i) {
            const Gap& gap = gaps[i % kGapSlots];
            if (gap.at.load(std::memory_order_relaxed) >= r) frames += gap.frames.load(std::memory_order_relaxed);
        }
        return frames;
    }
    void dropGaps() {
        while (Gap* gap = nextGap()) takeGap(*gap);
    }
};

namespace {

void settle(MixerSource& s, std::int64_t now, bool toSafe) {
    s.settleUntilNs = now + static_cast<std::int64_t>(kSettleSeconds * 1e9);
    s.settleToSafe = toSafe;
    s.estimateFromNs = now + static_cast<std::int64_t>(kEstimateDelaySeconds * 1e9);
    s.estimateCount = 0;
}

}  // namespace

void MixerSourceDeleter::operator()(MixerSource* source) const { delete source; }

std::uint64_t clockIdentity(const char* name, std::size_t maxLength) {
    // FNV-1a over the name; 0 is kept for no name.
    std::uint64_t hash = 14695981039346656037ull;
    std::size_t length = 0;
    for (; name != nullptr && length < maxLength && name[length] != '\0'; ++length) {
        hash = (hash ^ static_cast<unsigned char>(name[length])) * 1099511628211ull;
    }
    return length == 0 ? kUnknownClock : (hash == kUnknownClock ? 1 : hash);
}

Mixer::Mixer(MixerConfig config) : config_(std::move(config)), kernel_(makeKernel()) {
    if (config_.graphRate == 0) config_.graphRate = 48000;
    if (config_.maxCycleFrames == 0) config_.maxCycleFrames = 8192;
    std::size_t ring = 1;
    while (ring < std::max<std::size_t>(config_.ringFrames, 2)) ring <<= 1;
    config_.ringFrames = ring;
    // The most one piece reads at the fastest ratio, plus the tail.
    work_.resize(static_cast<std::size_t>(std::ceil(config_.maxCycleFrames * (1.0 + kMaxRateOffset))) +
                 kTailCapacity + 4);
    attached_.reserve(config_.maxSources);
}

Mixer::~Mixer() = default;

std::int64_t Mixer::now() const {
    if (config_.clock) return config_.clock();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

MixerSourceHandle Mixer::makeSource() const {
    try {
        return MixerSourceHandle(new MixerSource(config_.ringFrames));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Mixer::setWeights(MixerSource& source, const std::vector<float>& weights) const {
    WeightSet& slot = source.weightSlots[source.back];
    slot.count = static_cast<std::uint32_t>(std::min(weights.size(), kMaxMixPorts));
    slot.set = true;
    std::fill(slot.values.begin(), slot.values.end(), 0.0f);
    std::copy_n(weights.begin(), slot.count, slot.values.begin());
    source.back = source.middle.exchange(source.back | kFresh, std::memory_order_acq_rel) & 3u;
}

bool Mixer::attach(MixerSource& source) {
    if (source.attached || attached_.size() >= config_.maxSources) return false;
    source.attached = true;
    source.primed = false;
    attached_.push_back(&source);
    return true;
}

void Mixer::detach(MixerSource& source) {
    auto it = std::find(attached_.begin(), attached_.end(), &source);
    if (it == attached_.end()) return;
    *it = attached_.back();
    attached_.pop_back();
    source.attached = false;
    source.primed = false;
}

void Mixer::push(MixerSource& source, const float* const* planes, std::size_t planeCount, std::uint32_t frames,
                 std::int64_t cycleNs, std::uint32_t driver, std::uint64_t clock) {
    if (source.middle.load(std::memory_order_relaxed) & kFresh) {
        source.front = source.middle.exchange(source.front, std::memory_order_acq_rel) & 3u;
    }
    const WeightSet& weights = source.weightSlots[source.front];
    planeCount = std::min(planeCount, kMaxMixPorts);
    // Until the glue says where its ports are, a source's ports are averaged.
    std::array<float, kMaxMixPorts> gain{};
    for (std::size_t p = 0; p < planeCount; ++p) {
        if (!weights.set) gain[p] = 1.0f / static_cast<float>(planeCount);
        else gain[p] = p < weights.count ? weights.values[p] : 0.0f;
    }

    const std::int64_t t = cycleNs == kReadClock ? now() : cycleNs;
    const std::uint64_t w = source.writeIndex.load(std::memory_order_relaxed);
    const std::uint64_t r = source.readIndex.load(std::memory_order_acquire);
    const std::size_t used = static_cast<std::size_t>(w - r);
    const std::size_t room = source.ring.size() - used;
    const std::size_t n = std::min<std::size_t>(frames, room);
    for (std::size_t i = 0; i < n; ++i) source.ring[(w + i) & source.mask] = 0.0f;
    for (std::size_t p = 0; p < planeCount; ++p) {
        const float* plane = planes ? planes[p] : nullptr;
        if (plane == nullptr || gain[p] == 0.0f) continue;
        const float g = gain[p];
        for (std::size_t i = 0; i < n; ++i) source.ring[(w + i) & source.mask] += g * plane[i];
    }
    markLostCycles(source, w, frames, cycleNs, driver);
    if (used == 0) source.firstPendingNs.store(t, std::memory_order_relaxed);
    source.writeIndex.store(w + n, std::memory_order_release);
    source.lastChunk.store(frames, std::memory_order_relaxed);
    source.driver.store(driver, std::memory_order_relaxed);
    source.clock.store(clock, std::memory_order_relaxed);
    source.lastPushNs.store(t, std::memory_order_release);
    if (n < frames) source.droppedFrames.fetch_add(frames - n, std::memory_order_relaxed);
}

void Mixer::markLostCycles(MixerSource& source, std::uint64_t at, std::uint32_t frames, std::int64_t cycleNs,
                           std::uint32_t driver) {
    // Only a steady producer tells: the last push is taken for a whole cycle
    // when it is as long as the one before it (a stream's first buffer may be
    // short, and a changed quantum changes both).
    const double change = std::fabs(static_cast<double>(source.lastFrames) - source.framesBefore);
    const bool steady = source.lastFrames > 0 && change <= 0.01 * source.lastFrames + 1;
    const bool comparable = cycleNs != kReadClock && source.lastCycleNs != kReadClock &&
                            driver == source.lastDriver && steady;
    if (comparable && cycleNs <= source.lastCycleNs) {
        // A second buffer in one cycle: the node, woken late, ran once for the
        // cycle it missed and once for this one, so the cycle the last push
        // took for lost was not. Its gap is cut back by what came.
        if (source.gapAtLastPush) {
            auto& gap = source.gaps[(source.gapsMarked.load(std::memory_order_relaxed) - 1) % kGapSlots];
            std::uint32_t left = gap.frames.load(std::memory_order_relaxed);
            while (left > 0 && !gap.frames.compare_exchange_weak(left, left > frames ? left - frames : 0,
                                                                 std::memory_order_acq_rel)) {
            }
        }
    } else {
        source.gapAtLastPush = false;
        if (comparable) {
            const double missing = static_cast<double>(cycleNs - source.lastCycleNs) * config_.graphRate / 1e9 -
                                   source.lastFrames;
            const std::uint64_t marked = source.gapsMarked.load(std::memory_order_relaxed);
            if (missing >= 0.5 * source.lastFrames && missing <= kMaxLostChunks * source.lastFrames &&
                marked - source.gapsRead.load(std::memory_order_acquire) < kGapSlots) {
                auto& gap = source.gaps[marked % kGapSlots];
                gap.at.store(at, std::memory_order_relaxed);
                gap.frames.store(static_cast<std::uint32_t>(std::llround(missing)), std::memory_order_relaxed);
                source.gapsMarked.store(marked + 1, std::memory_order_release);
                source.gapAtLastPush = true;
            }
        }
        source.lastCycleNs = cycleNs;
    }
    source.framesBefore = source.lastFrames;
    source.lastFrames = frames;
    source.lastDriver = driver;
}

void Mixer::mix(float* out, std::uint32_t frames, std::int64_t cycleNs, std::uint32_t driver, std::uint64_t clock) {
    if (frames == 0) return;
    std::fill(out, out + frames, 0.0f);
    const std::int64_t t = cycleNs == kReadClock ? now() : cycleNs;
    driver_ = driver;
    clock_ = clock;
    for (MixerSource* source : attached_) mixSource(*source, out, frames, t);
}

void Mixer::mixSource(MixerSource& s, float* out, std::uint32_t frames, std::int64_t now) {
    const double rate = config_.graphRate;
    const double cycleNs = frames * 1e9 / rate;
    std::size_t available = s.readable();

    if (!s.primed) {
        if (available == 0) return;
        // Frames that arrived within the last quarter cycle came in this very
        // cycle, before the mix: waiting one cycle for them costs no more than
        // the other order of nodes does, and keeps a change of that order from
        // leaving a hole. A short cycle's worth that has waited a whole cycle
        // is played as it is.
        const double age = static_cast<double>(now - s.firstPendingNs.load(std::memory_order_relaxed));
        if (age < cycleNs / 4) return;
        if (available < frames && age < cycleNs) return;
        s.primed = true;
        s.leadKnown = false;
        // Its lead is made afresh; gaps marked before are behind it.
        s.dropGaps();
        std::fill(s.tail.begin(), s.tail.end(), 0.0f);
        s.tailLength = 2 * kHalfTaps - 1;
        s.position = kHalfTaps - 1;
    }

    // The lead: what is buffered ahead of the read position, plus what the
    // producer has made since its last push (assuming it produces evenly),
    // minus that last push. Unlike the buffered frames alone, it does not jump
    // with the producer's chunks, so producers on other drivers need no slow
    // filtering to be followed.
    const std::int64_t sincePush = now - s.lastPushNs.load(std::memory_order_acquire);
    const double chunk = s.lastChunk.load(std::memory_order_relaxed);
    const double produced = std::clamp(static_cast<double>(sincePush) * rate / 1e9, 0.0, chunk);
    // The silence of cycles its node lost counts as what it delivered.
    const std::size_t ahead = available + s.pendingSilence + s.gapFrames();
    double lead = static_cast<double>(ahead) + (static_cast<double>(s.tailLength) - s.position) + produced - chunk;

    // Which clock the source follows. One that names the mix's driver, or
    // the clock that times it, is on the mix's clock: its rate is the mix's,
    // whatever its lead does.
    const std::uint32_t driver = s.driver.load(std::memory_order_relaxed);
    const std::uint64_t clock = s.clock.load(std::memory_order_relaxed);
    const bool onMixClock =
        (driver != kUnknownDriver && driver == driver_) || (clock != kUnknownClock && clock == clock_);
    if (onMixClock && s.position != std::floor(s.position)) {
        // Back on the mix's clock after being resampled: the read position
        // comes back to a whole frame (a shift of less than half a frame,
        // once), so that the copy is sample for sample again.
        s.position = std::floor(s.position + 0.5);
        lead = static_cast<double>(ahead) + (static_cast<double>(s.tailLength) - s.position) + produced - chunk;
    }
    const double safe = (1.0 + config_.spareCycles) * frames + kHalfTaps + kStartMarginSeconds * rate;
    if (!s.leadKnown) {
        // The lead must cover a whole cycle's read even just before the
        // producer's next push, and the spare cycles. A source that primes
        // with less starts that much later, silent until then, so its lead is
        // whole from the start and the loop only has drift to follow.
        const double room = std::max((1.0 + config_.spareCycles) * frames - kHalfTaps - 1.0, 0.0);
        const double deficit = std::clamp(std::ceil(safe - lead), 0.0, room);
        s.pendingSilence = static_cast<std::size_t>(deficit);
        lead += deficit;
        s.leadKnown = true;
        s.lead = lead;
        s.target = lead;
        s.lastLead = lead;
        s.safeLead = safe;
        s.driverSeen = driver;
        // Whatever clock it followed before it stopped, it starts afresh.
        s.integral = 0;
        s.ratio = 1.0;
        settle(s, now, true);
    } else if (static_cast<double>(sincePush) * rate / 1e9 > 1.5 * chunk ||
               static_cast<double>(ahead) < frames * s.ratio) {
        // The producer is late or stalled, which says nothing about its clock:
        // what it had is played as it was.
    } else {
        if (driver != s.driverSeen) {
            // Moved to another driver: its rate against the mix is unknown
            // again. Its lead moves with the move; that is taken below as a
            // step.
            s.driverSeen = driver;
            s.integral = 0;
            settle(s, now, false);
        }
        // A change of the lead between two cycles larger than any drift makes
        // (a quantum or a chunk that changed, a cycle one node missed, a move)
        // is a step: the target takes it, so it is kept as it is rather than
        // worked off by bending the pitch. Beyond what the spare allows (the
        // mix stalled while the source kept pushing), the excess is skipped.
        const double step = lead - s.lastLead;
        if (std::fabs(step) > kStepFrames) {
            if (lead - std::max(safe, s.target) > kMaxExcessSeconds * rate) {
                const double keep = std::max(safe, s.target);
                const auto skip = std::min(available, static_cast<std::size_t>(lead - keep));
                s.readIndex.store(s.readIndex.load(std::memory_order_relaxed) + skip, std::memory_order_release);
                available -= skip;
                s.skippedFrames += skip;
                lead -= static_cast<double>(skip);
                s.lead = lead;
            } else {
                s.target += step;
                s.lead += step;
            }
            s.estimateCount = 0;  // a slope across a step means nothing
        }
        s.lastLead = lead;
        const double dt = frames / rate;
        s.lead += (1.0 - std::exp(-dt / kLeadSmoothingSeconds)) * (lead - s.lead);
        if (onMixClock) {
            // One clock: nothing to follow.
            s.integral = 0;
            s.ratio = 1.0;
            if (now < s.settleUntilNs) s.target = lead;
        } else if (now < s.settleUntilNs) {
            // Settling: the ratio holds while the lead's slope tells how far
            // the producer's clock is from the mix's.
            s.lead = lead;
            s.target = s.settleToSafe ? std::max(lead, s.safeLead) : lead;
            if (now >= s.estimateFromNs) s.addEstimate(static_cast<double>(now - s.estimateFromNs) / 1e9, lead);
        } else {
            if (s.estimateCount >= kMinEstimateCycles) {
                // The slope, in frames per second, is the rate the ratio
                // still lacks. Below a ppm there is nothing to follow.
                const double offset = s.slope() / rate;
                if (std::fabs(offset) >= 1e-6)
                    s.integral = std::clamp(s.integral + offset, -kMaxRateOffset, kMaxRateOffset);
            }
            s.estimateCount = 0;
            double error = s.lead - s.target;
            const double band = kDeadBandSeconds * rate;
            error = error > band ? error - band : (error < -band ? error + band : 0.0);
            const double ki = kLoopOmega * kLoopOmega / rate;
            const double kp = 2.0 * kLoopDamping * kLoopOmega / rate;
            s.integral = std::clamp(s.integral + ki * error * dt, -kMaxRateOffset, kMaxRateOffset);
            s.ratio = 1.0 + std::clamp(s.integral + kp * error, -kMaxRateOffset, kMaxRateOffset);
        }
    }

    const float* kernel = kernel_.data();
    float* work = work_.data();
    std::uint32_t done = 0;
    while (done < frames) {
        const std::uint32_t m = std::min(frames - done, config_.maxCycleFrames);
        // The piece reads input up to the last output's look-ahead.
        const double lastPosition = s.position + (m - 1) * s.ratio;
        const std::size_t needed = static_cast<std::size_t>(std::floor(lastPosition)) + kHalfTaps + 1;
        std::copy_n(s.tail.begin(), s.tailLength, work);
        std::size_t filled = s.tailLength;
        while (filled < needed) {
            if (s.pendingSilence > 0) {
                const std::size_t silence = std::min(s.pendingSilence, needed - filled);
                std::fill(work + filled, work + filled + silence, 0.0f);
                s.pendingSilence -= silence;
                filled += silence;
                continue;
            }
            const std::uint64_t r = s.readIndex.load(std::memory_order_relaxed);
            std::size_t take = std::min(needed - filled, available);
            if (MixerSource::Gap* gap = s.nextGap()) {
                const std::uint64_t at = gap->at.load(std::memory_order_relaxed);
                if (at == r) {
                    const std::uint32_t lost = s.takeGap(*gap);
                    s.pendingSilence += lost;
                    s.lostFrames += lost;
                    continue;
                }
                take = static_cast<std::size_t>(std::min<std::uint64_t>(take, at - r));
            }
            if (take == 0) break;
            for (std::size_t i = 0; i < take; ++i) work[filled + i] = s.ring[(r + i) & s.mask];
            s.readIndex.store(r + take, std::memory_order_release);
            available -= take;
            filled += take;
        }
        const bool dry = filled < needed;
        // Ran dry: the frames it had are played, silence follows.
        if (dry) std::fill(work + filled, work + needed, 0.0f);

        float* o = out + done;
        const double frac0 = s.position - std::floor(s.position);
        if (s.ratio == 1.0 && frac0 == 0.0) {
            const auto base = static_cast<std::size_t>(s.position);
            for (std::uint32_t i = 0; i < m; ++i) o[i] += work[base + i];
        } else {
            for (std::uint32_t i = 0; i < m; ++i) {
                const double p = s.position + i * s.ratio;
                const double whole = std::floor(p);
                const double phase = (p - whole) * kPhases;
                const int row = std::min(static_cast<int>(phase), kPhases - 1);
                const auto mu = static_cast<float>(phase - row);
                const float* c0 = kernel + static_cast<std::size_t>(row) * kTaps;
                const float* c1 = c0 + kTaps;
                const float* x = work + static_cast<std::size_t>(whole) - (kHalfTaps - 1);
                float acc = 0.0f;
                for (int k = 0; k < kTaps; ++k) acc += x[k] * (c0[k] + mu * (c1[k] - c0[k]));
                o[i] += acc;
            }
        }

        // Keep what the next piece still needs: the history behind the new
        // read position and the look-ahead already taken.
        const double next = s.position + m * s.ratio;
        const auto keepFrom = static_cast<std::size_t>(std::floor(next)) - (kHalfTaps - 1);
        const std::size_t length = needed - std::min(keepFrom, needed);
        std::copy_n(work + keepFrom, length, s.tail.begin());
        s.tailLength = length;
        s.position = next - static_cast<double>(keepFrom);
        done += m;

        if (dry) {
            ++s.underruns;
            s.primed = false;
            // Whatever came in since is mixed once it is old enough to prime.
            break;
        }
    }
}

Mixer::SourceState Mixer::state(const MixerSource& source) const {
    SourceState state;
    state.attached = source.attached;
    state.primed = source.primed;
    state.ratio = source.ratio;
    state.leadFrames = source.lead;
    state.bufferedFrames = source.readable();
    state.sourcePosition = static_cast<double>(source.readIndex.load(std::memory_order_relaxed)) -
                           static_cast<double>(source.tailLength + source.pendingSilence) + source.position;
    state.underruns = source.underruns;
    state.droppedFrames = source.droppedFrames.load(std::memory_order_relaxed);
    state.skippedFrames = source.skippedFrames;
    state.lostFrames = source.lostFrames;
    return state;
}

}  // namespace pimorlo::platform::linux_backend
