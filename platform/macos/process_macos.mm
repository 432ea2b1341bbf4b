// Process services on macOS: Dispatch queues and signal sources, the main run
// loop, and Foundation's file handles and process information.
#import <Foundation/Foundation.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/macos/dispatch_queue.h"
#include "platform/process.h"

namespace pimorlo::platform {
namespace macos {

DispatchQueue::DispatchQueue(dispatch_queue_t queue, std::string label) : queue_(queue), label_(std::move(label)) {}

void DispatchQueue::async(Task task) {
    dispatch_async(queue_, ^{
      task();
    });
}

void DispatchQueue::asyncAfter(double seconds, Task task) {
    const auto delta = static_cast<std::int64_t>(seconds * static_cast<double>(NSEC_PER_SEC));
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, delta), queue_, ^{
      task();
    });
}

namespace {

class DispatchSignalSource final : public SignalSource {
public:
    explicit DispatchSignalSource(int signo)
        : source_(dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signo), 0,
                                         dispatch_get_main_queue())) {}

    void setEventHandler(Task handler) override {
        dispatch_source_set_event_handler(source_, ^{
          handler();
        });
    }

    // Resuming twice would be an unbalanced resume, which Dispatch traps.
    void resume() override {
        if (resumed_) return;
        resumed_ = true;
        dispatch_resume(source_);
    }

private:
    dispatch_source_t source_;
    bool resumed_ = false;
};

class MacProcess final : public Process {
public:
    MacProcess(int argc, char** argv)
        : arguments_(argv, argv + argc), mainQueue_(dispatch_get_main_queue(), "com.apple.main-thread") {}

    std::vector<std::string> arguments() const override { return arguments_; }
    pid_t processIdentifier() const override { return NSProcessInfo.processInfo.processIdentifier; }

    void ignoreSignal(int signo) override { ::signal(signo, SIG_IGN); }
    std::unique_ptr<SignalSource> makeSignalSource(int signo) override {
        return std::make_unique<DispatchSignalSource>(signo);
    }

    Queue& mainQueue() override { return mainQueue_; }
    std::shared_ptr<Queue> makeSerialQueue(std::string label) override {
        dispatch_queue_t queue = dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL);
        return std::make_shared<DispatchQueue>(queue, std::move(label));
    }
    void runMainLoop() override { [NSRunLoop.mainRunLoop run]; }

    int standardOutputDescriptor() const override { return NSFileHandle.fileHandleWithStandardOutput.fileDescriptor; }

    WriteResult write(int fd, const void* bytes, std::size_t count) override {
        errno = 0;
        const ssize_t n = ::write(fd, bytes, count);
        return {static_cast<long long>(n), n < 0 ? errno : 0};
    }

    void writeStandardError(std::string_view text) override {
        NSData* data = [NSData dataWithBytes:text.data() length:text.size()];
        // A failed write raises; the caller ends the process with its own
        // status right after, so the failure must not end it first.
        // Kept although marked for deprecation: the line goes out in this one
        // call and a failure raises, caught here; -writeData:error: would
        // only report the same failure another way.
        @try {
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
            [NSFileHandle.fileHandleWithStandardError writeData:data];
#pragma clang diagnostic pop
        } @catch (id) {
        }
    }

    // Ends at once. It is called from ScreenCaptureKit's callback threads and
    // from a stop while the audio queue may still convert and write: exit(3)
    // would run static destructors and atexit handlers under those threads,
    // which could only crash a process on its way out. Every byte already
    // went out through write(2), so nothing is lost by skipping them.
    void exit(int status) override { ::_exit(status); }

private:
    std::vector<std::string> arguments_;
    DispatchQueue mainQueue_;
};

}  // namespace
}  // namespace macos

std::unique_ptr<Process> makeDefaultProcess(int argc, char** argv) {
    return std::make_unique<macos::MacProcess>(argc, argv);
}

}  // namespace pimorlo::platform
