// Capture on macOS: ScreenCaptureKit's shareable content, content filter,
// stream configuration and capture stream.
#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <memory>
#include <utility>

#include "platform/capture.h"
#include "platform/macos/core_media_audio.h"
#include "platform/macos/dispatch_queue.h"
#include "platform/macos/exclusion_follower.h"
#include "platform/macos/foundation_values.h"

// The seam's types are named in full at file scope, where the SDK's global
// names (MacTypes' Point, Rect, Size...) live.

// Takes the stream's delegate and output roles and hands each call to the
// controller behind the seam, which it holds weakly, as the stream holds it.
@interface PimOrloStreamBridge : NSObject <SCStreamOutput, SCStreamDelegate>
- (instancetype)initWithDelegate:(std::weak_ptr<pimorlo::platform::StreamDelegate>)delegate;
- (void)setOutput:(std::weak_ptr<pimorlo::platform::StreamOutput>)output;
@end

@implementation PimOrloStreamBridge {
    std::weak_ptr<pimorlo::platform::StreamDelegate> _delegate;
    std::weak_ptr<pimorlo::platform::StreamOutput> _output;
}

- (instancetype)initWithDelegate:(std::weak_ptr<pimorlo::platform::StreamDelegate>)delegate {
    self = [super init];
    if (self != nil) _delegate = std::move(delegate);
    return self;
}

- (void)setOutput:(std::weak_ptr<pimorlo::platform::StreamOutput>)output {
    _output = std::move(output);
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
    (void)stream;
    // The sample-handler queue drains its pool only now and then; the format,
    // buffers and errors one buffer's conversion leaves behind go with it.
    @autoreleasepool {
        if (auto output = _output.lock()) {
            const pimorlo::platform::macos::CoreMediaSampleBuffer buffer(sampleBuffer);
            output->streamDidOutputSampleBuffer(buffer, static_cast<pimorlo::platform::StreamOutputType>(type));
        }
    }
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
    (void)stream;
    if (auto delegate = _delegate.lock()) delegate->streamDidStopWithError(pimorlo::platform::macos::errorFrom(error));
}

@end

namespace pimorlo::platform {
namespace macos {
namespace {

// How often a running capture lists the applications again, to exclude one
// that started after set-up. Nothing tells a process without AppKit that an
// application has launched (NSWorkspace's notifications are AppKit's), and a
// listing asks the window server about every window, so it is not asked often.
constexpr double kExclusionLookInterval = 2.0;

void callWith(const ErrorCompletion& completion, NSError* error) { completion(optionalError(error)); }

SCContentFilter* contentFilterFrom(const ContentFilter& filter) {
    NSMutableArray<SCRunningApplication*>* excluded =
        [NSMutableArray arrayWithCapacity:filter.excludingApplications.size()];
    for (const RunningApplication& application : filter.excludingApplications) {
        if (SCRunningApplication* native = nativeObject(application.native)) [excluded addObject:native];
    }
    NSMutableArray<SCWindow*>* excepted = [NSMutableArray arrayWithCapacity:filter.exceptingWindows.size()];
    for (const CaptureWindow& window : filter.exceptingWindows) {
        if (SCWindow* native = nativeObject(window.native)) [excepted addObject:native];
    }
    return [[SCContentFilter alloc] initWithDisplay:nativeObject(filter.display.native)
                              excludingApplications:excluded
                                   exceptingWindows:excepted];
}

class SCKStream final : public Stream {
public:
    SCKStream(SCStream* stream, PimOrloStreamBridge* bridge, std::shared_ptr<ExclusionFollower> follower)
        : stream_(stream), bridge_(bridge), follower_(std::move(follower)) {}

    bool addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<Queue> sampleHandlerQueue, std::optional<Error>& error) override {
        auto* queue = dynamic_cast<DispatchQueue*>(sampleHandlerQueue.get());
        if (queue == nullptr) {
            error = Error{0, "The sample-handler queue is not a Dispatch queue."};
            return false;
        }
        [bridge_ setOutput:std::move(output)];
        NSError* addError = nil;
        const BOOL added = [stream_ addStreamOutput:bridge_
                                               type:static_cast<SCStreamOutputType>(type)
                                 sampleHandlerQueue:queue->native()
                                              error:&addError];
        if (!added) error = optionalError(addError).value_or(Error{});
        return added;
    }

