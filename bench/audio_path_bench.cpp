// The audio tap's per-buffer path (copy out of the sample buffer, mix-down and
// conversion to 16 kHz mono signed 16-bit, write to /dev/null) against libsoxr
// called directly on the same blocks, as a realtime factor; and, with
// --quality, the converter's figures measured on what the path writes.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <soxr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "audio_tap/exit_gate.h"
#include "audio_tap/runner.h"
#include "platform/audio.h"
#include "platform/capture.h"
#include "platform/linux/audio_linux.h"
#include "platform/process.h"

// Every allocation of the process counted while `gCounting` is set: the
// per-buffer path should make none once it runs. The executable's own malloc
// and friends take the place of the C library's for every library loaded.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define PIMORLO_COUNTS_ALLOCATIONS 1
#include <atomic>

namespace {
std::atomic<bool> gCounting{false};
std::atomic<std::size_t> gAllocations{0};
void noteAllocation() {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t n) {
    noteAllocation();
    return __libc_malloc(n);
}
void* calloc(std::size_t count, std::size_t n) {
    noteAllocation();
    return __libc_calloc(count, n);
}
void* realloc(void* p, std::size_t n) {
    noteAllocation();
    return __libc_realloc(p, n);
}
void* aligned_alloc(std::size_t alignment, std::size_t n) {
    noteAllocation();
    return __libc_memalign(alignment, n);
}
void* memalign(std::size_t alignment, std::size_t n) {
    noteAllocation();
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    noteAllocation();
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
}
#endif

namespace {

using namespace pimorlo;
using platform::linux_backend::FormatFields;
using platform::linux_backend::LinuxFormatDescription;

// Queues that never run anything: the path under test posts work only when the
// output fails, which /dev/null never does.
class IdleQueue final : public platform::Queue {
public:
    void async(platform::Task) override {}
    void asyncAfter(double, platform::Task) override {}
    std::string label() const override { return "bench"; }
};

// Standard output is /dev/null, or a vector when the output is to be analysed.
class BenchProcess final : public platform::Process {
public:
    BenchProcess() : devNull_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {}
    ~BenchProcess() override { ::close(devNull_); }

    std::vector<std::int16_t>* capture = nullptr;
    std::size_t writes = 0;
    bool skipSystemCall = false;  // succeed without calling write(2)

    std::vector<std::string> arguments() const override { return {"bench"}; }
    pid_t processIdentifier() const override { return ::getpid(); }
    void ignoreSignal(int) override {}
    std::unique_ptr<platform::SignalSource> makeSignalSource(int) override { return nullptr; }
    platform::Queue& mainQueue() override { return main_; }
    std::shared_ptr<platform::Queue> makeSerialQueue(std::string) override { return std::make_shared<IdleQueue>(); }
    void runMainLoop() override {}
    int standardOutputDescriptor() const override { return devNull_; }
    platform::WriteResult write(int fd, const void* bytes, std::size_t count) override {
        ++writes;
        if (capture != nullptr) {
            const auto* samples = static_cast<const std::int16_t*>(bytes);
            capture->insert(capture->end(), samples, samples + count / 2);
            return {static_cast<long long>(count), 0};
        }
        if (skipSystemCall) return {static_cast<long long>(count), 0};
        const ssize_t n = ::write(fd, bytes, count);
        return {n, n < 0 ? errno : 0};
    }
    void writeStandardError(std::string_view) override {}
    void exit(int) override {}

private:
    int devNull_;
    IdleQueue main_;
};

// Capture is never set up here: the handler is called directly.
class NoCapture final : public platform::CaptureSystem {
public:
    void getShareableContent(bool, bool, platform::ShareableContentCompletion) override {}
    std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter&, const platform::StreamConfiguration&,
                                                 std::weak_ptr<platform::StreamDelegate>) override {
        return nullptr;
    }
};

// Interleaved float audio with the format description the Linux capture backend attaches.
class Block final : public platform::SampleBuffer {
public:
    Block(std::vector<float> samples, double rate, std::uint32_t channels)
        : samples_(std::move(samples)),
          channels_(channels),
          description_(FormatFields{platform::CommonFormat::pcmFormatFloat32, rate, channels, true}) {}

