#include "tests/scripted/scripted_platform.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pimorlo::scripted {

// ---- queues ----

void ManualQueue::async(platform::Task task) {
    std::lock_guard lock(mutex_);
    tasks_.emplace(std::make_pair(now_, sequence_++), std::move(task));
}

void ManualQueue::asyncAfter(double seconds, platform::Task task) {
    std::lock_guard lock(mutex_);
    delays_.push_back(seconds);
    tasks_.emplace(std::make_pair(now_ + seconds, sequence_++), std::move(task));
}

int ManualQueue::runDue() {
    int ran = 0;
    for (;;) {
        platform::Task task;
        {
            std::lock_guard lock(mutex_);
            auto first = tasks_.begin();
            if (first == tasks_.end() || first->first.first > now_) return ran;
            task = std::move(first->second);
            tasks_.erase(first);
        }
        task();
        ++ran;
    }
}

int ManualQueue::advance(double seconds) {
    {
        std::lock_guard lock(mutex_);
        now_ += seconds;
    }
    return runDue();
}

std::size_t ManualQueue::pending() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

std::vector<double> ManualQueue::delaysPosted() const {
    std::lock_guard lock(mutex_);
    return delays_;
}

// ---- process ----

class ScriptedSignalSource final : public platform::SignalSource {
public:
    ScriptedSignalSource(ScriptedProcess& process, int signo) : process_(process), signo_(signo) {}
    ~ScriptedSignalSource() override {
        std::lock_guard lock(process_.mutex_);
        process_.sources_.erase(signo_);
    }
    void setEventHandler(platform::Task handler) override {
        process_.record("signal-handler " + std::to_string(signo_));
        std::lock_guard lock(process_.mutex_);
        handler_ = std::move(handler);
    }
    void resume() override {
        process_.record("signal-resume " + std::to_string(signo_));
        std::lock_guard lock(process_.mutex_);
        resumed_ = true;
    }

    platform::Task handler_;
    bool resumed_ = false;

private:
    ScriptedProcess& process_;
    int signo_;
};

void ScriptedProcess::record(std::string entry) {
    std::lock_guard lock(mutex_);
    log_.push_back(std::move(entry));
}

void ScriptedProcess::ignoreSignal(int signo) { record("signal-ignore " + std::to_string(signo)); }

std::unique_ptr<platform::SignalSource> ScriptedProcess::makeSignalSource(int signo) {
    record("signal-source " + std::to_string(signo));
    auto source = std::make_unique<ScriptedSignalSource>(*this, signo);
    std::lock_guard lock(mutex_);
    sources_[signo] = source.get();
    return source;
}

std::shared_ptr<platform::Queue> ScriptedProcess::makeSerialQueue(std::string label) {
    record("serial-queue " + label);
    auto queue = std::make_shared<ManualQueue>(std::move(label));
    std::lock_guard lock(mutex_);
    serialQueues_.push_back(queue);
    return queue;
}

void ScriptedProcess::runMainLoop() {
    record("run-main-loop");
    if (onRunMainLoop) onRunMainLoop();
}

platform::WriteResult ScriptedProcess::write(int fd, const void* bytes, std::size_t count) {
    std::lock_guard lock(mutex_);
    const auto* data = static_cast<const unsigned char*>(bytes);
    writes_.push_back({fd, count, std::vector<unsigned char>(data, data + count)});
    WriteStep step{};
    if (!writeScript_.empty()) {
        step = writeScript_.front();
        writeScript_.pop_front();
    }
    const long long taken = step.bytes.value_or(static_cast<long long>(count));
    if (taken <= 0) return {taken, step.error};
    const auto n = std::min<std::size_t>(static_cast<std::size_t>(taken), count);
    stdout_.insert(stdout_.end(), data, data + n);
    return {static_cast<long long>(n), 0};
}

void ScriptedProcess::writeStandardError(std::string_view text) {
    if (onStandardError) onStandardError();
    record("stderr");
    std::lock_guard lock(mutex_);
    stderr_.append(text);
}

void ScriptedProcess::exit(int status) {
    record("exit " + std::to_string(status));
    std::lock_guard lock(mutex_);
    exits_.push_back(status);
}

void ScriptedProcess::deliver(int signo) {
    platform::Task handler;
    {
        std::lock_guard lock(mutex_);
        auto found = sources_.find(signo);
        if (found == sources_.end() || !found->second->resumed_) return;
        handler = found->second->handler_;
    }
    if (handler) main.async(handler);
}

void ScriptedProcess::scriptWrites(std::vector<WriteStep> steps) {
    std::lock_guard lock(mutex_);
    writeScript_.assign(steps.begin(), steps.end());
}

