// The audio tap's process entry.
#pragma once

#include <memory>

#include "audio_tap/exit_gate.h"
#include "audio_tap/runner.h"

namespace pimorlo::audio_tap {

// The process-wide objects the entry fills; they live until the process ends.
struct Globals {
    std::shared_ptr<AudioTapRunner> runner;
    std::unique_ptr<platform::SignalSource> termSource;
    std::unique_ptr<platform::SignalSource> intSource;
};

// Runs the entry sequence against the given objects. Returns only if the main
// loop ever returns (status 0), or, on a scripted platform, once its exit or
// loop returns.
int runAudioTapEntry(Services services, Globals& globals, ExitGate& exitGate);

// The same with process-wide objects that are never torn down.
int runAudioTapEntry(Services services);

}  // namespace pimorlo::audio_tap