    bool isValid() const override { return true; }
    bool dataIsReady() const override { return true; }
    std::int64_t numSamples() const override { return static_cast<std::int64_t>(samples_.size() / channels_); }
    const platform::AudioFormatDescription* formatDescription() const override { return &description_; }
    std::int32_t copyPCMDataIntoAudioBufferList(std::int32_t frameOffset, std::int32_t frameCount,
                                                platform::AudioBufferList& list) const override {
        const std::size_t bytes = static_cast<std::size_t>(frameCount) * channels_ * sizeof(float);
        if (list.numberBuffers != 1 || list.buffers[0].dataByteSize < bytes) return -1;
        std::memcpy(list.buffers[0].data, samples_.data() + static_cast<std::size_t>(frameOffset) * channels_, bytes);
        return 0;
    }
    const std::vector<float>& samples() const { return samples_; }
    std::uint32_t channels() const { return channels_; }

private:
    std::vector<float> samples_;
    std::uint32_t channels_;
    LinuxFormatDescription description_;
};

struct Rig {
    BenchProcess process;
    NoCapture capture;
    std::unique_ptr<platform::AudioToolkit> audio = platform::makeDefaultAudioToolkit();
    audio_tap::ExitGate gate{process};
    std::shared_ptr<audio_tap::AudioTapRunner> runner =
        audio_tap::AudioTapRunner::make({process, capture, *audio}, gate);
};

// One second of a broadband test signal (two tones and noise, about -6 dBFS),
// cut into consecutive blocks: the path sees ordinary programme material.
std::vector<Block> blocks(double rate, std::uint32_t channels, std::uint32_t frames) {
    std::vector<Block> out;
    std::uint32_t seed = 12345;
    const auto total = static_cast<std::size_t>(rate);
    for (std::size_t start = 0; start + frames <= total; start += frames) {
        std::vector<float> s(static_cast<std::size_t>(frames) * channels);
        for (std::uint32_t f = 0; f < frames; ++f) {
            const double t = static_cast<double>(start + f) / rate;
            seed = seed * 1664525u + 1013904223u;
            const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.1;
            for (std::uint32_t c = 0; c < channels; ++c) {
                const double v = 0.2 * std::sin(2 * std::numbers::pi * (440.0 + 110.0 * c) * t) +
                                 0.2 * std::sin(2 * std::numbers::pi * 3150.0 * t) + noise;
                s[static_cast<std::size_t>(f) * channels + c] = static_cast<float>(v);
            }
        }
        out.emplace_back(std::move(s), rate, channels);
    }
    return out;
}

void setRealtime(benchmark::State& state, double rate, std::uint32_t frames) {
    // Seconds of audio handled per second of CPU time.
    state.counters["realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * frames / rate,
                                                    benchmark::Counter::kIsRate);
}

// Our path: the audio tap's sample handler with the Linux toolkit.
class OursPath {
public:
    explicit OursPath(bool writes = true) { rig_.process.skipSystemCall = !writes; }
    bool ready() const { return true; }
    const char* error() const { return ""; }
    void handle(const Block& block) { rig_.runner->streamDidOutputSampleBuffer(block, platform::StreamOutputType::audio); }
    std::size_t writes() const { return rig_.process.writes; }

private:
    Rig rig_;
};

// What a program calling libsoxr itself needs for the same job: the same
// mix-down, libsoxr with the same recipe (float in, 16-bit out, as the
// toolkit makes it), and the write.
class BarePath {
public:
    BarePath(double rate, std::uint32_t channels, std::uint32_t frames, bool writes = true)
        : devNull_(::open("/dev/null", O_WRONLY | O_CLOEXEC)), systemCalls_(writes), channels_(channels), mono_(frames),
          out_(static_cast<std::size_t>(std::ceil(frames * 16000.0 / rate)) + 4096) {
        soxr_ = platform::linux_backend::makeSoxr(rate, 16000, SOXR_INT16_I, error_);
    }
    ~BarePath() {
        if (soxr_ != nullptr) soxr_delete(soxr_);
        ::close(devNull_);
    }
    BarePath(const BarePath&) = delete;
    BarePath& operator=(const BarePath&) = delete;
    bool ready() const { return soxr_ != nullptr; }
    const char* error() const { return error_.c_str(); }

