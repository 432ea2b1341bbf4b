// The audio tap's one controller: it sets capture up, converts every audio
// sample buffer to 16 kHz mono signed 16-bit, writes it to standard output,
// and stops the process in order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "audio_tap/exit_gate.h"
#include "audio_tap/published_once.h"
#include "audio_tap/rules.h"
#include "platform/audio.h"
#include "platform/capture.h"
#include "platform/process.h"

namespace pimorlo::audio_tap {

struct Services {
    platform::Process& process;
    platform::CaptureSystem& capture;
    platform::AudioToolkit& audio;
};

class AudioTapRunner final : public platform::StreamOutput,
                             public platform::StreamDelegate,
                             public std::enable_shared_from_this<AudioTapRunner> {
public:
    // Builds the queue and the output format and nothing else. A platform that
    // refuses the fixed output format aborts the process.
    static std::shared_ptr<AudioTapRunner> make(Services services, ExitGate& exitGate);

    // Asks for the shareable content; capture is set up in the answer.
    void start();

    // The one orderly stop; main queue only. Ends the process with `code` once
    // the stream reports its stop, or half a second later at the latest.
    void stopAndExit(int code = 0);

    void streamDidOutputSampleBuffer(const platform::SampleBuffer& sampleBuffer,
                                     platform::StreamOutputType type) override;
    void streamDidStopWithError(const platform::Error& error) override;

    AudioTapRunner(Services services, ExitGate& exitGate, std::shared_ptr<platform::Queue> queue,
                   std::shared_ptr<const platform::AudioFormat> target);

private:
    void setUpCapture(std::optional<platform::ShareableContent> content, std::optional<platform::Error> error);
    void fail(const Failure& failure);
    bool converterFits(const platform::AudioFormat& inputFormat);
    void writeStdoutChunk(const void* ptr, std::int64_t byteCount);

    Services services_;
    ExitGate& exitGate_;

    // Written once on the set-up's thread, read on the main queue.
    PublishedOnce<std::shared_ptr<platform::Stream>> stream;
    const std::shared_ptr<platform::Queue> audioQueue;
    // audioQueue only.
    std::unique_ptr<platform::Converter> converter;
    std::shared_ptr<const platform::AudioFormat> lastInputFormat;
    const std::shared_ptr<const platform::AudioFormat> targetFormat;
    // Set on the main queue, read on the audio queue and by the stop report.
    std::atomic<bool> stopped{false};
    // audioQueue only.
    bool pipeClosed = false;
};

}  // namespace pimorlo::audio_tap