std::vector<std::string> ScriptedProcess::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}
std::vector<int> ScriptedProcess::exits() const {
    std::lock_guard lock(mutex_);
    return exits_;
}
std::string ScriptedProcess::standardError() const {
    std::lock_guard lock(mutex_);
    return stderr_;
}
std::vector<unsigned char> ScriptedProcess::standardOutput() const {
    std::lock_guard lock(mutex_);
    return stdout_;
}
std::vector<WriteCall> ScriptedProcess::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}
std::vector<std::shared_ptr<ManualQueue>> ScriptedProcess::serialQueues() const {
    std::lock_guard lock(mutex_);
    return serialQueues_;
}

// ---- capture ----

bool ScriptedStream::addStreamOutput(std::weak_ptr<platform::StreamOutput> output, platform::StreamOutputType type,
                                     std::shared_ptr<platform::Queue> queue, std::optional<platform::Error>& error) {
    outputs.push_back({std::move(output), type, std::move(queue)});
    if (attachError) {
        error = attachError;
        return false;
    }
    return true;
}

void ScriptedStream::startCapture(platform::ErrorCompletion completion) {
    std::lock_guard lock(mutex_);
    ++startCalls;
    start_ = std::move(completion);
}

void ScriptedStream::stopCapture(platform::ErrorCompletion completion) {
    std::lock_guard lock(mutex_);
    ++stopCalls;
    stop_ = std::move(completion);
}

void ScriptedStream::completeStart(std::optional<platform::Error> error) {
    platform::ErrorCompletion completion;
    {
        std::lock_guard lock(mutex_);
        completion = std::move(start_);
    }
    if (completion) completion(std::move(error));
}

void ScriptedStream::completeStop(std::optional<platform::Error> error) {
    platform::ErrorCompletion completion;
    {
        std::lock_guard lock(mutex_);
        completion = std::move(stop_);
    }
    if (completion) completion(std::move(error));
}

void ScriptedStream::reportStop(const platform::Error& error) {
    if (auto target = delegate.lock()) target->streamDidStopWithError(error);
}

void ScriptedCapture::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                          platform::ShareableContentCompletion completion) {
    requests.push_back({excludingDesktopWindows, onScreenWindowsOnly});
    pending_ = std::move(completion);
}

std::shared_ptr<platform::Stream> ScriptedCapture::makeStream(const platform::ContentFilter& filter,
                                                              const platform::StreamConfiguration& configuration,
                                                              std::weak_ptr<platform::StreamDelegate> delegate) {
    auto stream = std::make_shared<ScriptedStream>();
    stream->filter = filter;
    stream->configuration = configuration;
    stream->delegate = std::move(delegate);
    stream->attachError = attachError;
    streams.push_back(stream);
    return stream;
}

void ScriptedCapture::answer(std::optional<platform::ShareableContent> content, std::optional<platform::Error> error) {
    auto completion = std::move(pending_);
    pending_ = nullptr;
    if (completion) completion(std::move(content), std::move(error));
}

// ---- audio ----

namespace {

std::size_t bytesPerSample(platform::CommonFormat format) {
    switch (format) {
        case platform::CommonFormat::pcmFormatInt16: return 2;
        case platform::CommonFormat::pcmFormatFloat64: return 8;
        default: return 4;
    }
}

}  // namespace

class ScriptedConverter final : public platform::Converter {
public:
    ScriptedConverter(ScriptedAudio& audio, int id) : audio_(audio), id_(id) {}
    ~ScriptedConverter() override {
        std::lock_guard lock(audio_.mutex_);
        ++audio_.convertersDestroyed;
    }

    platform::ConverterOutputStatus convert(platform::PCMBuffer& output, std::optional<platform::Error>& error,
                                            const platform::ConverterInputBlock& input) override {
        ConversionStep step;
        {
            std::lock_guard lock(audio_.mutex_);
            if (!audio_.conversions.empty()) {
                step = audio_.conversions.front();
                audio_.conversions.pop_front();
            }
        }
        ConversionRecord record{id_, output.frameCapacity(), {}, {}, 0};
        double inputRate = 16000;
        for (int i = 0; i < step.inputCalls; ++i) {
            auto status = platform::ConverterInputStatus::endOfStream;
            platform::PCMBuffer* supplied = input(512, status);
            record.inputStatuses.push_back(status);
            record.inputReturned.push_back(supplied != nullptr);
            if (supplied) {
                record.inputFrames += supplied->frameLength();
                inputRate = supplied->format().sampleRate();
            }
        }
        const auto natural = static_cast<std::uint32_t>(
            std::floor(static_cast<double>(record.inputFrames) * 16000.0 / std::max(inputRate, 1.0)));
        const std::uint32_t frames = std::min(step.frames.value_or(natural), output.frameCapacity());
        if (auto* buffer = dynamic_cast<ScriptedPCMBuffer*>(&output);
            buffer && output.format().commonFormat() == platform::CommonFormat::pcmFormatInt16) {
            for (std::uint32_t i = 0; i < frames; ++i) buffer->samples()[i] = static_cast<std::int16_t>(id_ * 1000 + i);
        }
        output.setFrameLength(frames);
        error = step.error;
        std::lock_guard lock(audio_.mutex_);
        audio_.conversionsDone.push_back(std::move(record));
        return step.status;
    }

private:
    ScriptedAudio& audio_;
    int id_;
};

