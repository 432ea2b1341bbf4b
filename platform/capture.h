// Capture: the shareable content (displays and running applications), a
// content filter, a stream configuration and the capture stream with its audio
// output and stop report.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/error.h"
#include "platform/process.h"

namespace pimorlo::platform {

// `native` carries the backend's own object for the record; the core only
// hands it back to the same backend.
struct Display {
    std::uint32_t displayID = 0;
    std::shared_ptr<const void> native;
};

struct RunningApplication {
    pid_t processID = 0;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> applicationName;
    std::shared_ptr<const void> native;
};

struct CaptureWindow {
    std::shared_ptr<const void> native;
};

struct ShareableContent {
    std::vector<Display> displays;
    std::vector<RunningApplication> applications;
};

// The display form of a filter, with exclusions.
struct ContentFilter {
    Display display;
    std::vector<RunningApplication> excludingApplications;
    std::vector<CaptureWindow> exceptingWindows;
    // The rule that chose `excludingApplications`, for a backend on which an
    // application becomes known only once it plays (it may start after the
    // content was listed). Empty: only the listed applications are excluded.
    std::function<bool(const RunningApplication&)> excludesApplication;
};

struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
};

// Properties left empty keep the platform's default. A backend applies the set
// ones in declaration order.
struct StreamConfiguration {
    std::optional<bool> capturesAudio;
    std::optional<bool> excludesCurrentProcessAudio;
    std::optional<long> sampleRate;
    std::optional<long> channelCount;
    std::optional<std::size_t> width;
    std::optional<std::size_t> height;
    std::optional<MediaTime> minimumFrameInterval;
    std::optional<bool> showsCursor;
};

enum class StreamOutputType : long { screen = 0, audio = 1, microphone = 2 };

class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    // Called on the queue given when the output was added.
    virtual void streamDidOutputSampleBuffer(const SampleBuffer& sampleBuffer, StreamOutputType type) = 0;
};

class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    // The stream stopped on its own; called on a thread the backend chooses.
    virtual void streamDidStopWithError(const Error& error) = 0;
};

using ErrorCompletion = std::function<void(std::optional<Error>)>;

class Stream {
public:
    virtual ~Stream() = default;
    // True on success; false with `error` filled on failure. The stream holds
    // the output weakly.
    virtual bool addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                 std::shared_ptr<Queue> sampleHandlerQueue, std::optional<Error>& error) = 0;
    // Each completion is called once, on a thread the backend chooses.
    virtual void startCapture(ErrorCompletion completion) = 0;
    virtual void stopCapture(ErrorCompletion completion) = 0;
};

using ShareableContentCompletion = std::function<void(std::optional<ShareableContent>, std::optional<Error>)>;

class CaptureSystem {
public:
    virtual ~CaptureSystem() = default;
    // The completion is called once, on a thread the backend chooses.
    virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                     ShareableContentCompletion completion) = 0;
    // The stream holds its delegate weakly.
    virtual std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                               std::weak_ptr<StreamDelegate> delegate) = 0;
};

// The capture system of the backend this program is built with.
std::unique_ptr<CaptureSystem> makeDefaultCaptureSystem(Process& process);

}  // namespace pimorlo::platform
