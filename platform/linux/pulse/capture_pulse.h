// Capture on a PulseAudio server, through libpulse's threaded main loop.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/capture.h"

namespace pimorlo::platform::linux_backend {

class PulseCaptureSystem : public CaptureSystem {
public:
    // The content, as getShareableContent answers it, and whether the server
    // that answered is PipeWire's pipewire-pulse rather than PulseAudio.
    using ServerContentCompletion =
        std::function<void(std::optional<ShareableContent>, std::optional<Error>, bool onPipeWire)>;
    virtual void getServerContent(ServerContentCompletion completion) = 0;
};

// libpulse's own log goes to the system log from the first call on, never
// to standard error.
std::unique_ptr<PulseCaptureSystem> makePulseCaptureSystem();

}  // namespace pimorlo::platform::linux_backend
