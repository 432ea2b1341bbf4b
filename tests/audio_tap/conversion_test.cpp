#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "tests/audio_tap/runner_fixture.h"

namespace pimorlo::audio_tap {
namespace {

using platform::CommonFormat;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;
using platform::StreamOutputType;
using scripted::ConversionStep;
using scripted::FormatSpec;
using scripted::SampleBufferSpec;

const FormatSpec k48kStereo{CommonFormat::pcmFormatFloat32, 48000, 2, false};
const FormatSpec k44kStereo{CommonFormat::pcmFormatFloat32, 44100, 2, false};

class ConversionTest : public RunnerTest {
protected:
    void SetUp() override { stream = capture(); }
    std::shared_ptr<scripted::ScriptedStream> stream;
};

TEST_F(ConversionTest, UnusableBuffersAreDroppedBeforeAnyConverterIsMade) {
    struct Case {
        const char* what;
        SampleBufferSpec buffer;
        StreamOutputType type = StreamOutputType::audio;
        std::function<void(scripted::ScriptedAudio&)> arrange = nullptr;
    };
    const Case cases[] = {
        {"screen buffer", {}, StreamOutputType::screen},
        {"microphone buffer", {}, StreamOutputType::microphone},
        {"invalid", {.valid = false}},
        {"data not ready", {.ready = false}},
        {"no frames", {.frames = 0}},
        {"negative frame count", {.frames = -5}},
        {"frame count past signed 32 bits", {.frames = std::int64_t{1} << 31}},
        {"no format description", {.format = std::nullopt}},
        {"input buffer refused", {}, StreamOutputType::audio,
         [](scripted::ScriptedAudio& a) { a.refuseBuffersOf = [](const FormatSpec& f) { return f.channels == 2; }; }},
        {"copy fails", {.copyStatus = -12731}},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.capture();
        if (c.arrange) c.arrange(rig.p.audio);
        rig.deliver(c.buffer, c.type);
        EXPECT_TRUE(rig.p.audio.convertersMade.empty()) << c.what;
        EXPECT_TRUE(rig.p.process.writes().empty()) << c.what;
        EXPECT_TRUE(rig.p.process.exits().empty()) << c.what;
        EXPECT_TRUE(rig.p.process.standardError().empty()) << c.what;
    }
}

TEST_F(ConversionTest, CopiesAllFramesFromTheStartAndWritesTwoBytesPerProducedFrame) {
    scripted::ScriptedSampleBuffer buffer({.frames = 1024, .format = k48kStereo});
    runner->streamDidOutputSampleBuffer(buffer, StreamOutputType::audio);
    EXPECT_EQ(buffer.lastCopyOffset, 0);
    EXPECT_EQ(buffer.lastCopyCount, 1024);

    ASSERT_EQ(p.audio.conversionsDone.size(), 1u);
    EXPECT_EQ(p.audio.conversionsDone[0].outputCapacity, 406u);
    EXPECT_EQ(p.audio.conversionsDone[0].inputFrames, 1024u);
    const auto writes = p.process.writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].fd, 1);
    EXPECT_EQ(writes[0].count, 341u * 2);  // floor(1024 / 3) frames came out

    // The bytes are channel 0's samples, in the machine's own order.
    const auto out = p.process.standardOutput();
    ASSERT_EQ(out.size(), 682u);
    EXPECT_EQ(out[0] | (out[1] << 8), 1000);
    EXPECT_EQ(out[680] | (out[681] << 8), 1000 + 340);
}

TEST_F(ConversionTest, ByteCountIsTwiceTheFramesProduced) {
    p.audio.conversions.push_back({.frames = 342});
    deliver({.frames = 1024, .format = k48kStereo});
    ASSERT_EQ(p.process.writes().size(), 1u);
    EXPECT_EQ(p.process.writes()[0].count, 684u);
}

TEST_F(ConversionTest, InputBlockSuppliesTheBufferOnceThenNoDataNeverEndOfStream) {
    p.audio.conversions.push_back({.inputCalls = 3});
    deliver({.format = k48kStereo});
    deliver({.format = k48kStereo});
    ASSERT_EQ(p.audio.conversionsDone.size(), 2u);
    for (const auto& done : p.audio.conversionsDone) {
        ASSERT_GE(done.inputStatuses.size(), 2u);
        EXPECT_EQ(done.inputStatuses[0], ConverterInputStatus::haveData);
        EXPECT_TRUE(done.inputReturned[0]);
        for (std::size_t i = 1; i < done.inputStatuses.size(); ++i) {
            EXPECT_EQ(done.inputStatuses[i], ConverterInputStatus::noDataNow);
            EXPECT_FALSE(done.inputReturned[i]);
        }
    }
}

