// A scripted stand-in for the platform: every call is recorded with its
// arguments, and every answer (content, errors, writes, buffers, converters)
// is chosen by the test. Queues run only when the test says so, on a virtual
// clock, so orders and deadlines can be stated exactly. All of it may be used
// from several threads at once.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/capture.h"
#include "platform/process.h"

namespace pimorlo::scripted {

// Tasks run when the test drains the queue; delayed ones once the virtual
// clock has reached them. Tasks due at the same time run in posting order.
class ManualQueue final : public platform::Queue {
public:
    explicit ManualQueue(std::string label = "main") : label_(std::move(label)) {}
    void async(platform::Task task) override;
    void asyncAfter(double seconds, platform::Task task) override;
    std::string label() const override { return label_; }

    // Runs every task that is due, including ones posted while running.
    // Returns how many ran.
    int runDue();
    // Moves the virtual clock forward, then runs what is due.
    int advance(double seconds);
    std::size_t pending() const;
    // Delays of the delayed tasks posted so far, in posting order.
    std::vector<double> delaysPosted() const;

private:
    mutable std::mutex mutex_;
    std::string label_;
    double now_ = 0;
    unsigned long long sequence_ = 0;
    std::map<std::pair<double, unsigned long long>, platform::Task> tasks_;
    std::vector<double> delays_;
};

class ScriptedSignalSource;

// What one write(2) call does: take `bytes` (or all that was asked when
// empty), or fail with -1 and `error`, or return 0.
struct WriteStep {
    std::optional<long long> bytes;
    int error = 0;
    static WriteStep take(long long n) { return {n, 0}; }
    static WriteStep fail(int err) { return {-1, err}; }
    static WriteStep zero() { return {0, 0}; }
};

struct WriteCall {
    int fd;
    std::size_t count;
    std::vector<unsigned char> bytes;  // what was offered
};

class ScriptedProcess final : public platform::Process {
public:
    std::vector<std::string> argv{"PimOrloAudioTap"};
    pid_t pid = 4242;
    platform::Task onRunMainLoop;  // runs inside runMainLoop(), which then returns
    platform::Task onStandardError;  // runs inside writeStandardError(), before the text lands

    std::vector<std::string> arguments() const override { return argv; }
    pid_t processIdentifier() const override { return pid; }
    void ignoreSignal(int signo) override;
    std::unique_ptr<platform::SignalSource> makeSignalSource(int signo) override;
    platform::Queue& mainQueue() override { return main; }
    std::shared_ptr<platform::Queue> makeSerialQueue(std::string label) override;
    void runMainLoop() override;
    int standardOutputDescriptor() const override { return 1; }
    platform::WriteResult write(int fd, const void* bytes, std::size_t count) override;
    void writeStandardError(std::string_view text) override;
    void exit(int status) override;

    // Delivers a signal as the system would: to a resumed source's handler, on
    // the main queue.
    void deliver(int signo);
    void scriptWrites(std::vector<WriteStep> steps);

    // Observations.
    std::vector<std::string> log() const;
    std::vector<int> exits() const;
    std::string standardError() const;
    std::vector<unsigned char> standardOutput() const;
    std::vector<WriteCall> writes() const;
    std::vector<std::shared_ptr<ManualQueue>> serialQueues() const;

    ManualQueue main;

private:
    friend class ScriptedSignalSource;
    void record(std::string entry);

    mutable std::mutex mutex_;
    std::vector<std::string> log_;
    std::vector<int> exits_;
    std::string stderr_;
    std::vector<unsigned char> stdout_;
    std::vector<WriteCall> writes_;
    std::deque<WriteStep> writeScript_;
    std::vector<std::shared_ptr<ManualQueue>> serialQueues_;
    std::map<int, ScriptedSignalSource*> sources_;
};

// ---- capture ----

class ScriptedStream final : public platform::Stream {
public:
    std::optional<platform::Error> attachError;  // set before the stream is made

    bool addStreamOutput(std::weak_ptr<platform::StreamOutput> output, platform::StreamOutputType type,
                         std::shared_ptr<platform::Queue> queue, std::optional<platform::Error>& error) override;
    void startCapture(platform::ErrorCompletion completion) override;
    void stopCapture(platform::ErrorCompletion completion) override;

    // Plays the platform's side.
    void completeStart(std::optional<platform::Error> error = std::nullopt);
    void completeStop(std::optional<platform::Error> error = std::nullopt);
    void reportStop(const platform::Error& error);

    platform::ContentFilter filter;
    platform::StreamConfiguration configuration;
    std::weak_ptr<platform::StreamDelegate> delegate;
    struct Output {
        std::weak_ptr<platform::StreamOutput> output;
        platform::StreamOutputType type;
        std::shared_ptr<platform::Queue> queue;
    };
    std::vector<Output> outputs;
    int startCalls = 0;
    int stopCalls = 0;

private:
    std::mutex mutex_;
    platform::ErrorCompletion start_;
    platform::ErrorCompletion stop_;
};

class ScriptedCapture final : public platform::CaptureSystem {
public:
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             platform::ShareableContentCompletion completion) override;
    std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                                 const platform::StreamConfiguration& configuration,
                                                 std::weak_ptr<platform::StreamDelegate> delegate) override;

    // Answers the pending content request.
    void answer(std::optional<platform::ShareableContent> content, std::optional<platform::Error> error = {});

    std::optional<platform::Error> attachError;  // handed to the next stream made
    struct Request {
        bool excludingDesktopWindows;
        bool onScreenWindowsOnly;
    };
    std::vector<Request> requests;
    std::vector<std::shared_ptr<ScriptedStream>> streams;

