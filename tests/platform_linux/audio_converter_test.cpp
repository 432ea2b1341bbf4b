// The Linux converter through the toolkit interface, as the audio tap uses it:
// one input buffer per call, handed over whole, and `noDataNow` afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "platform/audio.h"

// Allocations made through operator new while `gCounting` is set.
namespace {
std::atomic<bool> gCounting{false};
std::atomic<std::size_t> gAllocations{0};
}  // namespace

void* operator new(std::size_t bytes) {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
    throw std::bad_alloc();
}
// GCC sees malloc in operator new and free here, and takes them for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wunknown-warning-option"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace pimorlo::platform {
namespace {

constexpr double kPi = std::numbers::pi;

struct Source {
    CommonFormat format;
    double rate;
    std::uint32_t channels;
    bool interleaved;
};

// Writes one frame's value (the same in every channel, or only channel 0 when
// `onlyFirst`) into a buffer of any supported layout.
void putFrame(PCMBuffer& buffer, std::uint32_t frame, double value, bool onlyFirst = false) {
    const AudioFormat& f = buffer.format();
    AudioBufferList& list = buffer.mutableAudioBufferList();
    for (std::uint32_t c = 0; c < f.channelCount(); ++c) {
        const double v = (onlyFirst && c > 0) ? 0.0 : value;
        const bool interleaved = list.numberBuffers == 1;
        auto* base = static_cast<std::uint8_t*>(list.buffers[interleaved ? 0 : c].data);
        const std::size_t index = interleaved ? frame * f.channelCount() + c : frame;
        switch (f.commonFormat()) {
            case CommonFormat::pcmFormatFloat32: {
                float s = static_cast<float>(v);
                std::memcpy(base + index * 4, &s, 4);
                break;
            }
            case CommonFormat::pcmFormatFloat64: std::memcpy(base + index * 8, &v, 8); break;
            case CommonFormat::pcmFormatInt16: {
                auto s = static_cast<std::int16_t>(std::lround(std::clamp(v * 32768.0, -32768.0, 32767.0)));
                std::memcpy(base + index * 2, &s, 2);
                break;
            }
            case CommonFormat::pcmFormatInt32: {
                auto s = static_cast<std::int32_t>(std::llround(std::clamp(v * 2147483648.0, -2147483648.0, 2147483647.0)));
                std::memcpy(base + index * 4, &s, 4);
                break;
            }
            default: break;
        }
    }
}

// Feeds `signal(t)` in blocks of the given sizes (cycled), one conversion call
// per block with an output sized as the audio tap sizes it (or `capacity`
// frames when given), then ends the stream and collects everything.
std::vector<std::int16_t> convertAll(const Source& src, std::size_t frames, const std::function<double(double)>& signal,
                                     std::vector<std::uint32_t> blocks, std::uint32_t capacity = 0,
                                     bool onlyFirstChannel = false, bool flush = true) {
    auto toolkit = makeDefaultAudioToolkit();
    auto in = toolkit->makeFormat(src.format, src.rate, src.channels, src.interleaved);
    auto out = toolkit->makeFormat(CommonFormat::pcmFormatInt16, 16000.0, 1, true);
    auto converter = toolkit->makeConverter(*in, *out);
    EXPECT_TRUE(converter);
    std::vector<std::int16_t> result;
    if (!converter) return result;

    auto collect = [&](std::uint32_t cap, const ConverterInputBlock& block) {
        auto output = toolkit->makePCMBuffer(out, cap);
        std::optional<Error> error;
        auto status = converter->convert(*output, error, block);
        EXPECT_NE(status, ConverterOutputStatus::error);
        EXPECT_FALSE(error);
        const std::int16_t* samples = output->int16ChannelData()[0];
        result.insert(result.end(), samples, samples + output->frameLength());
        return status;
    };

    std::size_t done = 0;
    for (std::size_t b = 0; done < frames; ++b) {
        const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(blocks[b % blocks.size()], frames - done));
        auto buffer = toolkit->makePCMBuffer(in, n);
        buffer->setFrameLength(n);
        for (std::uint32_t i = 0; i < n; ++i) putFrame(*buffer, i, signal((done + i) / src.rate), onlyFirstChannel);
        done += n;
        bool supplied = false;
        const std::uint32_t cap =
            capacity != 0 ? capacity : static_cast<std::uint32_t>(std::ceil(16000.0 / src.rate * n)) + 64;
        collect(cap, [&](std::uint32_t, ConverterInputStatus& status) -> PCMBuffer* {
            if (supplied) {
                status = ConverterInputStatus::noDataNow;
                return nullptr;
            }
            supplied = true;
            status = ConverterInputStatus::haveData;
            return buffer.get();
        });
    }
    // What short outputs left behind comes out of later calls.
    for (int i = 0; i < 100000; ++i) {
        const ConverterInputStatus last = flush ? ConverterInputStatus::endOfStream : ConverterInputStatus::noDataNow;
        auto status = collect(capacity != 0 ? capacity : 4096, [&](std::uint32_t, ConverterInputStatus& s) -> PCMBuffer* {
            s = last;
            return nullptr;
        });
        if (status != ConverterOutputStatus::haveData) break;
    }
    return result;
}