TEST_F(ConversionTest, ConverterIsReusedForEqualFormatsAndRebuiltWhenTheFormatChanges) {
    deliver({.format = k48kStereo});
    deliver({.format = k48kStereo});
    EXPECT_EQ(p.audio.convertersMade.size(), 1u);

    deliver({.format = k44kStereo});
    ASSERT_EQ(p.audio.convertersMade.size(), 2u);
    EXPECT_EQ(p.audio.convertersMade[1], k44kStereo);
    EXPECT_EQ(p.audio.convertersDestroyed, 1);  // released without a draining conversion

    deliver({.format = k48kStereo});
    EXPECT_EQ(p.audio.convertersMade.size(), 3u);

    std::vector<int> usedBy;
    for (const auto& c : p.audio.conversionsDone) usedBy.push_back(c.converterId);
    EXPECT_EQ(usedBy, (std::vector<int>{1, 1, 2, 3}));
    EXPECT_EQ(p.audio.conversionsDone[2].outputCapacity, 436u);
}

TEST_F(ConversionTest, AFormatThatCannotBeConvertedIsRetriedForEveryBuffer) {
    p.audio.refuseConvertersFrom = [](const FormatSpec& f) { return f.channels == 7; };
    const FormatSpec odd{CommonFormat::pcmFormatFloat32, 48000, 7, false};
    deliver({.format = odd});
    deliver({.format = odd});
    EXPECT_EQ(p.audio.convertersMade.size(), 2u);
    EXPECT_TRUE(p.process.writes().empty());

    deliver({.format = k48kStereo});
    EXPECT_EQ(p.audio.convertersMade.size(), 3u);
    EXPECT_EQ(p.process.writes().size(), 1u);
}

TEST_F(ConversionTest, FailedConversionsWriteNothingAndKeepTheConverter) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
    };
    const Case cases[] = {
        {"error status", [&] { p.audio.conversions.push_back({.status = ConverterOutputStatus::error}); }},
        {"error object with a good status",
         [&] { p.audio.conversions.push_back({.error = platform::Error{-50, "bad"}}); }},
        {"no frames produced", [&] { p.audio.conversions.push_back({.frames = 0}); }},
        {"output buffer refused",
         [&] { p.audio.refuseBuffersOf = [](const FormatSpec& f) { return f.sampleRate == 16000; }; }},
        {"no 16-bit channel data", [&] { p.audio.outputWithoutInt16Data = true; }},
    };
    for (const auto& c : cases) {
        c.arrange();
        const auto writesBefore = p.process.writes().size();
        deliver({.format = k48kStereo});
        EXPECT_EQ(p.process.writes().size(), writesBefore) << c.what;
        p.audio.refuseBuffersOf = nullptr;
        p.audio.outputWithoutInt16Data = false;
        deliver({.format = k48kStereo});
        EXPECT_EQ(p.process.writes().size(), writesBefore + 1) << c.what << ": the next buffer goes through";
    }
    EXPECT_EQ(p.audio.convertersMade.size(), 1u);
}

TEST_F(ConversionTest, EveryNonErrorStatusWithFramesIsWritten) {
    for (auto status : {ConverterOutputStatus::haveData, ConverterOutputStatus::inputRanDry,
                        ConverterOutputStatus::endOfStream}) {
        p.audio.conversions.push_back({.status = status});
    }
    for (int i = 0; i < 3; ++i) deliver({.format = k48kStereo});
    EXPECT_EQ(p.process.writes().size(), 3u);
}

TEST_F(ConversionTest, FailedCopyLeavesTheConverterCacheAlone) {
    deliver({.format = k48kStereo});
    deliver({.format = k44kStereo, .copyStatus = -1});
    deliver({.format = k48kStereo});
    EXPECT_EQ(p.audio.convertersMade.size(), 1u);
}

TEST_F(ConversionTest, NothingIsHandledOnceStoppingBegan) {
    runner->stopAndExit(0);
    deliver({.format = k48kStereo});
    EXPECT_TRUE(p.audio.convertersMade.empty());
    EXPECT_TRUE(p.process.writes().empty());
}

}  // namespace
}  // namespace pimorlo::audio_tap
