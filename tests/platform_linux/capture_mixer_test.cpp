// The capture's mixer against simulated producers and drivers: a virtual
// clock, a mix that runs on its own cycles and sources that push on theirs
// (the same driver, or another one with its own cycle length, phase and rate).
#include "platform/linux/capture/mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pimorlo::platform::linux_backend {
namespace {

constexpr double kRate = 48000;

// ---- downmix weights ----

struct WeightCase {
    const char* what;
    std::vector<std::string> ports;
    std::vector<std::string> stream;
    std::vector<float> expected;
};

TEST(DownmixWeights, FollowTheChannelPositions) {
    const float h = 0.70710678f;  // -3 dB
    const float q = 0.35355339f;  // a surround: -3 dB into one of two sides
    const std::vector<WeightCase> cases = {
        {"mono", {"MONO"}, {}, {1}},
        {"stereo", {"FL", "FR"}, {}, {0.5f, 0.5f}},
        {"5.1", {"FL", "FR", "FC", "LFE", "RL", "RR"}, {}, {0.5f, 0.5f, h, 0, q, q}},
        {"5.1 with side surrounds", {"FL", "FR", "FC", "LFE", "SL", "SR"}, {}, {0.5f, 0.5f, h, 0, q, q}},
        {"7.1", {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"}, {}, {0.5f, 0.5f, h, 0, q, q, q, q}},
        {"stereo stream on 5.1 ports", {"FL", "FR", "FC", "LFE", "RL", "RR"}, {"FL", "FR"}, {0.5f, 0.5f, 0, 0, 0, 0}},
        {"mono stream copied onto a stereo sink", {"FL", "FR"}, {"MONO"}, {0.5f, 0.5f}},
        {"5.1 stream already downmixed to stereo", {"FL", "FR"}, {"FL", "FR", "FC", "LFE", "RL", "RR"}, {0.5f, 0.5f}},
        {"auxiliary ports only", {"AUX0", "AUX1", "AUX2", "AUX3"}, {}, {0.25f, 0.25f, 0.25f, 0.25f}},
        {"unknown names only", {"", "XYZ"}, {}, {0.5f, 0.5f}},
        {"auxiliary beside a stereo pair", {"FL", "FR", "AUX0"}, {}, {0.5f, 0.5f, 0}},
        {"a lone centre", {"FC"}, {}, {1}},
        {"stereo stream on a mono port", {"MONO"}, {"FL", "FR"}, {1}},
        {"mono stream on 5.1 ports", {"FL", "FR", "FC", "LFE", "RL", "RR"}, {"MONO"}, {0.5f, 0.5f, 0, 0, 0, 0}},
        {"mono stream on auxiliary ports", {"AUX0", "AUX1", "AUX2", "AUX3"}, {"MONO"}, {0.25f, 0.25f, 0.25f, 0.25f}},
        {"stereo stream paired onto auxiliary ports", {"AUX0", "AUX1", "AUX2", "AUX3"}, {"FL", "FR"}, {0.5f, 0.5f, 0, 0}},
        {"auxiliary stream paired onto a front pair", {"FL", "FR"}, {"AUX0", "AUX1", "AUX2"}, {0.5f, 0.5f}},
        {"centre and LFE", {"FC", "LFE"}, {}, {1, 0}},
        {"no ports", {}, {}, {}},
    };
    for (const auto& c : cases) {
        const auto weights = downmixWeights(c.ports, c.stream);
        ASSERT_EQ(weights.size(), c.expected.size()) << c.what;
        for (std::size_t i = 0; i < weights.size(); ++i) EXPECT_NEAR(weights[i], c.expected[i], 1e-6) << c.what << " port " << i;
    }
}

// What PipeWire's converter (channelmix, as of 0.3.65 and 1.4) puts on the
// ports of a stream fitted to its sink, as mono signals: each port is a sum of
// the stream's channels. A one-channel stream is copied onto every port (onto
// the front pair, at least); onto a front pair the centre and surrounds come
// at -3 dB; side surrounds onto rear ones at -3 dB; without positions on one
// side the channels are paired in order. Into a lone mono port 0.3.65 puts a
// missing front pair at -3 dB, the centre whole, rear and side surrounds at
// -6 dB; 0.3.66 and later scale what they put there to an average.
struct Fitted {
    const char* what;
    std::vector<std::string> stream;
    std::vector<std::string> ports;
    std::vector<std::vector<float>> matrix;  // [port][stream channel]
    MonoDownmix monoDownmix = MonoDownmix::averaged;
    // Off by at most this fraction. PipeWire folds a 7.1 stream's side
    // surrounds into a 5.1 sink's rear ones at -3 dB, where no port can be
    // told apart again: the surrounds then read 3 dB low.
    double tolerance = 0.01;
};
constexpr MonoDownmix kOld = MonoDownmix::sidesAtMinus3dB;

TEST(DownmixWeights, EveryLayoutOnEverySinkReadsAtTheStreamsOwnLevel) {
    const float h = 0.70710678f;
    const std::vector<std::string> mono = {"MONO"}, stereo = {"FL", "FR"}, s51 = {"FL", "FR", "FC", "LFE", "RL", "RR"},
                                   s71 = {"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"},
                                   aux2 = {"AUX0", "AUX1"}, aux8 = {"AUX0", "AUX1", "AUX2", "AUX3", "AUX4", "AUX5", "AUX6", "AUX7"};
    auto identity = [](std::size_t n) {
        std::vector<std::vector<float>> m(n, std::vector<float>(n, 0.0f));
        for (std::size_t i = 0; i < n; ++i) m[i][i] = 1.0f;
        return m;
    };
    auto copies = [](std::size_t ports) { return std::vector<std::vector<float>>(ports, std::vector<float>{1.0f}); };
    // Ports paired in order with the first channels of the stream.
    auto paired = [](std::size_t ports, std::size_t channels) {
        std::vector<std::vector<float>> m(ports, std::vector<float>(channels, 0.0f));
        for (std::size_t i = 0; i < std::min(ports, channels); ++i) m[i][i] = 1.0f;
        return m;
    };
    // A stereo (5.1, 7.1) stream on a sink with all its positions: its own
    // channels as they are, the sink's others filled by PipeWire's upmix.
    auto upmixed = [&](std::size_t ports, std::size_t channels) {
        auto m = paired(ports, channels);
        for (std::size_t i = channels; i < ports; ++i) m[i][0] = m[i][1] = h;
        return m;
    };
    const Fitted cases[] = {
        {"mono on mono", mono, mono, identity(1)},
        {"mono on stereo", mono, stereo, copies(2)},
        {"mono on 5.1", mono, s51, copies(6)},
        {"mono on 7.1", mono, s71, copies(8)},
        {"mono on 8 AUX", mono, aux8, copies(8)},
        {"stereo on mono (0.3.65)", stereo, mono, {{h, h}}, kOld},
        {"stereo on mono", stereo, mono, {{0.5f, 0.5f}}},
        {"stereo on stereo", stereo, stereo, identity(2)},
        {"stereo on 5.1", stereo, s51, upmixed(6, 2)},
        {"stereo on 7.1", stereo, s71, upmixed(8, 2)},
        {"stereo on 2 AUX", stereo, aux2, paired(2, 2)},
        {"stereo on 8 AUX", stereo, aux8, paired(8, 2)},
        {"5.1 on mono (0.3.65)", s51, mono, {{h, h, 1, 0, 0.5f, 0.5f}}, kOld},
        {"5.1 on stereo", s51, stereo, {{1, 0, h, 0, h, 0}, {0, 1, h, 0, 0, h}}},
        {"5.1 on 5.1", s51, s51, identity(6)},
        {"5.1 on 7.1", s51, s71, upmixed(8, 6)},
        {"5.1 on 8 AUX", s51, aux8, paired(8, 6)},
        {"7.1 on mono (0.3.65)", s71, mono, {{h, h, 1, 0, 0.5f, 0.5f, 0.5f, 0.5f}}, kOld},
        {"7.1 on stereo", s71, stereo, {{1, 0, h, 0, h, 0, h, 0}, {0, 1, h, 0, 0, h, 0, h}}},
        {"7.1 on 5.1", s71, s51,
         {{1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0, 0, 0}, {0, 0, 0, 1, 0, 0, 0, 0},
          {0, 0, 0, 0, 1, 0, h, 0}, {0, 0, 0, 0, 0, 1, 0, h}},
         MonoDownmix::averaged,
         0.08},
        {"7.1 on 7.1", s71, s71, identity(8)},
        {"7.1 on 2 AUX", s71, aux2, paired(2, 8)},
        {"3 AUX on stereo", {"AUX0", "AUX1", "AUX2"}, stereo, paired(2, 3)},
        {"3 AUX on 3 AUX", {"AUX0", "AUX1", "AUX2"}, {"AUX0", "AUX1", "AUX2"}, identity(3)},
        {"3 AUX on mono", {"AUX0", "AUX1", "AUX2"}, mono, {{1.0f / 3, 1.0f / 3, 1.0f / 3}}},
    };
    // Signals: the same on every channel, the front pair alone, dialogue on
    // the centre alone (where there is one).
    for (const auto& c : cases) {
        const auto weights = downmixWeights(c.ports, c.stream, c.monoDownmix);
        // What PipeWire drops (channels beyond the ports it pairs with) is
        // not played: the level wanted is that of the channels it carries.
        std::vector<std::size_t> carried;
        std::vector<std::string> carriedNames;
        for (std::size_t j = 0; j < c.stream.size(); ++j) {
            if (std::any_of(c.matrix.begin(), c.matrix.end(), [&](const auto& row) { return row[j] != 0; })) {
                carried.push_back(j);
                carriedNames.push_back(c.stream[j]);
            }
        }
        const auto own = downmixWeights(carriedNames, carriedNames);
        ASSERT_EQ(weights.size(), c.ports.size()) << c.what;
        std::vector<std::vector<float>> signals = {std::vector<float>(c.stream.size(), 0.3f)};
        if (c.stream.size() >= 2 && c.stream[0] == "FL") {
            std::vector<float> front(c.stream.size(), 0.0f);
            front[0] = front[1] = 0.3f;
            signals.push_back(front);
        }
        if (c.stream.size() >= 3 && c.stream[2] == "FC") {
            std::vector<float> centre(c.stream.size(), 0.0f);
            centre[2] = 0.3f;
            signals.push_back(centre);
        }
        for (std::size_t k = 0; k < signals.size(); ++k) {
            double wanted = 0, read = 0;
            for (std::size_t j = 0; j < carried.size(); ++j) wanted += own[j] * signals[k][carried[j]];
            for (std::size_t i = 0; i < c.ports.size(); ++i) {
                double port = 0;
                for (std::size_t j = 0; j < c.stream.size(); ++j) port += c.matrix[i][j] * signals[k][j];
                read += weights[i] * port;
            }
            EXPECT_NEAR(read, wanted, c.tolerance * std::max(wanted, 0.3)) << c.what << ", signal " << k;
        }
    }
}

TEST(DownmixWeights, KeepTheLevelsOfCommonSignals) {
    auto level = [](const std::vector<std::string>& ports, const std::vector<float>& signal,
                    const std::vector<std::string>& stream = {}) {
        const auto w = downmixWeights(ports, stream);
        double sum = 0;
        for (std::size_t i = 0; i < w.size(); ++i) sum += w[i] * signal[i];
        return sum;
    };
    const std::vector<std::string> surround = {"FL", "FR", "FC", "LFE", "RL", "RR"};
    // L = R at amplitude a arrives at a, whatever carries it.
    EXPECT_NEAR(level({"FL", "FR"}, {0.3f, 0.3f}), 0.3, 1e-6);
    EXPECT_NEAR(level(surround, {0.3f, 0.3f, 0, 0, 0, 0}), 0.3, 1e-6);
    // PipeWire's upmix fills the extra ports; the stream's own layout leaves them out.
    EXPECT_NEAR(level(surround, {0.3f, 0.3f, 0.21f, 0.3f, 0.3f, 0.3f}, {"FL", "FR"}), 0.3, 1e-6);
    // Dialogue on the centre alone: about -3 dB.
    EXPECT_NEAR(20 * std::log10(level(surround, {0, 0, 0.3f, 0, 0, 0}) / 0.3), -3.0, 0.05);
    // A mono stream, on a mono or a stereo sink.
    EXPECT_NEAR(level({"MONO"}, {0.3f}), 0.3, 1e-6);
    EXPECT_NEAR(level({"FL", "FR"}, {0.3f, 0.3f}, {"MONO"}), 0.3, 1e-6);
}

// ---- simulation ----

// A sample that is exact in float and never zero, so that copies can be
// compared bit for bit and the start of a source found in the mix.
float marker(std::uint64_t k, int source = 0) {
    return static_cast<float>((k % 997) + 1 + 1000 * source) / 1024.0f;
}

// A 1 kHz or 7 kHz tone at 48 kHz repeats every 48 samples.
std::vector<float> toneTable(double hz, double amplitude) {
    std::vector<float> table(48);
    for (int i = 0; i < 48; ++i) table[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * i / kRate));
    return table;
}

class Simulation {
public:
    enum class Order { beforeMix, afterMix };

    struct Producer {
        MixerSourceHandle source;
        std::uint32_t chunk = 1024;
        double periodNs = 0;
        double startNs = 0;
        Order order = Order::afterMix;
        std::function<float(std::uint64_t)> signal;
        std::uint64_t pushes = 0;
        std::uint64_t produced = 0;
        std::vector<std::int64_t> pushTimes;  // of the first few pushes
        double resumeNs = 0;  // pushes before this are skipped (a frozen producer)
        // The node runs this late in its cycle (0 to the given bound, varying),
        // and says when its cycle began, as PipeWire's streams can.
        double lateNs = 0;
        bool tellsCycleTime = false;
        std::uint32_t firstChunk = 0;     // a short first buffer, when not 0
        std::uint64_t doubledPush = ~0ull;  // this push comes twice: a burst
        std::vector<float> plane;

        double nextNs() const { return startNs + static_cast<double>(pushes) * periodNs; }
    };

    explicit Simulation(std::uint32_t cycle, MixerConfig config = {}) : cycle_(cycle) {
        config.clock = [this] { return now_; };
        mixer = std::make_unique<Mixer>(config);
        out_.resize(cycle);
    }

    // A producer on the mix's own driver pushes `cycle` frames in every mix
    // cycle, before or after the mix; one on another driver pushes `chunk`
    // frames at its own rate (`ppm` off) from `startSeconds` on.
    Producer& sameDriver(Order order, std::function<float(std::uint64_t)> signal, double startSeconds = 0) {
        return add(cycle_, 0, std::ceil(startSeconds * kRate / cycle_) * cycle_ / kRate, order, std::move(signal));
    }
    Producer& otherDriver(std::uint32_t chunk, double ppm, double startSeconds,
                          std::function<float(std::uint64_t)> signal) {
        return add(chunk, ppm, startSeconds, Order::afterMix, std::move(signal));
    }

    void attach(Producer& p) { ASSERT_TRUE(mixer->attach(*p.source)); }

    // Runs the graph until `seconds`; `onMix` sees each cycle's output and
    // the time its cycle began.
    void runUntil(double seconds, const std::function<void(const float*, std::uint32_t, double)>& onMix = {}) {
        const double endNs = seconds * 1e9;
        for (;;) {
            const double mixNs = static_cast<double>(mixes_) * cycle_ * 1e9 / kRate;
            Producer* next = nullptr;
            for (auto& p : producers_) {
                const double t = p->nextNs();
                const bool first = p->order == Order::beforeMix ? t <= mixNs : t < mixNs;
                if (first && (next == nullptr || t < next->nextNs())) next = p.get();
            }
            if (next != nullptr) {
                if (next->nextNs() >= endNs) break;
                now_ = static_cast<std::int64_t>(next->nextNs());
                push(*next);
                continue;
            }
            if (mixNs >= endNs) break;
            now_ = static_cast<std::int64_t>(mixNs);
            if (!mixStalled) {
                mixer->mix(out_.data(), cycle_);
                if (onMix) onMix(out_.data(), cycle_, mixNs);
            }
            ++mixes_;
        }
    }

    bool mixStalled = false;
    std::unique_ptr<Mixer> mixer;

private:
    Producer& add(std::uint32_t chunk, double ppm, double startSeconds, Order order,
                  std::function<float(std::uint64_t)> signal) {
        auto p = std::make_unique<Producer>();
        p->source = mixer->makeSource();
        p->chunk = chunk;
        p->periodNs = chunk * 1e9 / (kRate * (1 + ppm * 1e-6));
        p->startNs = startSeconds * 1e9;
        p->order = order;
        p->signal = std::move(signal);
        p->plane.resize(chunk);
        mixer->setWeights(*p->source, {1.0f});
        producers_.push_back(std::move(p));
        return *producers_.back();
    }

    void push(Producer& p) {
        const double cycleNs = p.nextNs();
        const bool frozen = cycleNs < p.resumeNs;
        const bool doubled = p.pushes == p.doubledPush;
        const std::uint32_t frames = p.pushes == 0 && p.firstChunk != 0 ? p.firstChunk : p.chunk;
        ++p.pushes;
        if (frozen) return;
        // A late node: somewhere in the cycle, differently each time.
        now_ = static_cast<std::int64_t>(cycleNs + p.lateNs * ((p.pushes * 7919) % 101) / 100.0);
        for (int times = doubled ? 2 : 1; times > 0; --times) {
            for (std::uint32_t i = 0; i < frames; ++i) p.plane[i] = p.signal(p.produced + i);
            const float* planes[] = {p.plane.data()};
            mixer->push(*p.source, planes, 1, frames,
                        p.tellsCycleTime ? static_cast<std::int64_t>(cycleNs) : kReadClock);
            if (p.pushTimes.size() < 16) p.pushTimes.push_back(static_cast<std::int64_t>(cycleNs));
            p.produced += frames;
        }
    }

    std::uint32_t cycle_;
    std::int64_t now_ = 0;
    std::uint64_t mixes_ = 0;
    std::vector<float> out_;
    std::vector<std::unique_ptr<Producer>> producers_;
};

// Everything the mix wrote, with the start time of each cycle.
struct Recording {
    std::vector<float> samples;
    std::vector<double> cycleStartNs;
    std::function<void(const float*, std::uint32_t, double)> sink() {
        return [this](const float* out, std::uint32_t frames, double ns) {
            samples.insert(samples.end(), out, out + frames);
            cycleStartNs.push_back(ns);
        };
    }
};

// ---- a new stream from its first cycle ----

struct StartCase {
    const char* what;
    std::uint32_t cycle;
    std::uint32_t chunk;  // 0: the mix's own driver
    Simulation::Order order;
    double startSeconds;
    std::uint32_t spareCycles;
    // From the push that completes the first cycle's worth to the mix that
    // plays it. A producer on another driver may have pushed just before the
    // mix, in which case a quarter cycle more is allowed.
    double maxDelayCycles;
};

TEST(Mixer, ANewStreamIsMixedWholeWithinOneCycleOfItsFirstBuffer) {
    const std::vector<StartCase> cases = {
        {"same driver, stream node runs first", 1024, 0, Simulation::Order::beforeMix, 0.1, 0, 1.0},
        {"same driver, stream node runs after the mix", 1024, 0, Simulation::Order::afterMix, 0.1, 0, 1.0},
        {"same driver, short cycles", 64, 0, Simulation::Order::beforeMix, 0.1, 0, 1.0},
        {"cycle longer than one mixed piece", 20000, 0, Simulation::Order::afterMix, 0.5, 0, 1.0},
        {"other driver, long chunks", 256, 1024, Simulation::Order::afterMix, 0.1003, 0, 1.25},
        {"other driver, long chunks, pushed just before the mix", 256, 1024, Simulation::Order::afterMix,
         0.10133, 0, 1.25},
        {"other driver, short chunks", 1024, 256, Simulation::Order::afterMix, 0.1007, 0, 1.25},
        {"other driver, odd chunks", 1024, 441, Simulation::Order::afterMix, 0.10001, 0, 1.25},
        {"a spare cycle, stream node runs first", 1024, 0, Simulation::Order::beforeMix, 0.1, 1, 2.0},
        {"a spare cycle, stream node runs after the mix", 1024, 0, Simulation::Order::afterMix, 0.1, 1, 2.0},
        {"a spare cycle, other driver", 1024, 441, Simulation::Order::afterMix, 0.10001, 1, 2.25},
    };
    for (const auto& c : cases) {
        MixerConfig config;
        config.maxCycleFrames = 8192;
        config.spareCycles = c.spareCycles;
        Simulation sim(c.cycle, config);
        auto& p = c.chunk == 0 ? sim.sameDriver(c.order, [](std::uint64_t k) { return marker(k); }, c.startSeconds)
                               : sim.otherDriver(c.chunk, 0, c.startSeconds, [](std::uint64_t k) { return marker(k); });
        sim.attach(p);
        Recording rec;
        sim.runUntil(c.startSeconds + 2.0, rec.sink());

        const auto first = std::find_if(rec.samples.begin(), rec.samples.end(), [](float v) { return v != 0.0f; });
        ASSERT_NE(first, rec.samples.end()) << c.what;
        const std::size_t at = static_cast<std::size_t>(first - rec.samples.begin());
        const double mixedNs = rec.cycleStartNs[at / c.cycle];
        const std::uint32_t chunk = c.chunk == 0 ? c.cycle : c.chunk;
        const double readyNs = static_cast<double>(p.pushTimes.at((c.cycle + chunk - 1) / chunk - 1));
        EXPECT_LE(mixedNs - readyNs, c.maxDelayCycles * c.cycle * 1e9 / kRate + 1) << c.what;
        // On the mix's own driver only the interpolator's look-ahead and the
        // start margin precede it.
        if (c.chunk == 0 && c.spareCycles == 0) {
            EXPECT_LE(at % c.cycle, kInterpolationDelay + kRate / 1000 + 1) << c.what;
        }

        // Every frame, in order, none twice: a sample-exact copy.
        std::size_t k = 0;
        for (std::size_t i = at; i < rec.samples.size() && k < p.produced; ++i, ++k) {
            ASSERT_EQ(rec.samples[i], marker(k)) << c.what << " frame " << k;
        }
        EXPECT_GT(k, static_cast<std::size_t>(kRate)) << c.what;
        const auto state = sim.mixer->state(*p.source);
        EXPECT_EQ(state.ratio, 1.0) << c.what;
        EXPECT_EQ(state.underruns, 0u) << c.what;
    }
}

// ---- one clock ----

// Compares the mix, cycle by cycle, with the tone the source carries read at
// exactly the positions the mixer says it read: what differs is the
// resampler's error, or a break.
class ToneCheck {
public:
    ToneCheck(const Mixer& mixer, const MixerSource& source, double hz, double amplitude)
        : mixer_(mixer), source_(source), hz_(hz), amplitude_(amplitude) {}

    void operator()(const float* out, std::uint32_t frames) {
        const auto after = mixer_.state(source_);
        // The cycle it primed in starts from silence; later ones are tone.
        if (before_.primed && after.primed && before_.sourcePosition >= kInterpolationDelay) {
            const double w = 2 * M_PI * hz_ / kRate;
            const double step = w * after.ratio;
            double c = std::cos(w * before_.sourcePosition), s = std::sin(w * before_.sourcePosition);
            const double dc = std::cos(step), ds = std::sin(step);
            for (std::uint32_t i = 0; i < frames; ++i) {
                const double e = out[i] - amplitude_ * s;
                worst_ = std::max(worst_, std::fabs(e));
                energy_ += e * e;
                ++checked_;
                const double c2 = c * dc - s * ds;
                s = s * dc + c * ds;
                c = c2;
            }
        }
        before_ = after;
    }

    double worstDb() const { return 20 * std::log10(worst_ / amplitude_); }
    double rmsDb() const { return 10 * std::log10(energy_ / checked_ / (amplitude_ * amplitude_ / 2)); }
    std::uint64_t checked() const { return checked_; }

private:
    const Mixer& mixer_;
    const MixerSource& source_;
    double hz_, amplitude_;
    Mixer::SourceState before_;
    double worst_ = 0, energy_ = 0;
    std::uint64_t checked_ = 0;
};

struct DriftCase {
    double ppm;
    std::uint32_t chunk;
    double hz;
};

TEST(Mixer, AProducerOffTheMixClockIsFollowedSmoothly) {
    // The output is resampled to 16 kHz afterwards: tones up to 8 kHz matter.
    const std::vector<DriftCase> cases = {
        {200, 1024, 1000}, {-200, 1024, 1000}, {200, 256, 7000}, {-200, 441, 7000}, {-200, 4096, 7900}};
    for (const auto& c : cases) {
        Simulation sim(1024);
        auto& p = sim.otherDriver(c.chunk, c.ppm, 0.0123, [&](std::uint64_t k) {
            return static_cast<float>(0.5 * std::sin(2 * M_PI * c.hz * static_cast<double>(k) / kRate));
        });
        sim.attach(p);
        ToneCheck check(*sim.mixer, *p.source, c.hz, 0.5);
        sim.runUntil(60, [&](const float* out, std::uint32_t frames, double) { check(out, frames); });
        const auto state = sim.mixer->state(*p.source);
        EXPECT_NEAR((state.ratio - 1) * 1e6, c.ppm, 10) << c.ppm << " ppm";
        EXPECT_EQ(state.underruns, 0u);
        EXPECT_EQ(state.skippedFrames, 0u);
        // From its first cycles on, through the correction's settling, the
        // tone stays clean well below the 16 kHz path's own -90 dB figures.
        EXPECT_GT(check.checked(), 59u * 48000);
        EXPECT_LT(check.worstDb(), -95) << c.ppm << " ppm, " << c.hz << " Hz";
        EXPECT_LT(check.rmsDb(), -100) << c.ppm << " ppm, " << c.hz << " Hz";
    }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(NDEBUG)
constexpr double kLongRunSeconds = 300;  // instrumented builds run five minutes
#else
constexpr double kLongRunSeconds = 3600;
#endif

TEST(Mixer, AnHourOfAProducerOffTheMixClockHasNoBreakAndABoundedLead) {
    for (double ppm : {200.0, -200.0}) {
        Simulation sim(1024);
        const auto tone = toneTable(1000, 0.5);
        auto& p = sim.otherDriver(1024, ppm, 0.0071, [&](std::uint64_t k) { return tone[k % 48]; });
        sim.attach(p);
        ToneCheck check(*sim.mixer, *p.source, 1000, 0.5);
        double minLead = std::numeric_limits<double>::max(), maxLead = 0;
        std::size_t maxBuffered = 0;
        std::uint64_t cycles = 0;
        sim.runUntil(kLongRunSeconds, [&](const float* out, std::uint32_t frames, double) {
            check(out, frames);
            const auto state = sim.mixer->state(*p.source);
            if (++cycles > 30 * 47) {  // once settled
                minLead = std::min(minLead, state.leadFrames);
                maxLead = std::max(maxLead, state.leadFrames);
            }
            maxBuffered = std::max(maxBuffered, state.bufferedFrames);
        });
        const auto state = sim.mixer->state(*p.source);
        EXPECT_EQ(state.underruns, 0u) << ppm;
        EXPECT_EQ(state.skippedFrames, 0u) << ppm;
        EXPECT_EQ(state.droppedFrames, 0u) << ppm;
        // A dropped or repeated sample would be off by about 0.13 of the tone.
        EXPECT_GT(check.checked(), static_cast<std::uint64_t>((kLongRunSeconds - 1) * kRate));
        EXPECT_LT(check.worstDb(), -95) << ppm;
        EXPECT_LT(maxLead - minLead, 64) << ppm;
        EXPECT_LE(maxBuffered, 4u * 1024) << ppm;
        EXPECT_NEAR((state.ratio - 1) * 1e6, ppm, 5) << ppm;
    }
}

struct SameDriverCase {
    const char* what;
    Simulation::Order order;
    double lateMs;
    bool tellsCycleTime;
    std::uint32_t firstChunk;
    std::uint64_t doubledPush;
};

TEST(Mixer, AProducerOnTheMixDriverKeepsARatioOfExactlyOne) {
    const std::uint64_t never = ~0ull;
    const std::vector<SameDriverCase> cases = {
        {"runs first", Simulation::Order::beforeMix, 0, false, 0, never},
        {"runs after the mix", Simulation::Order::afterMix, 0, false, 0, never},
        {"runs up to 4 ms late, telling its cycle's time", Simulation::Order::afterMix, 4, true, 0, never},
        {"starts with a short buffer", Simulation::Order::afterMix, 0, true, 100, never},
        {"starts with a buffer of half a cycle", Simulation::Order::afterMix, 0, true, 600, never},
        {"sends a burst right after it started", Simulation::Order::afterMix, 0, true, 0, 2},
    };
    for (const auto& c : cases) {
        Simulation sim(1024);
        auto& p = sim.sameDriver(c.order, [](std::uint64_t k) { return marker(k); }, 0.1);
        p.lateNs = c.lateMs * 1e6;
        p.tellsCycleTime = c.tellsCycleTime;
        p.firstChunk = c.firstChunk;
        p.doubledPush = c.doubledPush;
        sim.attach(p);
        Recording rec;
        bool neverMoved = true;
        sim.runUntil(120, [&](const float* out, std::uint32_t frames, double ns) {
            neverMoved = neverMoved && sim.mixer->state(*p.source).ratio == 1.0;
            if (ns < 10e9) rec.sink()(out, frames, ns);
        });
        EXPECT_TRUE(neverMoved) << c.what;
        EXPECT_EQ(sim.mixer->state(*p.source).underruns, 0u) << c.what;
        // And so it is copied sample for sample.
        const auto first = std::find_if(rec.samples.begin(), rec.samples.end(), [](float v) { return v != 0.0f; });
        ASSERT_NE(first, rec.samples.end()) << c.what;
        for (std::size_t k = 0; first + k != rec.samples.end(); ++k) ASSERT_EQ(first[k], marker(k)) << c.what;
    }
}

// ---- the clock through changes ----

// A graph of drivers, each with its own quantum, rate and clock (ppm off the
// monotonic clock). The mix follows driver 1; a stream's node follows the
// driver of its sink and can be moved to another. Every node converts to the
// mix's 48 kHz as PipeWire's adapters do, a cycle's length scaled with the
// remainder carried (each adapter with its own remainder). Each push and mix
// carries its cycle's start and its driver, as the glue passes them.
class Graph {
public:
    static constexpr std::uint32_t kMixDriver = 1;

    struct Driver {
        std::uint32_t quantum = 1024;
        std::uint32_t rate = 48000;
        double ppm = 0;
        double nextNs = 0;
        std::uint64_t mixRemainder = 0;
        std::uint64_t clock = kUnknownClock;  // the clock PipeWire names in its position
    };

    struct Stream {
        MixerSourceHandle source;
        std::uint32_t driver = kMixDriver;
        bool beforeMix = false;
        std::function<float(std::uint64_t)> signal;
        std::uint64_t produced = 0;
        std::uint64_t remainder = 0;
        bool missNext = false;   // misses its next cycle and delivers it with the one after
        bool loseNext = false;   // loses its next cycle: those frames never reach the capture
        std::uint32_t owed = 0;
        std::vector<std::pair<std::uint64_t, std::uint32_t>> lost;  // (first frame, frames)
        // Frames its next push carries beyond its cycle's: its adapter's
        // resampler delay changed (with the graph's rate) by that much.
        std::uint32_t extraNext = 0;
    };

    struct Action {
        double seconds;
        std::function<void()> run;
    };

    explicit Graph(MixerConfig config = {}) {
        config.clock = [this] { return now_; };
        mixer = std::make_unique<Mixer>(config);
        drivers_[kMixDriver] = Driver{};
    }

    Driver& driver(std::uint32_t id, double ppm = 0, double phaseNs = 0) {
        auto [it, made] = drivers_.try_emplace(id);
        if (made) {
            it->second.ppm = ppm;
            it->second.nextNs = phaseNs;
        }
        return it->second;
    }

    Stream& stream(bool beforeMix, std::function<float(std::uint64_t)> signal) {
        streams_.push_back(std::make_unique<Stream>());
        Stream& s = *streams_.back();
        s.source = mixer->makeSource();
        mixer->setWeights(*s.source, {1.0f});
        s.beforeMix = beforeMix;
        s.signal = std::move(signal);
        s.remainder = 48000 / 3;  // its adapter's rounding falls elsewhere than the mix's
        EXPECT_TRUE(mixer->attach(*s.source));
        return s;
    }

    void at(double seconds, std::function<void()> run) { actions_.push_back(Action{seconds, std::move(run)}); }

    // Runs every driver's cycles until `seconds`; `onMix` sees each mix.
    void runUntil(double seconds, const std::function<void(const float*, std::uint32_t, double)>& onMix = {}) {
        const double endNs = seconds * 1e9;
        for (;;) {
            auto next = drivers_.begin();
            for (auto it = drivers_.begin(); it != drivers_.end(); ++it) {
                if (it->second.nextNs < next->second.nextNs) next = it;
            }
            Driver& d = next->second;
            if (d.nextNs >= endNs) break;
            for (auto it = actions_.begin(); it != actions_.end();) {
                if (it->seconds * 1e9 <= d.nextNs) {
                    it->run();
                    it = actions_.erase(it);
                } else {
                    ++it;
                }
            }
            cycle(next->first, d, onMix);
        }
    }

    std::unique_ptr<Mixer> mixer;
    bool mixMissesNext = false;  // the mix's node misses its next cycle: a busy machine
    // The capture's thread wakes a cycle late: in the next cycle the mix runs
    // for both cycles, and each stream on the mix's driver delivers the
    // buffer its link held with the current one, all stamped with the
    // current cycle's time.
    bool threadLateNext = false;

private:
    static std::uint32_t scaled(const Driver& d, std::uint64_t& remainder) {
        const std::uint64_t total = std::uint64_t{d.quantum} * 48000 + remainder;
        remainder = total % d.rate;
        return static_cast<std::uint32_t>(total / d.rate);
    }

    void push(Stream& s, std::uint32_t id, const Driver& d, bool late = false) {
        std::uint32_t frames = scaled(d, s.remainder) + s.extraNext;
        s.extraNext = 0;
        if (s.missNext || late) {
            s.missNext = false;
            s.owed = frames;
            return;
        }
        if (s.loseNext) {
            // The player made them, and the sink played them, but the link
            // held the next cycle's buffer by the time this node ran.
            s.loseNext = false;
            s.lost.emplace_back(s.produced, frames);
            s.produced += frames;
            return;
        }
        const std::int64_t cycleNs = static_cast<std::int64_t>(d.nextNs);
        for (std::uint32_t n : {s.owed, frames}) {
            if (n == 0) continue;
            plane_.resize(n);
            for (std::uint32_t i = 0; i < n; ++i) plane_[i] = s.signal(s.produced + i);
            const float* planes[] = {plane_.data()};
            mixer->push(*s.source, planes, 1, n, cycleNs, id, d.clock);
            s.produced += n;
        }
        s.owed = 0;
    }

    void cycle(std::uint32_t id, Driver& d, const std::function<void(const float*, std::uint32_t, double)>& onMix) {
        now_ = static_cast<std::int64_t>(d.nextNs);
        if (id == kMixDriver && threadLateNext) {
            threadLateNext = false;
            for (auto& s : streams_) {
                if (s->driver == id) push(*s, id, d, true);
            }
            mixOwed_ = scaled(d, d.mixRemainder);
            d.nextNs += d.quantum * 1e9 / d.rate / (1 + d.ppm * 1e-6);
            return;
        }
        for (auto& s : streams_) {
            if (s->driver == id && (s->beforeMix || id != kMixDriver)) push(*s, id, d);
        }
        if (id == kMixDriver) {
            // A mix that misses its cycle leaves the streams' nodes alone:
            // each runs when its player has run.
            if (mixMissesNext) {
                mixMissesNext = false;
            } else {
                for (std::uint32_t frames : {mixOwed_, scaled(d, d.mixRemainder)}) {
                    if (frames == 0) continue;
                    out_.resize(frames);
                    mixer->mix(out_.data(), frames, now_, id, d.clock);
                    if (onMix) onMix(out_.data(), frames, d.nextNs);
                }
                mixOwed_ = 0;
            }
            for (auto& s : streams_) {
                if (s->driver == id && !s->beforeMix) push(*s, id, d);
            }
        }
        d.nextNs += d.quantum * 1e9 / d.rate / (1 + d.ppm * 1e-6);
    }

    std::int64_t now_ = 0;
    std::uint32_t mixOwed_ = 0;
    std::map<std::uint32_t, Driver> drivers_;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::vector<Action> actions_;
    std::vector<float> plane_, out_;
};

TEST(Mixer, DriversNamingOneClockShareItsIdentity) {
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(clockIdentity("clock.system.monotonic", 64), clockIdentity("clock.system.monotonic", 64));
    EXPECT_NE(clockIdentity("clock.system.monotonic", 64), clockIdentity("api.alsa.p-0", 64));
    EXPECT_EQ(clockIdentity("", 64), kUnknownClock);
    EXPECT_EQ(clockIdentity(nullptr, 64), kUnknownClock);
    EXPECT_EQ(clockIdentity(unterminated, sizeof unterminated), clockIdentity("abcd", 64));
}

struct ChangeCase {
    const char* what;
    std::uint32_t quantum;  // at the start
    // (seconds, quantum, rate): the mix's driver changes at that time; 0
    // leaves that setting as it is.
    std::vector<std::array<double, 3>> changes;
    double lateAt;  // the stream's node misses a cycle then (0: never)
    double mixLateAt;  // the mix's node misses a cycle then (0: never)
    double threadLateAt = 0;  // the capture's thread wakes a cycle late then (0: never)
};

TEST(Mixer, AStreamOnTheMixClockIsCopiedSampleForSampleThroughQuantumAndRateChanges) {
    const std::vector<ChangeCase> cases = {
        {"quantum 1024, 128, 2048, 1024", 1024, {{2, 128, 0}, {4, 2048, 0}, {6, 1024, 0}}, 0, 0},
        {"rate 48000, 44100, 48000", 1024, {{2, 0, 44100}, {4, 0, 48000}}, 0, 0},
        {"quantum 256 at 44100 Hz, then 2048 at 48000 Hz", 1024, {{2, 256, 44100}, {4, 2048, 48000}}, 0, 0},
        {"the stream a cycle late under a 128-frame quantum", 128, {}, 3.0, 0},
        {"the stream a cycle late after the quantum went from 1024 to 128", 1024, {{2, 128, 0}}, 3.0, 0},
        // Its lead grows by a cycle, for good: the same clock all the same.
        {"the mix a cycle late under a 128-frame quantum", 1024, {{2, 128, 0}}, 0, 3.0},
        {"the mix a cycle late at 1024 frames", 1024, {}, 0, 3.0},
        // Both of the capture's nodes late, each making up its cycle.
        {"the capture a cycle late at 1024 frames", 1024, {}, 0, 0, 3.0},
        {"the capture a cycle late under a 128-frame quantum", 128, {}, 0, 0, 3.0},
    };
    // The stream's node on the mix's driver, before or after the mix, or on
    // another driver that the same clock times (the mix's node on the dummy
    // driver, the stream on a null sink), its cycles out of phase with the
    // mix's; quantum and rate are the graph's, the same for every driver.
    enum class Place { streamFirst, mixFirst, anotherDriverOnTheClock };
    constexpr std::uint64_t kSystemClock = 7;
    for (const auto& c : cases) {
        for (Place place : {Place::streamFirst, Place::mixFirst, Place::anotherDriverOnTheClock}) {
            const std::string what = std::string(c.what) + (place == Place::streamFirst ? ", stream first"
                                                            : place == Place::mixFirst ? ", mix first"
                                                                                       : ", another driver");
            Graph graph;
            std::vector<std::uint32_t> drivers = {Graph::kMixDriver};
            graph.driver(Graph::kMixDriver).clock = kSystemClock;
            if (place == Place::anotherDriverOnTheClock) {
                graph.driver(2, 0, 0.0037e9).clock = kSystemClock;
                drivers.push_back(2);
            }
            for (std::uint32_t id : drivers) graph.driver(id).quantum = c.quantum;
            auto& s = graph.stream(place == Place::streamFirst, [](std::uint64_t k) { return marker(k); });
            if (place == Place::anotherDriverOnTheClock) s.driver = 2;
            for (const auto& change : c.changes) {
                graph.at(change[0], [&graph, &s, change, drivers] {
                    for (std::uint32_t id : drivers) {
                        auto& d = graph.driver(id);
                        if (change[1] != 0) d.quantum = static_cast<std::uint32_t>(change[1]);
                        if (change[2] != 0) d.rate = static_cast<std::uint32_t>(change[2]);
                    }
                    // Its lead moves by less than a step, more than the
                    // loop's dead band: nothing that may bend a copy.
                    if (change[2] != 0) s.extraNext = 14;
                });
            }
            if (c.lateAt > 0) graph.at(c.lateAt, [&s] { s.missNext = true; });
            if (c.mixLateAt > 0) graph.at(c.mixLateAt, [&graph] { graph.mixMissesNext = true; });
            if (c.threadLateAt > 0) graph.at(c.threadLateAt, [&graph] { graph.threadLateNext = true; });
            Recording rec;
            double worstRatio = 1.0;
            graph.runUntil(8.0, [&](const float* out, std::uint32_t frames, double ns) {
                rec.sink()(out, frames, ns);
                const double ratio = graph.mixer->state(*s.source).ratio;
                if (std::fabs(ratio - 1) > std::fabs(worstRatio - 1)) worstRatio = ratio;
            });
            EXPECT_EQ(worstRatio, 1.0) << what;
            EXPECT_EQ(graph.mixer->state(*s.source).underruns, 0u) << what;
            EXPECT_EQ(graph.mixer->state(*s.source).skippedFrames, 0u) << what;
            // Every frame once, in order, with nothing between: a copy.
            const auto first = std::find_if(rec.samples.begin(), rec.samples.end(), [](float v) { return v != 0.0f; });
            ASSERT_NE(first, rec.samples.end()) << what;
            std::size_t k = 0;
            for (auto it = first; it != rec.samples.end(); ++it, ++k) {
                ASSERT_EQ(*it, marker(k)) << what << " frame " << k;
            }
            EXPECT_GT(k, s.produced - 4 * 2048) << what;
        }
    }
}

struct LossCase {
    const char* what;
    std::uint32_t quantum;
    bool beforeMix;
    double ppm;  // NaN: on the mix's driver; else on another, this far off
};

TEST(Mixer, ACycleTheStreamLostIsSilenceInItsPlaceAndTheSpareStaysForTheNextLateOne) {
    // The node loses a cycle (the link held the next buffer by the time it
    // ran), and later runs a cycle late: the spare must be there again for
    // that, and the lost cycle is the silence it was, where it was.
    const double onMix = std::numeric_limits<double>::quiet_NaN();
    const std::vector<LossCase> cases = {
        {"1024 frames, stream first", 1024, true, onMix},
        {"1024 frames, mix first", 1024, false, onMix},
        {"128 frames, stream first", 128, true, onMix},
        {"128 frames, mix first", 128, false, onMix},
        {"another driver 150 ppm fast", 1024, false, 150},
        {"another driver 200 ppm slow, 256 frames", 256, false, -200},
    };
    for (const auto& c : cases) {
        const bool mixDriver = std::isnan(c.ppm);
        Graph graph;
        graph.driver(Graph::kMixDriver).quantum = c.quantum;
        if (!mixDriver) graph.driver(2, c.ppm, 0.0037e9).quantum = c.quantum;
        auto& s = graph.stream(c.beforeMix, [](std::uint64_t k) { return marker(k); });
        if (!mixDriver) s.driver = 2;
        for (double at : {3.0, 6.0}) graph.at(at, [&s] { s.loseNext = true; });
        for (double at : {4.5, 7.5}) graph.at(at, [&s] { s.missNext = true; });
        Recording rec;
        double leadBefore = 0, worstRatio = 1.0;
        graph.runUntil(10.0, [&](const float* out, std::uint32_t frames, double ns) {
            rec.sink()(out, frames, ns);
            const auto state = graph.mixer->state(*s.source);
            if (ns < 2.9e9) leadBefore = state.leadFrames;
            if (std::fabs(state.ratio - 1) > std::fabs(worstRatio - 1)) worstRatio = state.ratio;
        });
        const auto state = graph.mixer->state(*s.source);
        EXPECT_EQ(state.underruns, 0u) << c.what;
        EXPECT_EQ(state.skippedFrames, 0u) << c.what;
        EXPECT_NEAR(state.leadFrames, leadBefore, 16) << c.what;
        ASSERT_EQ(s.lost.size(), 2u) << c.what;
        EXPECT_NEAR(static_cast<double>(state.lostFrames), s.lost[0].second + s.lost[1].second, 2) << c.what;
        if (!mixDriver) {
            EXPECT_NEAR((state.ratio - 1) * 1e6, c.ppm, 20) << c.what;
            continue;
        }
        EXPECT_EQ(worstRatio, 1.0) << c.what;
        // Every frame at its place: what was lost is silence of its length.
        const auto first = std::find_if(rec.samples.begin(), rec.samples.end(), [](float v) { return v != 0.0f; });
        ASSERT_NE(first, rec.samples.end()) << c.what;
        auto expected = [&s](std::uint64_t k) {
            for (const auto& [at, n] : s.lost) {
                if (k >= at && k < at + n) return 0.0f;
            }
            return marker(k);
        };
        std::size_t k = 0;
        while (first + k != rec.samples.end() && first[k] == expected(k)) ++k;
        EXPECT_EQ(k, static_cast<std::size_t>(rec.samples.end() - first)) << c.what << ": frame " << k;
        EXPECT_GT(k, s.produced - 4 * c.quantum) << c.what;
    }
}

struct MoveCase {
    const char* what;
    double ppm;               // the other driver's clock
    std::uint32_t quantum;    // the other driver's quantum
    bool beforeMix;           // on the mix's driver, the stream's node runs first
};

TEST(Mixer, AStreamMovedToAnotherDriverIsFollowedWithinPpmAndCopiedAgainOnceBack) {
    const std::vector<MoveCase> cases = {
        {"a sink on the same clock", 0, 1024, false},
        {"a sink 150 ppm fast", 150, 1024, false},
        {"a sink 150 ppm slow, short cycles", -150, 256, true},
        {"a sink 400 ppm fast, long cycles", 400, 2048, false},
    };
    const double moveAt = 4.0, backAt = 14.0, endAt = 20.0;
    const auto tone = toneTable(1000, 0.5);
    for (const auto& c : cases) {
        Graph graph;
        graph.driver(2, c.ppm, 0.0037e9).quantum = c.quantum;
        auto& s = graph.stream(c.beforeMix, [&](std::uint64_t k) { return tone[k % 48]; });
        graph.at(moveAt, [&s] { s.driver = 2; });
        graph.at(backAt, [&s] { s.driver = Graph::kMixDriver; });
        ToneCheck check(*graph.mixer, *s.source, 1000, 0.5);
        double worstOff = 0, worstCopyError = 0;
        bool resampledOnceBack = false;
        Mixer::SourceState before;
        graph.runUntil(endAt, [&](const float* out, std::uint32_t frames, double ns) {
            const auto state = graph.mixer->state(*s.source);
            const double seconds = ns / 1e9;
            if (seconds > moveAt + 2 && seconds < backAt) {
                worstOff = std::max(worstOff, std::fabs((state.ratio - 1) * 1e6 - c.ppm));
            }
            // Through the correction the tone stays clean; the moves
            // themselves may shift it by part of a sample.
            if ((seconds > moveAt + 0.1 && seconds < backAt) || seconds > backAt + 0.1) check(out, frames);
            else check(out, 0);
            // Once back, the ratio is 1 and the copy exact.
            if (seconds > backAt + 0.05) {
                resampledOnceBack = resampledOnceBack || state.ratio != 1.0 ||
                                    before.sourcePosition != std::floor(before.sourcePosition);
                for (std::uint32_t i = 0; i < frames; ++i) {
                    const auto k = static_cast<std::uint64_t>(before.sourcePosition) + i;
                    worstCopyError = std::max(worstCopyError, static_cast<double>(std::fabs(out[i] - tone[k % 48])));
                }
            }
            before = state;
        });
        const auto state = graph.mixer->state(*s.source);
        EXPECT_LT(worstOff, 20) << c.what;
        EXPECT_FALSE(resampledOnceBack) << c.what;
        EXPECT_EQ(worstCopyError, 0.0) << c.what;
        EXPECT_LT(check.worstDb(), -90) << c.what;
        EXPECT_EQ(state.underruns, 0u) << c.what;
        EXPECT_EQ(state.skippedFrames, 0u) << c.what;
    }
}

// ---- isolation and bounds ----

TEST(Mixer, AFrozenSourceStopsOnlyItself) {
    // The same graph twice, once without the source that freezes: the
    // difference is exactly what that source contributes.
    auto run = [](bool withFrozen, Recording& rec, Mixer::SourceState& steady, Mixer::SourceState& frozen) {
        Simulation sim(1024);
        auto& a = sim.otherDriver(480, 150, 0.001, [](std::uint64_t k) { return marker(k, 0); });
        sim.attach(a);
        Simulation::Producer* b = nullptr;
        if (withFrozen) {
            b = &sim.sameDriver(Simulation::Order::afterMix, [](std::uint64_t k) { return marker(k, 1); });
            b->resumeNs = 0;
            sim.attach(*b);
        }
        sim.runUntil(1.0, rec.sink());
        if (b) b->resumeNs = 3.0e9;  // frozen for two seconds
        sim.runUntil(4.0, rec.sink());
        steady = sim.mixer->state(*a.source);
        if (b) frozen = sim.mixer->state(*b->source);
    };
    Recording both, alone;
    Mixer::SourceState steady, frozen, steadyAlone, unused;
    run(true, both, steady, frozen);
    run(false, alone, steadyAlone, unused);

    ASSERT_EQ(both.samples.size(), alone.samples.size());
    EXPECT_EQ(steady.underruns, 0u);
    EXPECT_EQ(frozen.underruns, 1u);
    EXPECT_TRUE(frozen.primed);
    std::vector<float> contribution;
    for (std::size_t i = 0; i < both.samples.size(); ++i) {
        const float d = both.samples[i] - alone.samples[i];
        const double seconds = static_cast<double>(i) / kRate;
        if (seconds > 1.1 && seconds < 3.0) {
            ASSERT_EQ(d, 0.0f) << "frozen source not silent at " << seconds;
        }
        if ((seconds > 0.1 && seconds < 0.95) || seconds > 3.1) {
            ASSERT_NE(d, 0.0f) << "source missing at " << seconds;
        }
        if (d != 0.0f) contribution.push_back(d);
    }
    // Everything it pushed before and after, once and in order (exact but
    // for the rounding of the sum with the resampled steady source).
    ASSERT_GT(contribution.size(), 48000u);
    for (std::size_t k = 0; k < contribution.size(); ++k) {
        ASSERT_NEAR(contribution[k], marker(k, 1), 1e-6) << "frame " << k;
    }
}

TEST(Mixer, AStalledMixDropsRatherThanGrowsAndComesBackToItsLead) {
    MixerConfig config;
    config.ringFrames = 1u << 15;
    Simulation sim(1024, config);
    auto& p = sim.sameDriver(Simulation::Order::afterMix, [](std::uint64_t k) { return marker(k); });
    sim.attach(p);
    sim.runUntil(1.0);
    const double lead = sim.mixer->state(*p.source).leadFrames;
    sim.mixStalled = true;
    sim.runUntil(3.0);
    auto state = sim.mixer->state(*p.source);
    EXPECT_EQ(state.bufferedFrames, config.ringFrames);
    EXPECT_GT(state.droppedFrames, 0u);
    sim.mixStalled = false;
    Recording rec;
    sim.runUntil(3.1, rec.sink());
    state = sim.mixer->state(*p.source);
    EXPECT_GT(state.skippedFrames, 0u);
    EXPECT_LE(state.bufferedFrames, 3u * 1024);
    EXPECT_NEAR(state.leadFrames, lead, 1024);
    EXPECT_EQ(state.underruns, 0u);
    EXPECT_TRUE(std::none_of(rec.samples.begin(), rec.samples.end(), [](float v) { return v == 0.0f; }));
}

TEST(Mixer, ALongerCycleLosesNothingAndASpareCycleLeavesNoGap) {
    // The quantum goes from 1024 to 2048 frames; the stream's node runs after
    // the mix, so the first long cycle finds a short cycle's worth, or two
    // with a spare cycle.
    for (std::uint32_t spare : {0u, 1u}) {
        std::int64_t now = 0;
        MixerConfig config;
        config.spareCycles = spare;
        config.clock = [&now] { return now; };
        Mixer mixer(config);
        auto source = mixer.makeSource();
        mixer.setWeights(*source, {1.0f});
        ASSERT_TRUE(mixer.attach(*source));
        std::vector<float> output, plane(2048), out(2048);
        std::uint64_t pushed = 0;
        for (int cycle = 0; cycle < 100; ++cycle) {
            const std::uint32_t n = cycle < 50 ? 1024 : 2048;
            mixer.mix(out.data(), n, now);
            output.insert(output.end(), out.begin(), out.begin() + n);
            for (std::uint32_t i = 0; i < n; ++i) plane[i] = marker(pushed + i);
            const float* planes[] = {plane.data()};
            mixer.push(*source, planes, 1, n, now);
            pushed += n;
            now += static_cast<std::int64_t>(n * 1e9 / kRate);
        }
        const auto state = mixer.state(*source);
        EXPECT_EQ(state.underruns, spare == 0 ? 1u : 0u) << spare;
        EXPECT_EQ(state.ratio, 1.0) << spare;
        // Every frame once, in order; the only silence inside is the gap,
        // shorter than the new cycle.
        std::vector<float> played;
        std::size_t gap = 0, longestGap = 0;
        const auto first = std::find_if(output.begin(), output.end(), [](float v) { return v != 0.0f; });
        for (auto it = first; it != output.end(); ++it) {
            if (*it == 0.0f) {
                longestGap = std::max(longestGap, ++gap);
            } else {
                gap = 0;
                played.push_back(*it);
            }
        }
        if (spare == 0) {
            EXPECT_LT(longestGap, 2048u);
        } else {
            EXPECT_EQ(longestGap, 0u);
        }
        ASSERT_GT(played.size(), pushed - 3 * 2048) << spare;
        for (std::size_t k = 0; k < played.size(); ++k) ASSERT_EQ(played[k], marker(k)) << spare << " frame " << k;
    }
}

TEST(Mixer, ASpareCycleAbsorbsANodeRunningACycleLate) {
    // The stream's node misses one cycle, then delivers two buffers in the
    // next: a busy machine.
    for (std::uint32_t spare : {0u, 1u}) {
        MixerConfig config;
        config.spareCycles = spare;
        Simulation sim(1024, config);
        auto& p = sim.sameDriver(Simulation::Order::afterMix, [](std::uint64_t k) { return marker(k); }, 0.1);
        p.tellsCycleTime = true;
        sim.attach(p);
        Recording rec;
        sim.runUntil(2.0, rec.sink());
        p.resumeNs = p.nextNs() + 1;  // the next push does not come...
        p.doubledPush = p.pushes + 1;  // ...and the next one brings it along
        sim.runUntil(4.0, rec.sink());
        const auto state = sim.mixer->state(*p.source);
        EXPECT_EQ(state.underruns, spare == 0 ? 1u : 0u) << spare;
        const auto first = std::find_if(rec.samples.begin(), rec.samples.end(), [](float v) { return v != 0.0f; });
        std::vector<float> played;
        std::copy_if(first, rec.samples.end(), std::back_inserter(played), [](float v) { return v != 0.0f; });
        const auto holes = static_cast<std::size_t>(rec.samples.end() - first) - played.size();
        EXPECT_EQ(holes == 0, spare == 1) << spare;
        for (std::size_t k = 0; k < played.size(); ++k) ASSERT_EQ(played[k], marker(k)) << spare << " frame " << k;
    }
}

// ---- weights, planes, attachment ----

TEST(Mixer, WeightsApplyToTheNextPushAsAWhole) {
    std::int64_t now = 0;
    MixerConfig config;
    config.clock = [&now] { return now; };
    Mixer mixer(config);
    auto source = mixer.makeSource();
    ASSERT_TRUE(mixer.attach(*source));
    const std::vector<float> fl(256, 0.25f), fr(256, 0.5f), lfe(256, 1.0f);
    std::vector<float> out(256);
    auto cycle = [&](const std::vector<const float*>& planes) {
        mixer.push(*source, planes.data(), planes.size(), 256);
        now += 256 * 1000000000LL / 48000;
        mixer.mix(out.data(), 256);
        return out.back();
    };
    // Until weights arrive, the ports are averaged.
    cycle({fl.data(), fr.data(), lfe.data()});
    EXPECT_FLOAT_EQ(cycle({fl.data(), fr.data(), lfe.data()}), (0.25f + 0.5f + 1.0f) / 3);
    mixer.setWeights(*source, downmixWeights({"FL", "FR", "LFE"}));
    cycle({fl.data(), fr.data(), lfe.data()});  // the frames already buffered keep their weights
    EXPECT_FLOAT_EQ(cycle({fl.data(), fr.data(), lfe.data()}), 0.375f);
    // A null plane is silence.
    cycle({nullptr, fr.data(), lfe.data()});
    EXPECT_FLOAT_EQ(cycle({nullptr, fr.data(), lfe.data()}), 0.25f);
    // Two changes before the next push: the last one wins.
    mixer.setWeights(*source, {1, 0, 0});
    mixer.setWeights(*source, {0, 1, 0});
    cycle({fl.data(), fr.data(), lfe.data()});
    EXPECT_FLOAT_EQ(cycle({fl.data(), fr.data(), lfe.data()}), 0.5f);
}

TEST(Mixer, AttachIsBoundedAndDetachStopsTheContribution) {
    std::int64_t now = 0;
    MixerConfig config;
    config.maxSources = 2;
    config.clock = [&now] { return now; };
    Mixer mixer(config);
    auto a = mixer.makeSource(), b = mixer.makeSource(), c = mixer.makeSource();
    EXPECT_TRUE(mixer.attach(*a));
    EXPECT_FALSE(mixer.attach(*a));
    EXPECT_TRUE(mixer.attach(*b));
    EXPECT_FALSE(mixer.attach(*c));
    const std::vector<float> one(128, 1.0f);
    const float* planes[] = {one.data()};
    std::vector<float> out(128);
    for (int i = 0; i < 3; ++i) {
        mixer.push(*a, planes, 1, 128);
        mixer.push(*b, planes, 1, 128);
        now += 128 * 1000000000LL / 48000;
        mixer.mix(out.data(), 128);
    }
    EXPECT_FLOAT_EQ(out.back(), 2.0f);
    mixer.detach(*b);
    EXPECT_TRUE(mixer.attach(*c));
    mixer.push(*a, planes, 1, 128);
    now += 128 * 1000000000LL / 48000;
    mixer.mix(out.data(), 128);
    EXPECT_FLOAT_EQ(out.back(), 1.0f);
    EXPECT_FALSE(mixer.state(*b).attached);
}

}  // namespace
}  // namespace pimorlo::platform::linux_backend
