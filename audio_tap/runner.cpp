#include "audio_tap/runner.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

namespace pimorlo::audio_tap {

using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;

std::shared_ptr<AudioTapRunner> AudioTapRunner::make(Services services, ExitGate& exitGate) {
    auto queue = services.process.makeSerialQueue(std::string(kAudioQueueLabel));
    auto target = services.audio.makeFormat(platform::CommonFormat::pcmFormatInt16, kOutputSampleRate,
                                            kOutputChannels, /*interleaved=*/true);
    if (!target) std::abort();  // fixed values the platform always accepts; nothing sensible to go on with
    return std::make_shared<AudioTapRunner>(services, exitGate, std::move(queue), std::move(target));
}

AudioTapRunner::AudioTapRunner(Services services, ExitGate& exitGate, std::shared_ptr<platform::Queue> queue,
                               std::shared_ptr<const platform::AudioFormat> target)
    : services_(services), exitGate_(exitGate), audioQueue(std::move(queue)), targetFormat(std::move(target)) {}

// ---- capture set-up ----

void AudioTapRunner::start() {
    std::weak_ptr<AudioTapRunner> weakSelf = weak_from_this();
    services_.capture.getShareableContent(
        /*excludingDesktopWindows=*/false, /*onScreenWindowsOnly=*/false,
        [weakSelf](std::optional<platform::ShareableContent> content, std::optional<platform::Error> error) {
            if (auto self = weakSelf.lock()) self->setUpCapture(std::move(content), std::move(error));
        });
}

void AudioTapRunner::fail(const Failure& failure) {
    // A stop that ended the process first decided its status: no line then.
    if (!exitGate_.claim()) return;
    services_.process.writeStandardError(failure.message);
    exitGate_.end(failure.status);
}

void AudioTapRunner::setUpCapture(std::optional<platform::ShareableContent> content,
                                  std::optional<platform::Error> error) {
    if (error) return fail(contentRequestFailure(*error));
    if (!content || content->displays.empty()) return fail(noDisplayFailure());

    const pid_t ownProcessID = services_.process.processIdentifier();
    platform::ContentFilter filter;
    filter.display = content->displays.front();
    filter.excludingApplications = applicationsToExclude(content->applications, ownProcessID);
    filter.excludesApplication = [ownProcessID](const platform::RunningApplication& application) {
        return isSelfOrCompanion(application, ownProcessID);
    };

    auto newStream = services_.capture.makeStream(filter, audioOnlyStreamConfiguration(),
                                                  std::weak_ptr<platform::StreamDelegate>(shared_from_this()));
    std::optional<platform::Error> attachError;
    if (!newStream->addStreamOutput(std::weak_ptr<platform::StreamOutput>(shared_from_this()),
                                    platform::StreamOutputType::audio, audioQueue, attachError)) {
        return fail(attachOutputFailure(attachError.value_or(platform::Error{})));
    }
    stream.publish(newStream);

    // The start completion keeps the runner alive until it has run.
    newStream->startCapture([self = shared_from_this()](std::optional<platform::Error> startError) {
        if (startError) self->fail(startFailure(*startError));
    });
}

void AudioTapRunner::streamDidStopWithError(const platform::Error& error) {
    if (stopped.load()) return;  // our own stop decides the status
    fail(streamStoppedFailure(error));
}

// ---- orderly stop ----

void AudioTapRunner::stopAndExit(int code) {
    if (stopped.load()) return;
    stopped.store(true);

    auto current = stream.load();
    if (!current) return exitGate_.exit(code);

    ExitGate* gate = &exitGate_;  // process-wide: outlives every callback
    current->stopCapture([gate, code](std::optional<platform::Error>) { gate->exit(code); });
    services_.process.mainQueue().asyncAfter(0.5, [gate, code] { gate->exit(code); });
}

// ---- sample conversion ----

bool AudioTapRunner::converterFits(const platform::AudioFormat& inputFormat) {
    return converter && lastInputFormat && lastInputFormat->isEqual(inputFormat);
}

void AudioTapRunner::streamDidOutputSampleBuffer(const platform::SampleBuffer& sampleBuffer,
                                                 platform::StreamOutputType type) {
    if (type != platform::StreamOutputType::audio) return;
    if (stopped.load()) return;
    if (pipeClosed) return;
    if (!sampleBuffer.isValid() || !sampleBuffer.dataIsReady()) return;

    const auto frames = usableFrameCount(sampleBuffer.numSamples());
    if (!frames) return;
    const platform::AudioFormatDescription* description = sampleBuffer.formatDescription();
    if (!description) return;

    auto inputFormat = services_.audio.makeFormat(*description);
    if (!inputFormat) return;
    auto input = services_.audio.makePCMBuffer(inputFormat, *frames);
    if (!input) return;
    input->setFrameLength(*frames);
    if (sampleBuffer.copyPCMDataIntoAudioBufferList(0, static_cast<std::int32_t>(*frames),
                                                    input->mutableAudioBufferList()) != 0) {
        return;
    }

    if (!converterFits(*inputFormat)) {
        // The old converter goes without being drained: its held-back frames
        // belong to a format that is no longer arriving.
        converter = services_.audio.makeConverter(*inputFormat, *targetFormat);
        lastInputFormat = inputFormat;
    }
    if (!converter) return;

    const auto capacity = outputFrameCapacity(inputFormat->sampleRate(), *frames);
    if (!capacity) return;
    auto output = services_.audio.makePCMBuffer(targetFormat, *capacity);
    if (!output) return;

    bool inputSupplied = false;
    platform::PCMBuffer* inputBuffer = input.get();
    std::optional<platform::Error> conversionError;
    const ConverterOutputStatus status = converter->convert(
        *output, conversionError,
        [&inputSupplied, inputBuffer](std::uint32_t, ConverterInputStatus& inputStatus) -> platform::PCMBuffer* {
            if (inputSupplied) {
                // Never end of stream: the converter must stay usable for the next buffer.
                inputStatus = ConverterInputStatus::noDataNow;
                return nullptr;
            }
            inputSupplied = true;
            inputStatus = ConverterInputStatus::haveData;
            return inputBuffer;
        });
    if (status == ConverterOutputStatus::error || conversionError) return;

    const std::uint32_t produced = output->frameLength();
    if (produced == 0) return;
    const std::int16_t* const* channels = output->int16ChannelData();
    if (!channels) return;
    writeStdoutChunk(channels[0], static_cast<std::int64_t>(produced) * 2);
}

// ---- PCM output ----

void AudioTapRunner::writeStdoutChunk(const void* ptr, std::int64_t byteCount) {
    const int descriptor = services_.process.standardOutputDescriptor();
    if (byteCount < 1) return;

    const auto* bytes = static_cast<const unsigned char*>(ptr);
    std::int64_t offset = 0;
    while (offset < byteCount) {
        const platform::WriteResult result =
            services_.process.write(descriptor, bytes + offset, static_cast<std::size_t>(byteCount - offset));
        if (result.bytes > 0) {
            offset += result.bytes;
            continue;
        }
        if (result.bytes < 0 && result.error == EINTR) continue;

        // The reader is gone or the descriptor failed: a normal end, status 0.
        pipeClosed = true;
        std::weak_ptr<AudioTapRunner> weakSelf = weak_from_this();
        services_.process.mainQueue().async([weakSelf] {
            if (auto self = weakSelf.lock()) self->stopAndExit(0);
        });
        return;
    }
}

}  // namespace pimorlo::audio_tap