private:
    platform::ShareableContentCompletion pending_;
};

// ---- audio ----

struct FormatSpec {
    platform::CommonFormat commonFormat = platform::CommonFormat::pcmFormatFloat32;
    double sampleRate = 48000;
    std::uint32_t channels = 2;
    bool interleaved = true;
    bool operator==(const FormatSpec&) const = default;
};

class ScriptedFormat final : public platform::AudioFormat {
public:
    explicit ScriptedFormat(FormatSpec s) : values(s) {}
    platform::CommonFormat commonFormat() const override { return values.commonFormat; }
    double sampleRate() const override { return values.sampleRate; }
    std::uint32_t channelCount() const override { return values.channels; }
    bool isInterleaved() const override { return values.interleaved; }
    bool isEqual(const platform::AudioFormat& other) const override;
    const FormatSpec values;
};

class ScriptedFormatDescription final : public platform::AudioFormatDescription {
public:
    explicit ScriptedFormatDescription(FormatSpec s) : values(s) {}
    const FormatSpec values;
};

class ScriptedPCMBuffer final : public platform::PCMBuffer {
public:
    ScriptedPCMBuffer(std::shared_ptr<const platform::AudioFormat> format, std::uint32_t capacity,
                      bool withoutInt16Data);
    const platform::AudioFormat& format() const override { return *format_; }
    std::uint32_t frameCapacity() const override { return capacity_; }
    std::uint32_t frameLength() const override { return length_; }
    void setFrameLength(std::uint32_t frames) override { length_ = frames; }
    const std::int16_t* const* int16ChannelData() const override;
    platform::AudioBufferList& mutableAudioBufferList() override { return list_; }

    std::int16_t* samples() { return reinterpret_cast<std::int16_t*>(storage_.data()); }

private:
    std::shared_ptr<const platform::AudioFormat> format_;
    std::uint32_t capacity_;
    std::uint32_t length_ = 0;
    bool withoutInt16Data_;
    std::vector<unsigned char> storage_;
    platform::AudioBuffer buffer_;
    platform::AudioBufferList list_;
    const std::int16_t* channels_[1];
};

// What one conversion does: ask the input block `inputCalls` times, then
// produce `frames` frames (by default the input resampled to 16 kHz, capped
// at the output's capacity), and answer with `status` and `error`.
struct ConversionStep {
    int inputCalls = 2;
    std::optional<std::uint32_t> frames{};
    platform::ConverterOutputStatus status = platform::ConverterOutputStatus::haveData;
    std::optional<platform::Error> error{};
};

struct ConversionRecord {
    int converterId;
    std::uint32_t outputCapacity;
    std::vector<platform::ConverterInputStatus> inputStatuses;
    std::vector<bool> inputReturned;       // whether each input call returned a buffer
    std::uint32_t inputFrames = 0;         // frame length of the supplied input
};

class ScriptedAudio final : public platform::AudioToolkit {
public:
    std::shared_ptr<const platform::AudioFormat> makeFormat(platform::CommonFormat commonFormat, double sampleRate,
                                                            std::uint32_t channels, bool interleaved) override;
    std::shared_ptr<const platform::AudioFormat> makeFormat(const platform::AudioFormatDescription& d) override;
    std::unique_ptr<platform::PCMBuffer> makePCMBuffer(std::shared_ptr<const platform::AudioFormat> format,
                                                       std::uint32_t frameCapacity) override;
    std::unique_ptr<platform::Converter> makeConverter(const platform::AudioFormat& from,
                                                       const platform::AudioFormat& to) override;

    // Knobs.
    bool refuseFormats = false;
    std::function<bool(const FormatSpec& format)> refuseBuffersOf;      // PCM buffer creation fails
    std::function<bool(const FormatSpec& from)> refuseConvertersFrom;   // converter creation fails
    bool outputWithoutInt16Data = false;
    std::deque<ConversionStep> conversions;  // consumed one per conversion; default step when empty

    // Observations.
    std::vector<FormatSpec> convertersMade;  // input format of each creation attempt, failed ones too
    int convertersDestroyed = 0;
    std::vector<ConversionRecord> conversionsDone;

private:
    friend class ScriptedConverter;
    std::mutex mutex_;
};

struct SampleBufferSpec {
    bool valid = true;
    bool ready = true;
    std::int64_t frames = 1024;
    std::optional<FormatSpec> format = FormatSpec{};
    std::int32_t copyStatus = 0;
};

class ScriptedSampleBuffer final : public platform::SampleBuffer {
public:
    explicit ScriptedSampleBuffer(SampleBufferSpec values);
    bool isValid() const override { return values.valid; }
    bool dataIsReady() const override { return values.ready; }
    std::int64_t numSamples() const override { return values.frames; }
    const platform::AudioFormatDescription* formatDescription() const override { return description_.get(); }
    std::int32_t copyPCMDataIntoAudioBufferList(std::int32_t frameOffset, std::int32_t frameCount,
                                                platform::AudioBufferList& list) const override;

    const SampleBufferSpec values;
    mutable int copyCalls = 0;
    mutable std::int32_t lastCopyOffset = -1;
    mutable std::int32_t lastCopyCount = -1;

private:
    std::unique_ptr<ScriptedFormatDescription> description_;
};

// The three families together, as the programs receive them.
struct ScriptedPlatform {
    ScriptedProcess process;
    ScriptedCapture capture;
    ScriptedAudio audio;
};

}  // namespace pimorlo::scripted