double rmsOf(const std::vector<std::int16_t>& v, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(v[i]) * v[i];
    return std::sqrt(sum / static_cast<double>(to - from)) / 32768.0;
}

auto tone(double hz, double amplitude) {
    return [=](double t) { return amplitude * std::sin(2 * kPi * hz * t); };
}

// Two buffers are made and dropped for every sample buffer at the capture
// rate; once a stream runs, that must not reach the allocator.
TEST(LinuxConverter, SteadyConversionAllocatesNothing) {
    for (const Source src : {Source{CommonFormat::pcmFormatFloat32, 48000, 2, true},
                             Source{CommonFormat::pcmFormatFloat32, 44100, 2, false},
                             Source{CommonFormat::pcmFormatFloat32, 48000, 6, false},
                             Source{CommonFormat::pcmFormatInt16, 16000, 1, true}}) {
        SCOPED_TRACE(testing::Message() << src.rate << " Hz, " << src.channels << " channels");
        auto toolkit = makeDefaultAudioToolkit();
        auto in = toolkit->makeFormat(src.format, src.rate, src.channels, src.interleaved);
        auto out = toolkit->makeFormat(CommonFormat::pcmFormatInt16, 16000.0, 1, true);
        auto converter = toolkit->makeConverter(*in, *out);
        ASSERT_TRUE(converter);
        std::size_t written = 0;
        // As the tap does it: a new input and output buffer for each sample
        // buffer, whose frame count wanders a little from cycle to cycle.
        auto oneBuffer = [&](std::uint32_t frames) {
            auto input = toolkit->makePCMBuffer(in, frames);
            input->setFrameLength(frames);
            for (std::uint32_t i = 0; i < frames; ++i) putFrame(*input, i, 0.25 * std::sin(0.05 * (written + i)));
            auto output = toolkit->makePCMBuffer(out, static_cast<std::uint32_t>(std::ceil(16000.0 / src.rate * frames)) + 64);
            bool supplied = false;
            std::optional<Error> error;
            converter->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& status) -> PCMBuffer* {
                status = supplied ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
                PCMBuffer* given = supplied ? nullptr : input.get();
                supplied = true;
                return given;
            });
            written += output->frameLength();
        };
        for (int i = 0; i < 200; ++i) oneBuffer(i % 3 == 0 ? 470 : 480);
        gAllocations = 0;
        gCounting = true;
        for (int i = 0; i < 500; ++i) oneBuffer(i % 3 == 0 ? 470 : 480);
        gCounting = false;
        EXPECT_EQ(gAllocations.load(), 0u);
        EXPECT_GT(written, 500u * 150u);
    }
}

TEST(LinuxConverter, BlockSizesAndShortOutputsDoNotChangeTheResult) {
    const Source src{CommonFormat::pcmFormatFloat32, 48000, 2, true};
    auto signal = [](double t) { return 0.4 * std::sin(2 * kPi * 440 * t) + 0.3 * std::sin(2 * kPi * 3100 * t); };
    const auto whole = convertAll(src, 96000, signal, {96000});
    ASSERT_GT(whole.size(), 31000u);
    EXPECT_EQ(convertAll(src, 96000, signal, {1024}), whole);
    EXPECT_EQ(convertAll(src, 96000, signal, {7, 480, 1, 2048, 333}), whole);
    // An output far smaller than one input block loses nothing either.
    EXPECT_EQ(convertAll(src, 96000, signal, {1024}, 10), whole);
}

