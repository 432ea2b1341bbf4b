// The one way the audio tap's process ends. Stop completions, delayed tasks and
// set-up failures run on different threads and may all want to end the process
// at the same moment; only the first caller's status may stand, and the
// process must be ended exactly once.
#pragma once

#include <atomic>

#include "platform/process.h"

namespace pimorlo::audio_tap {

class ExitGate {
public:
    explicit ExitGate(platform::Process& process) : process_(process) {}

    // Ends the process with `status` if nobody has yet. A later caller returns
    // without effect (a real process is already on its way out by then).
    void exit(int status) {
        if (claimed_.exchange(true, std::memory_order_acq_rel)) return;
        process_.exit(status);
    }

private:
    platform::Process& process_;
    std::atomic<bool> claimed_{false};
};

}  // namespace pimorlo::audio_tap