    // Applications are followed only while capture runs: a filter update is
    // for a running stream.
    void startCapture(ErrorCompletion completion) override {
        std::shared_ptr<ExclusionFollower> follower = follower_;
        [stream_ startCaptureWithCompletionHandler:^(NSError* error) {
          if (error == nil && follower) follower->start();
          callWith(completion, error);
        }];
    }

    void stopCapture(ErrorCompletion completion) override {
        if (follower_) follower_->stop();
        [stream_ stopCaptureWithCompletionHandler:^(NSError* error) {
          callWith(completion, error);
        }];
    }

private:
    SCStream* stream_;
    // The stream keeps neither its delegate nor its outputs alive.
    PimOrloStreamBridge* bridge_;
    // Empty when the filter carries no rule to follow.
    std::shared_ptr<ExclusionFollower> follower_;
};

Display displayFrom(SCDisplay* display) { return Display{display.displayID, retainNative(display)}; }

RunningApplication applicationFrom(SCRunningApplication* application) {
    return RunningApplication{application.processID, optionalString(application.bundleIdentifier),
                              optionalString(application.applicationName), retainNative(application)};
}

ShareableContent contentFrom(SCShareableContent* content) {
    ShareableContent result;
    for (SCDisplay* display in content.displays) result.displays.push_back(displayFrom(display));
    for (SCRunningApplication* application in content.applications) {
        result.applications.push_back(applicationFrom(application));
    }
    return result;
}

SCStreamConfiguration* configurationFrom(const StreamConfiguration& settings) {
    SCStreamConfiguration* configuration = [[SCStreamConfiguration alloc] init];
    if (settings.capturesAudio) configuration.capturesAudio = *settings.capturesAudio;
    if (settings.excludesCurrentProcessAudio) {
        configuration.excludesCurrentProcessAudio = *settings.excludesCurrentProcessAudio;
    }
    if (settings.sampleRate) configuration.sampleRate = *settings.sampleRate;
    if (settings.channelCount) configuration.channelCount = *settings.channelCount;
    if (settings.width) configuration.width = *settings.width;
    if (settings.height) configuration.height = *settings.height;
    if (settings.minimumFrameInterval) {
        configuration.minimumFrameInterval =
            CMTimeMake(settings.minimumFrameInterval->value, settings.minimumFrameInterval->timescale);
    }
    if (settings.showsCursor) configuration.showsCursor = *settings.showsCursor;
    return configuration;
}

class SCKCaptureSystem final : public CaptureSystem {
public:
    explicit SCKCaptureSystem(Process& process) : process_(process) {}

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ShareableContentCompletion completion) override {
        [SCShareableContent
            getShareableContentExcludingDesktopWindows:excludingDesktopWindows
                                   onScreenWindowsOnly:onScreenWindowsOnly
                                     completionHandler:^(SCShareableContent* content, NSError* error) {
                                       // With an error the content is never looked at.
                                       if (error != nil) {
                                           completion(std::nullopt, errorFrom(error));
                                       } else if (content == nil) {
                                           completion(std::nullopt, std::nullopt);
                                       } else {
                                           completion(contentFrom(content), std::nullopt);
                                       }
                                     }];
    }

    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override {
        PimOrloStreamBridge* bridge = [[PimOrloStreamBridge alloc] initWithDelegate:std::move(delegate)];
        SCStream* stream = [[SCStream alloc] initWithFilter:contentFilterFrom(filter)
                                              configuration:configurationFrom(configuration)
                                                   delegate:bridge];
        return std::make_shared<SCKStream>(stream, bridge, followerFor(stream, filter));
    }

private:
    std::shared_ptr<ExclusionFollower> followerFor(SCStream* stream, const ContentFilter& filter) {
        if (!filter.excludesApplication) return nullptr;
        // A failed update leaves the stream on its old filter; the follower
        // tries again at its next look and reports nothing.
        auto apply = [stream](const ContentFilter& next, std::function<void(bool)> done) {
            [stream updateContentFilter:contentFilterFrom(next)
                      completionHandler:^(NSError* error) {
                        done(error == nil);
                      }];
        };
        return std::make_shared<ExclusionFollower>(*this, process_.makeSerialQueue("pimorlo.capture.exclusions"),
                                                   kExclusionLookInterval, filter, std::move(apply));
    }

    Process& process_;
};

}  // namespace
}  // namespace macos

std::unique_ptr<CaptureSystem> makeDefaultCaptureSystem(Process& process) {
    return std::make_unique<macos::SCKCaptureSystem>(process);
}

}  // namespace pimorlo::platform