TEST(LinuxConverter, OutputHeldBackForACallerThatTakesTooLittleIsBounded) {
    // Each call gives room for 10 frames while 341 come out: what is held back
    // would grow without end. Past four seconds of output the newest is
    // dropped; what was held back up to then still comes out, whole.
    const Source src{CommonFormat::pcmFormatFloat32, 48000, 2, true};
    auto signal = [](double t) { return 0.4 * std::sin(2 * kPi * 440 * t); };
    const std::size_t frames = 48000 * 12;
    const auto whole = convertAll(src, frames, signal, {1024});
    const auto starved = convertAll(src, frames, signal, {1024}, 10, false, false);
    const std::size_t calls = (frames + 1023) / 1024;
    EXPECT_GE(starved.size(), 4 * 16000u);
    EXPECT_LE(starved.size(), calls * 10 + 4 * 16000 + 1024);
    ASSERT_LE(starved.size(), whole.size());
    EXPECT_TRUE(std::equal(starved.begin(), starved.begin() + 4 * 16000, whole.begin()));
}

TEST(LinuxConverter, LongRunFrameCountMatchesTheRateRatio) {
    for (double rate : {48000.0, 44100.0, 96000.0, 22050.0, 8000.0, 16000.0}) {
        SCOPED_TRACE(rate);
        const Source src{CommonFormat::pcmFormatInt16, rate, 2, true};
        const auto frames = static_cast<std::size_t>(rate * 30);
        const auto out = convertAll(src, frames, tone(300, 0.5), {1024, 441});
        EXPECT_NEAR(static_cast<double>(out.size()), frames * 16000.0 / rate, 1.0);
        // Without the end of the stream only the filter's delay (tens of ms) is held back.
        const auto streaming = convertAll(src, frames, tone(300, 0.5), {1024}, 0, false, false);
        EXPECT_LE(streaming.size(), out.size());
        EXPECT_GE(static_cast<double>(streaming.size()), out.size() - 0.08 * 16000);
    }
}

TEST(LinuxConverter, TonesAboveEightKilohertzDoNotAliasIntoTheOutput) {
    for (double rate : {48000.0, 44100.0}) {
        for (double hz : {8500.0, 9000.0, 10000.0, 15000.0}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz input, " << hz << " Hz tone");
            const Source src{CommonFormat::pcmFormatFloat32, rate, 1, true};
            const auto out = convertAll(src, static_cast<std::size_t>(rate * 2), tone(hz, 0.9), {1024});
            const double leak = 20 * std::log10(std::max(rmsOf(out, 4000, out.size() - 4000), 1e-12));
            EXPECT_LT(leak, -90.0);
        }
    }
    // A tone inside the band keeps its level (0.5 peak is 0.3536 RMS).
    const auto pass = convertAll({CommonFormat::pcmFormatFloat32, 48000, 1, true}, 96000, tone(7000, 0.5), {1024});
    EXPECT_NEAR(rmsOf(pass, 4000, pass.size() - 4000), 0.5 / std::sqrt(2.0), 0.01);
}

