// Capture on PipeWire's own protocol.
#pragma once

#include <memory>

#include "platform/capture.h"

namespace pimorlo::platform::linux_backend {

std::unique_ptr<CaptureSystem> makePipeWireCaptureSystem();

}  // namespace pimorlo::platform::linux_backend