    // False when the write fails.
    bool handle(const Block& b) {
        const float* s = b.samples().data();
        const auto frames = static_cast<std::uint32_t>(b.samples().size() / channels_);
        const float scale = 1.0f / static_cast<float>(channels_);
        for (std::uint32_t f = 0; f < frames; ++f) {
            float sum = 0;
            for (std::uint32_t c = 0; c < channels_; ++c) sum += s[static_cast<std::size_t>(f) * channels_ + c];
            mono_[f] = sum * scale;
        }
        std::size_t used = 0;
        std::size_t made = 0;
        soxr_process(soxr_, mono_.data(), frames, &used, out_.data(), out_.size(), &made);
        if (made == 0) return true;
        ++writes_;
        return !systemCalls_ || ::write(devNull_, out_.data(), made * 2) >= 0;
    }
    std::size_t writes() const { return writes_; }

private:
    int devNull_;
    bool systemCalls_;
    std::uint32_t channels_;
    std::vector<float> mono_;
    std::vector<std::int16_t> out_;
    std::string error_;
    soxr_t soxr_ = nullptr;
    std::size_t writes_ = 0;
};

// `writes` false: everything but the write(2) system call itself, to show
// what the number of writes costs.
void ours(benchmark::State& state, double rate, std::uint32_t channels, bool writes) {
    const auto frames = static_cast<std::uint32_t>(state.range(0));
    const auto input = blocks(rate, channels, frames);
    OursPath path(writes);
    std::size_t i = 0;
    for (auto _ : state) {
        path.handle(input[i]);
        if (++i == input.size()) i = 0;
    }
    setRealtime(state, rate, frames);
}

void bare(benchmark::State& state, double rate, std::uint32_t channels, bool writes) {
    const auto frames = static_cast<std::uint32_t>(state.range(0));
    const auto input = blocks(rate, channels, frames);
    BarePath path(rate, channels, frames, writes);
    if (!path.ready()) {
        state.SkipWithError(path.error());
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        if (!path.handle(input[i])) state.SkipWithError("write failed");
        if (++i == input.size()) i = 0;
    }
    setRealtime(state, rate, frames);
}

// A fixed amount of work for an instruction counter (callgrind with
// --toggle-collect='*countedBlocks*'): one second of audio to warm the path
// up, then `seconds` of it in the one call that is counted.
template <typename Path>
__attribute__((noinline)) void warmBlocks(Path& path, const std::vector<Block>& input) {
    for (const Block& b : input) path.handle(b);
}

template <typename Path>
__attribute__((noinline)) void countedBlocks(Path& path, const std::vector<Block>& input, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) path.handle(input[i % input.size()]);
}

// Prints the write(2) calls and allocations the counted blocks made, as JSON on standard output.
template <typename Path>
int counted(Path& path, const std::vector<Block>& input, std::size_t n) {
    if (!path.ready()) {
        std::fprintf(stderr, "%s\n", path.error());
        return 1;
    }
    warmBlocks(path, input);
    const std::size_t before = path.writes();
#ifdef PIMORLO_COUNTS_ALLOCATIONS
    gCounting = true;
    countedBlocks(path, input, n);
    gCounting = false;
    const long long allocations = static_cast<long long>(gAllocations.load());
#else
    countedBlocks(path, input, n);
    const long long allocations = -1;  // not counted in this build
#endif
    std::printf("{\"blocks\": %zu, \"writes\": %zu, \"allocations\": %lld}\n", n, path.writes() - before,
                allocations);
    return 0;
}

int count(const char* which, double rate, std::uint32_t channels, std::uint32_t frames, double seconds) {
    const auto input = blocks(rate, channels, frames);
    const auto n = static_cast<std::size_t>(seconds * rate / frames);
    if (std::strcmp(which, "ours") == 0) {
        OursPath path;
        return counted(path, input, n);
    }
    if (std::strcmp(which, "soxr") == 0) {
        BarePath path(rate, channels, frames);
        return counted(path, input, n);
    }
    std::fprintf(stderr, "usage: audio_path_bench --count ours|soxr RATE CHANNELS FRAMES SECONDS\n");
    return 2;
}