TEST(LinuxConverter, EveryLayoutIsMixedDownToItsOwnLevel) {
    const Source sources[] = {
        {CommonFormat::pcmFormatFloat32, 48000, 2, true},  {CommonFormat::pcmFormatFloat32, 48000, 2, false},
        {CommonFormat::pcmFormatFloat64, 44100, 1, true},  {CommonFormat::pcmFormatInt16, 16000, 1, true},
        {CommonFormat::pcmFormatInt32, 32000, 6, true},    {CommonFormat::pcmFormatInt16, 48000, 2, false},
    };
    for (const auto& src : sources) {
        SCOPED_TRACE(testing::Message() << static_cast<unsigned>(src.format) << " " << src.rate << " Hz "
                                        << src.channels << " ch " << (src.interleaved ? "interleaved" : "planar"));
        const auto out = convertAll(src, static_cast<std::size_t>(src.rate), tone(1000, 0.5), {1024});
        ASSERT_GT(out.size(), 15000u);
        EXPECT_NEAR(rmsOf(out, 2000, out.size() - 2000), 0.5 / std::sqrt(2.0), 0.005);
    }
    // One loud channel of two is halved, never summed into clipping.
    const auto oneSided = convertAll({CommonFormat::pcmFormatFloat32, 48000, 2, true}, 48000, tone(1000, 1.0), {1024}, 0, true);
    EXPECT_NEAR(rmsOf(oneSided, 2000, oneSided.size() - 2000), 0.5 / std::sqrt(2.0), 0.005);
}

TEST(LinuxConverter, FloatStereoAndMonoLayoutsGiveTheSameSamples) {
    // Equal channels mix down to the mono signal exactly, so every float
    // layout of one signal, fast path or not, must give the same bits.
    auto signal = [](double t) { return 0.4 * std::sin(2 * kPi * 440 * t) + 0.2 * std::sin(2 * kPi * 5100 * t); };
    for (double rate : {48000.0, 16000.0}) {
        SCOPED_TRACE(rate);
        const auto mono = convertAll({CommonFormat::pcmFormatFloat32, rate, 1, true}, 24000, signal, {480});
        ASSERT_GT(mono.size(), 7000u);
        EXPECT_EQ(convertAll({CommonFormat::pcmFormatFloat32, rate, 2, true}, 24000, signal, {480}), mono);
        EXPECT_EQ(convertAll({CommonFormat::pcmFormatFloat32, rate, 2, false}, 24000, signal, {480}), mono);
        EXPECT_EQ(convertAll({CommonFormat::pcmFormatFloat32, rate, 1, false}, 24000, signal, {480}), mono);
        EXPECT_EQ(convertAll({CommonFormat::pcmFormatFloat64, rate, 2, false}, 24000, signal, {480}), mono);
    }
}