bool ScriptedFormat::isEqual(const platform::AudioFormat& other) const {
    const auto* scripted = dynamic_cast<const ScriptedFormat*>(&other);
    return scripted && scripted->values == values;
}

ScriptedPCMBuffer::ScriptedPCMBuffer(std::shared_ptr<const platform::AudioFormat> format, std::uint32_t capacity,
                                     bool withoutInt16Data)
    : format_(std::move(format)),
      capacity_(capacity),
      withoutInt16Data_(withoutInt16Data),
      storage_(static_cast<std::size_t>(capacity) * format_->channelCount() * bytesPerSample(format_->commonFormat())),
      buffer_{format_->channelCount(), static_cast<std::uint32_t>(storage_.size()), storage_.data()},
      list_{1, &buffer_},
      channels_{reinterpret_cast<const std::int16_t*>(storage_.data())} {}

const std::int16_t* const* ScriptedPCMBuffer::int16ChannelData() const {
    if (withoutInt16Data_ || format_->commonFormat() != platform::CommonFormat::pcmFormatInt16) return nullptr;
    return channels_;
}

std::shared_ptr<const platform::AudioFormat> ScriptedAudio::makeFormat(platform::CommonFormat commonFormat,
                                                                       double sampleRate, std::uint32_t channels,
                                                                       bool interleaved) {
    if (refuseFormats) return nullptr;
    return std::make_shared<ScriptedFormat>(FormatSpec{commonFormat, sampleRate, channels, interleaved});
}

std::shared_ptr<const platform::AudioFormat> ScriptedAudio::makeFormat(const platform::AudioFormatDescription& d) {
    return std::make_shared<ScriptedFormat>(static_cast<const ScriptedFormatDescription&>(d).values);
}

std::unique_ptr<platform::PCMBuffer> ScriptedAudio::makePCMBuffer(std::shared_ptr<const platform::AudioFormat> format,
                                                                  std::uint32_t frameCapacity) {
    const FormatSpec values = static_cast<const ScriptedFormat&>(*format).values;
    if (refuseBuffersOf && refuseBuffersOf(values)) return nullptr;
    const bool isOutput = values.commonFormat == platform::CommonFormat::pcmFormatInt16 && values.sampleRate == 16000 &&
                          values.channels == 1;
    return std::make_unique<ScriptedPCMBuffer>(std::move(format), frameCapacity, isOutput && outputWithoutInt16Data);
}

std::unique_ptr<platform::Converter> ScriptedAudio::makeConverter(const platform::AudioFormat& from,
                                                                  const platform::AudioFormat&) {
    const FormatSpec values = static_cast<const ScriptedFormat&>(from).values;
    int id;
    {
        std::lock_guard lock(mutex_);
        convertersMade.push_back(values);
        id = static_cast<int>(convertersMade.size());
    }
    if (refuseConvertersFrom && refuseConvertersFrom(values)) return nullptr;
    return std::make_unique<ScriptedConverter>(*this, id);
}

ScriptedSampleBuffer::ScriptedSampleBuffer(SampleBufferSpec s) : values(s) {
    if (values.format) description_ = std::make_unique<ScriptedFormatDescription>(*values.format);
}

std::int32_t ScriptedSampleBuffer::copyPCMDataIntoAudioBufferList(std::int32_t frameOffset, std::int32_t frameCount,
                                                                  platform::AudioBufferList& list) const {
    ++copyCalls;
    lastCopyOffset = frameOffset;
    lastCopyCount = frameCount;
    if (values.copyStatus != 0) return values.copyStatus;
    for (std::uint32_t i = 0; i < list.numberBuffers; ++i) {
        std::memset(list.buffers[i].data, 0x11, list.buffers[i].dataByteSize);
    }
    return 0;
}

}  // namespace pimorlo::scripted