void registerAll() {
    struct Case {
        const char* name;
        double rate;
        std::uint32_t channels;
    };
    for (const Case c : {Case{"48000Hz_stereo", 48000, 2}, Case{"44100Hz_stereo", 44100, 2},
                         Case{"16000Hz_mono", 16000, 1}}) {
        for (const int frames : {480, 1024}) {
            benchmark::RegisterBenchmark((std::string("ours/") + c.name).c_str(),
                                         [c](benchmark::State& s) { ours(s, c.rate, c.channels, true); })
                ->Arg(frames);
            benchmark::RegisterBenchmark((std::string("soxr/") + c.name).c_str(),
                                         [c](benchmark::State& s) { bare(s, c.rate, c.channels, true); })
                ->Arg(frames);
            if (c.rate == 48000) {
                benchmark::RegisterBenchmark((std::string("ours_unwritten/") + c.name).c_str(),
                                             [c](benchmark::State& s) { ours(s, c.rate, c.channels, false); })
                    ->Arg(frames);
                benchmark::RegisterBenchmark((std::string("soxr_unwritten/") + c.name).c_str(),
                                             [c](benchmark::State& s) { bare(s, c.rate, c.channels, false); })
                    ->Arg(frames);
            }
        }
    }
}

// ---- quality, on what the path writes for 48 kHz stereo float in 480-frame blocks ----

std::vector<std::int16_t> throughPath(const std::vector<float>& mono, double rate = 48000, std::uint32_t frames = 480) {
    Rig rig;
    std::vector<std::int16_t> out;
    rig.process.capture = &out;
    for (std::size_t start = 0; start + frames <= mono.size(); start += frames) {
        std::vector<float> s(static_cast<std::size_t>(frames) * 2);
        for (std::uint32_t f = 0; f < frames; ++f) s[2 * f] = s[2 * f + 1] = mono[start + f];
        rig.runner->streamDidOutputSampleBuffer(Block(std::move(s), rate, 2), platform::StreamOutputType::audio);
    }
    return out;
}

std::vector<float> sine(double hz, double amplitude, double seconds, double rate = 48000) {
    std::vector<float> s(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / rate));
    return s;
}

struct Fit {
    double amplitude;  // full scale 1.0
    double residualRms;
};

// Least-squares fit of a sine at `hz` plus DC over one second of the 16 kHz
// output (a whole number of cycles for every frequency used here).
Fit fit(const std::vector<std::int16_t>& out, double hz, std::size_t start) {
    const std::size_t n = 16000;
    double c = 0, s = 0, dc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = out[start + i] / 32768.0;
        const double w = 2 * std::numbers::pi * hz * static_cast<double>(start + i) / 16000.0;
        c += x * std::cos(w);
        s += x * std::sin(w);
        dc += x;
    }
    c *= 2.0 / n;
    s *= 2.0 / n;
    dc /= n;
    double residual = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = 2 * std::numbers::pi * hz * static_cast<double>(start + i) / 16000.0;
        const double e = out[start + i] / 32768.0 - (dc + c * std::cos(w) + s * std::sin(w));
        residual += e * e;
    }
    return {std::hypot(c, s), std::sqrt(residual / n)};
}

double dB(double v) { return 20 * std::log10(v); }

struct Held {
    double meanMs;
    double maxMs;
};

// How long a sound waits in the converter: 48 kHz clicks, 12007 frames apart
// so they fall at every place within a block, go in 480-frame blocks; for
// each, the time from the end of the block that carried it to the end of the
// block after which the output holds its peak. `feed` takes one block and
// answers the output so far.
template <typename Feed>
Held clickDelay(Feed feed) {
    const std::uint32_t frames = 480;
    std::vector<float> in(48000 * 60, 0.0f);
    std::vector<std::size_t> clicks;
    for (std::size_t t = 48000; t + 48000 < in.size(); t += 12007) {
        in[t] = 0.9f;
        clicks.push_back(t);
    }
    std::vector<std::size_t> madeAfter;  // output frames after each block
    const std::vector<std::int16_t>* out = nullptr;
    for (std::size_t start = 0; start + frames <= in.size(); start += frames) {
        out = &feed(in.data() + start, frames);
        madeAfter.push_back(out->size());
    }
    double sum = 0, max = 0;
    std::size_t n = 0;
    for (const std::size_t c : clicks) {
        std::size_t peak = c / 3;
        for (std::size_t i = c / 3 - 30; i < c / 3 + 90 && i < out->size(); ++i) {
            if (std::abs((*out)[i]) > std::abs((*out)[peak])) peak = i;
        }
        const std::size_t carried = c / frames;  // the block holding the click
        for (std::size_t b = carried; b < madeAfter.size(); ++b) {
            if (madeAfter[b] > peak) {
                const double ms = static_cast<double>(b - carried) * frames / 48.0;
                sum += ms;
                max = std::max(max, ms);
                ++n;
                break;
            }
        }
    }
    return {n > 0 ? sum / static_cast<double>(n) : -1, max};
}