TEST(LinuxConverter, SameRateSamplesRoundToNearestEvenAndSaturate) {
    struct Case {
        float in;
        std::int16_t out;
    };
    const float lsb = 1.0f / 32768;
    const Case cases[] = {
        {0.0f, 0},          {0.5f * lsb, 0},     {1.5f * lsb, 2},      {-0.5f * lsb, 0},   {-1.5f * lsb, -2},
        {2.5f * lsb, 2},    {0.49f * lsb, 0},    {0.51f * lsb, 1},     {1.0f, 32767},      {32766.5f * lsb, 32766},
        {-1.0f, -32768},    {-1.5f, -32768},     {4.0f, 32767},        {NAN, 0},           {INFINITY, 32767},
        {-INFINITY, -32768},
    };
    std::vector<float> values;
    for (const auto& c : cases) values.push_back(c.in);
    const auto out = convertAll({CommonFormat::pcmFormatFloat32, 16000, 1, true}, values.size(),
                                [&](double t) { return values[static_cast<std::size_t>(std::lround(t * 16000))]; },
                                {3});
    ASSERT_EQ(out.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(out[i], cases[i].out) << "input " << cases[i].in;
}

TEST(LinuxConverter, SamplesThatAreNotNumbersBecomeSilenceNotFullScale) {
    // One block of not-a-number and infinity amid a quiet tone: what comes out
    // stays near the tone's level instead of a burst of full-scale samples.
    const Source src{CommonFormat::pcmFormatFloat32, 48000, 2, true};
    const auto out = convertAll(src, 48000, [](double t) {
        if (t >= 0.5 && t < 0.51) return t < 0.505 ? static_cast<double>(NAN) : static_cast<double>(INFINITY);
        return 0.1 * std::sin(2 * kPi * 440 * t);
    }, {480});
    ASSERT_GT(out.size(), 15000u);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_LE(std::abs(static_cast<int>(out[i])), 4000) << "at " << i;
}

TEST(LinuxConverter, OverRangeInputClipsAndNeverWraps) {
    for (const Source& src : {Source{CommonFormat::pcmFormatFloat32, 16000, 1, true},
                              Source{CommonFormat::pcmFormatFloat64, 48000, 2, true}}) {
        SCOPED_TRACE(src.rate);
        const auto out = convertAll(src, static_cast<std::size_t>(src.rate), tone(200, 1.8), {1024});
        int top = 0, bottom = 0;
        for (std::size_t i = 1; i < out.size(); ++i) {
            top += out[i] == 32767;
            bottom += out[i] == -32768;
            // A wrap shows as a jump across the whole range between neighbours.
            ASSERT_LT(std::abs(static_cast<int>(out[i]) - out[i - 1]), 20000) << "at " << i;
        }
        EXPECT_GT(top, 1000);
        EXPECT_GT(bottom, 1000);
    }
    // A same-rate 16-bit stream passes unchanged, extremes included.
    const auto exact = convertAll({CommonFormat::pcmFormatInt16, 16000, 1, true}, 16000,
                                  [](double t) { return std::fmod(t * 1000, 2.0) < 1.0 ? 1.0 : -1.0; }, {100});
    for (auto s : exact) ASSERT_TRUE(s == 32767 || s == -32768);
}

TEST(LinuxConverter, FormatsAndConvertersTheToolkitRefuses) {
    auto toolkit = makeDefaultAudioToolkit();
    EXPECT_FALSE(toolkit->makeFormat(CommonFormat::otherFormat, 48000, 2, true));
    EXPECT_FALSE(toolkit->makeFormat(CommonFormat::pcmFormatFloat32, 0, 2, true));
    EXPECT_FALSE(toolkit->makeFormat(CommonFormat::pcmFormatFloat32, NAN, 2, true));
    EXPECT_FALSE(toolkit->makeFormat(CommonFormat::pcmFormatFloat32, 48000, 0, true));
    auto stereo = toolkit->makeFormat(CommonFormat::pcmFormatFloat32, 48000, 2, true);
    auto target = toolkit->makeFormat(CommonFormat::pcmFormatInt16, 16000, 1, true);
    EXPECT_TRUE(stereo->isEqual(*toolkit->makeFormat(CommonFormat::pcmFormatFloat32, 48000, 2, true)));
    EXPECT_FALSE(stereo->isEqual(*toolkit->makeFormat(CommonFormat::pcmFormatFloat32, 44100, 2, true)));
    EXPECT_FALSE(toolkit->makeConverter(*target, *stereo)) << "only 16-bit mono output is offered";
    struct Foreign : AudioFormatDescription {};
    EXPECT_EQ(toolkit->makeFormat(Foreign{})->commonFormat(), CommonFormat::otherFormat);
    EXPECT_FALSE(toolkit->makeConverter(*toolkit->makeFormat(Foreign{}), *target));
    // A buffer of a format other than the converter's is an error, not a misread.
    auto converter = toolkit->makeConverter(*stereo, *target);
    auto wrong = toolkit->makePCMBuffer(toolkit->makeFormat(CommonFormat::pcmFormatInt16, 48000, 2, true), 16);
    wrong->setFrameLength(16);
    auto output = toolkit->makePCMBuffer(target, 64);
    std::optional<Error> error;
    auto status = converter->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& s) {
        s = ConverterInputStatus::haveData;
        return wrong.get();
    });
    EXPECT_EQ(status, ConverterOutputStatus::error);
    EXPECT_TRUE(error);
    // An empty buffer of the right format is no error, and gives nothing.
    auto empty = toolkit->makePCMBuffer(stereo, 16);
    error.reset();
    bool supplied = false;
    status = converter->convert(*output, error, [&](std::uint32_t, ConverterInputStatus& s) -> PCMBuffer* {
        s = supplied ? ConverterInputStatus::noDataNow : ConverterInputStatus::haveData;
        supplied = true;
        return s == ConverterInputStatus::haveData ? empty.get() : nullptr;
    });
    EXPECT_EQ(status, ConverterOutputStatus::inputRanDry);
    EXPECT_FALSE(error);
    EXPECT_EQ(output->frameLength(), 0u);
}

}  // namespace
}  // namespace pimorlo::platform
