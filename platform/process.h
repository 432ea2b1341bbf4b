// Process and signals: the main queue and its run loop, serial queues, signal
// sources, raw descriptor writes, the process identity and the process exit.
//
// Every operation reports failure as a value. Callbacks are plain closures;
// whoever hands one over decides what it captures (strongly or weakly).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pimorlo::platform {

using Task = std::function<void()>;

// A queue that runs its tasks one at a time, in the order they were posted.
class Queue {
public:
    virtual ~Queue() = default;
    virtual void async(Task task) = 0;
    virtual void asyncAfter(double seconds, Task task) = 0;
    virtual std::string label() const = 0;
};

// Reports every delivery of one signal on the main queue, even while the
// signal's disposition is "ignore". Deliveries are reported only once resumed.
class SignalSource {
public:
    virtual ~SignalSource() = default;
    virtual void setEventHandler(Task handler) = 0;
    virtual void resume() = 0;
};

// Outcome of one write(2): bytes taken, or -1 with the errno of that call.
struct WriteResult {
    long long bytes = 0;
    int error = 0;
};

class Process {
public:
    virtual ~Process() = default;

    // The process's arguments, program name first.
    virtual std::vector<std::string> arguments() const = 0;
    virtual pid_t processIdentifier() const = 0;

    // signal(signo, SIG_IGN).
    virtual void ignoreSignal(int signo) = 0;
    virtual std::unique_ptr<SignalSource> makeSignalSource(int signo) = 0;

    virtual Queue& mainQueue() = 0;
    // A new serial queue. It lives as long as the returned handle.
    virtual std::shared_ptr<Queue> makeSerialQueue(std::string label) = 0;
    // Runs the main queue on the calling (main) thread; returns only if the
    // loop is told to quit, which the programs here never do.
    virtual void runMainLoop() = 0;

    virtual int standardOutputDescriptor() const = 0;
    virtual WriteResult write(int fd, const void* bytes, std::size_t count) = 0;
    // One write of the whole text to standard error; the outcome is not reported.
    virtual void writeStandardError(std::string_view text) = 0;

    // Ends the process with the status. A real backend never returns from it;
    // a scripted one records the call and returns, so callers return right after.
    virtual void exit(int status) = 0;
};

// The process services of the backend this program is built with, for the
// arguments that main() received.
std::unique_ptr<Process> makeDefaultProcess(int argc, char** argv);

}  // namespace pimorlo::platform
