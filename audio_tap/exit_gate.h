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
        if (claim()) process_.exit(status);
    }

    // For a caller that has something to say before the process ends (a
    // failure's line): true for the first caller only, who must then call
    // end(). Claiming before writing keeps a line from appearing when another
    // caller has already decided the ending.
    bool claim() { return !claimed_.exchange(true, std::memory_order_acq_rel); }
    void end(int status) { process_.exit(status); }

private:
    platform::Process& process_;
    std::atomic<bool> claimed_{false};
};

}  // namespace pimorlo::audio_tap
