// The capture system of the Linux build: PipeWire or PulseAudio, whichever
// the machine runs, chosen when the content is asked for (see
// capture/server_choice.h). Each record the content lists carries the
// backend that made it, so the stream is made by the same one.
#include <memory>
#include <utility>

#include "platform/capture.h"
#include "platform/linux/capture/server_choice.h"
#include "platform/linux/pipewire/capture_pipewire.h"
#include "platform/linux/pulse/capture_pulse.h"

namespace pimorlo::platform {
namespace {

using linux_backend::ServerAnswer;
using linux_backend::SoundServer;

struct Chosen {
    CaptureSystem* backend = nullptr;
    std::shared_ptr<const void> native;
};

ServerAnswer answerOf(const std::optional<ShareableContent>& content, const std::optional<Error>& error,
                      bool onPipeWire = false) {
    ServerAnswer answer;
    answer.answered = content && !error;
    answer.hasDisplays = answer.answered && !content->displays.empty();
    answer.onPipeWire = onPipeWire;
    if (error) answer.error = error->localizedDescription;
    return answer;
}

std::optional<ShareableContent> tagged(CaptureSystem* backend, std::optional<ShareableContent> content) {
    if (!content) return content;
    for (Display& display : content->displays)
        display.native = std::make_shared<Chosen>(Chosen{backend, std::move(display.native)});
    for (RunningApplication& application : content->applications)
        application.native = std::make_shared<Chosen>(Chosen{backend, std::move(application.native)});
    return content;
}

class ServerChoosingCaptureSystem final : public CaptureSystem {
public:
    ServerChoosingCaptureSystem(std::unique_ptr<CaptureSystem> pipewire,
                                std::unique_ptr<linux_backend::PulseCaptureSystem> pulseaudio)
        : pipewire_(std::move(pipewire)), pulseaudio_(std::move(pulseaudio)) {}

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ShareableContentCompletion completion) override {
        pipewire_->getShareableContent(
            excludingDesktopWindows, onScreenWindowsOnly,
            [this, completion](std::optional<ShareableContent> content, std::optional<Error> error) {
                const ServerAnswer pipewire = answerOf(content, error);
                if (!linux_backend::askPulseAudio(pipewire)) {
                    completion(tagged(pipewire_.get(), std::move(content)), std::move(error));
                    return;
                }
                pulseaudio_->getServerContent([this, completion, pipewire, pwContent = std::move(content),
                                               pwError = std::move(error)](std::optional<ShareableContent> paContent,
                                                                           std::optional<Error> paError,
                                                                           bool onPipeWire) mutable {
                    const ServerAnswer pulseaudio = answerOf(paContent, paError, onPipeWire);
                    const auto chosen = linux_backend::chooseServer(pipewire, pulseaudio);
                    if (!chosen) {
                        completion(std::nullopt, Error{pwError ? pwError->code : -3805,
                                                       linux_backend::neitherAnswered(pipewire, pulseaudio)});
                    } else if (*chosen == SoundServer::pulseaudio) {
                        completion(tagged(pulseaudio_.get(), std::move(paContent)), std::nullopt);
                    } else {
                        completion(tagged(pipewire_.get(), std::move(pwContent)), std::move(pwError));
                    }
                });
            });
    }

    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override {
        auto chosen = std::static_pointer_cast<const Chosen>(filter.display.native);
        CaptureSystem* backend = chosen && chosen->backend ? chosen->backend : pipewire_.get();
        ContentFilter inner = filter;
        inner.display.native = chosen ? chosen->native : nullptr;
        for (RunningApplication& application : inner.excludingApplications) {
            auto record = std::static_pointer_cast<const Chosen>(application.native);
            application.native = record && record->backend == backend ? record->native : nullptr;
        }
        return backend->makeStream(inner, configuration, std::move(delegate));
    }

private:
    std::unique_ptr<CaptureSystem> pipewire_;
    std::unique_ptr<linux_backend::PulseCaptureSystem> pulseaudio_;
};

}  // namespace

std::unique_ptr<CaptureSystem> makeDefaultCaptureSystem(Process&) {
    return std::make_unique<ServerChoosingCaptureSystem>(linux_backend::makePipeWireCaptureSystem(),
                                                         linux_backend::makePulseCaptureSystem());
}

}  // namespace pimorlo::platform