int quality() {
    std::printf("{\n");
    // Tones above the output's 8 kHz Nyquist fold to 16 kHz minus the tone.
    for (const double hz : {9000.0, 10000.0}) {
        const auto out = throughPath(sine(hz, 1.0, 3));
        const Fit f = fit(out, 16000 - hz, 16000);
        double peak = 0;
        for (std::size_t i = 16000; i < 32000; ++i) peak = std::max(peak, std::abs(out[i] / 32768.0));
        std::printf("  \"alias_%d_dbfs\": %.2f,\n  \"alias_%d_peak_lsb\": %.0f,\n", static_cast<int>(hz),
                    f.amplitude > 0 ? dB(f.amplitude) : -999.0, static_cast<int>(hz), peak * 32768);
    }
    {
        const double in = 0.5;
        const auto out = throughPath(sine(7000, in, 3));
        std::printf("  \"gain_7000_db\": %.4f,\n", dB(fit(out, 7000, 16000).amplitude / in));
    }
    {
        const double in = std::pow(10.0, -1.0 / 20);
        const auto out = throughPath(sine(997, in, 3));
        const Fit f = fit(out, 997, 16000);
        std::printf("  \"thdn_997_db\": %.2f,\n", dB((f.amplitude / std::sqrt(2.0)) / f.residualRms));
    }
    {
        Rig rig;
        std::vector<std::int16_t> out;
        rig.process.capture = &out;
        const Held ours = clickDelay([&](const float* mono, std::uint32_t frames) -> const std::vector<std::int16_t>& {
            std::vector<float> s(static_cast<std::size_t>(frames) * 2);
            for (std::uint32_t f = 0; f < frames; ++f) s[2 * f] = s[2 * f + 1] = mono[f];
            rig.runner->streamDidOutputSampleBuffer(Block(std::move(s), 48000, 2), platform::StreamOutputType::audio);
            return out;
        });
        // The same library with its linear-phase filter, for comparison.
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
        io.flags |= SOXR_NO_DITHER;
        soxr_t linear = soxr_create(48000, 16000, 1, nullptr, &io, &quality, nullptr);
        std::vector<std::int16_t> linearOut;
        std::vector<std::int16_t> buffer(8192);
        const Held reference =
            clickDelay([&](const float* mono, std::uint32_t frames) -> const std::vector<std::int16_t>& {
                std::size_t n = 0;
                soxr_process(linear, mono, frames, nullptr, buffer.data(), buffer.size(), &n);
                linearOut.insert(linearOut.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
                return linearOut;
            });
        soxr_delete(linear);
        std::printf("  \"held_back_ms\": %.3f,\n  \"held_back_max_ms\": %.3f,\n", ours.meanMs, ours.maxMs);
        std::printf("  \"linear_phase_held_back_ms\": %.3f,\n  \"linear_phase_held_back_max_ms\": %.3f,\n",
                    reference.meanMs, reference.maxMs);
    }
    std::printf("  \"soxr_version\": \"%s\"\n}\n", soxr_version());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--quality") == 0) return quality();
    if (argc == 7 && std::strcmp(argv[1], "--count") == 0) {
        return count(argv[2], std::atof(argv[3]), static_cast<std::uint32_t>(std::atoi(argv[4])),
                     static_cast<std::uint32_t>(std::atoi(argv[5])), std::atof(argv[6]));
    }
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
