// Process services on Linux: GLib's default main context is the main queue,
// each serial queue is one worker thread, signals arrive through GLib's Unix
// signal sources.
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/process.h"

namespace pimorlo::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Tasks posted from any thread run on the thread that runs the default main
// context, strictly in the order they were posted.
class MainQueue final : public Queue {
public:
    void async(Task task) override {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(task));
        if (!drainScheduled_) {
            drainScheduled_ = true;
            g_idle_add_full(G_PRIORITY_DEFAULT, &MainQueue::drain, this, nullptr);
        }
    }

    void asyncAfter(double seconds, Task task) override {
        auto* heap = new Task(std::move(task));
        auto ms = seconds <= 0 ? 0u : static_cast<guint>(seconds * 1000.0 + 0.5);
        g_timeout_add_full(
            G_PRIORITY_DEFAULT, ms,
            [](gpointer data) -> gboolean {
                (*static_cast<Task*>(data))();
                return G_SOURCE_REMOVE;
            },
            heap, [](gpointer data) { delete static_cast<Task*>(data); });
    }

    std::string label() const override { return "main"; }

private:
    static gboolean drain(gpointer self) {
        auto* queue = static_cast<MainQueue*>(self);
        std::deque<Task> batch;
        {
            std::lock_guard lock(queue->mutex_);
            batch.swap(queue->pending_);
            queue->drainScheduled_ = false;
        }
        for (auto& task : batch) task();
        return G_SOURCE_REMOVE;
    }

    std::mutex mutex_;
    std::deque<Task> pending_;
    bool drainScheduled_ = false;
};

// One worker thread; a task due at the same moment as another runs after it.
class SerialQueue final : public Queue {
public:
    explicit SerialQueue(std::string label) : label_(std::move(label)), worker_([this] { run(); }) {}

    ~SerialQueue() override {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        wake_.notify_one();
        worker_.join();
    }

    void async(Task task) override { post(Clock::now(), std::move(task)); }

    void asyncAfter(double seconds, Task task) override {
        post(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
             std::move(task));
    }

    std::string label() const override { return label_; }

private:
    void post(Clock::time_point due, Task task) {
        {
            std::lock_guard lock(mutex_);
            tasks_.emplace(std::make_pair(due, sequence_++), std::move(task));
        }
        wake_.notify_one();
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (closing_) return;
            if (tasks_.empty()) {
                wake_.wait(lock);
                continue;
            }
            auto first = tasks_.begin();
            if (first->first.first > Clock::now()) {
                wake_.wait_until(lock, first->first.first);
                continue;
            }
            Task task = std::move(first->second);
            tasks_.erase(first);
            lock.unlock();
            task();
            lock.lock();
        }
    }

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::pair<Clock::time_point, unsigned long long>, Task> tasks_;
    unsigned long long sequence_ = 0;
    bool closing_ = false;
    std::thread worker_;
};

class GlibSignalSource final : public SignalSource {
public:
    explicit GlibSignalSource(int signo) : signo_(signo) {}

    void setEventHandler(Task handler) override { handler_ = std::move(handler); }

    void resume() override {
        if (resumed_) return;
        resumed_ = true;
        // GLib installs its own handler in place of the ignore disposition and
        // reports each delivery on the main context.
        g_unix_signal_add(
            signo_,
            [](gpointer data) -> gboolean {
                auto* source = static_cast<GlibSignalSource*>(data);
                if (source->handler_) source->handler_();
                return G_SOURCE_CONTINUE;
            },
            this);
    }

private:
    int signo_;
    bool resumed_ = false;
    Task handler_;
};

class LinuxProcess final : public Process {
public:
    LinuxProcess(int argc, char** argv) : arguments_(argv, argv + argc) {}

    std::vector<std::string> arguments() const override { return arguments_; }
    pid_t processIdentifier() const override { return ::getpid(); }

    void ignoreSignal(int signo) override { ::signal(signo, SIG_IGN); }
    std::unique_ptr<SignalSource> makeSignalSource(int signo) override {
        return std::make_unique<GlibSignalSource>(signo);
    }

    Queue& mainQueue() override { return mainQueue_; }
    std::shared_ptr<Queue> makeSerialQueue(std::string label) override {
        return std::make_shared<SerialQueue>(std::move(label));
    }
    void runMainLoop() override {
        GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
        g_main_loop_run(loop);
        g_main_loop_unref(loop);
    }

    int standardOutputDescriptor() const override { return STDOUT_FILENO; }

    WriteResult write(int fd, const void* bytes, std::size_t count) override {
        errno = 0;
        ssize_t n = ::write(fd, bytes, count);
        return {static_cast<long long>(n), n < 0 ? errno : 0};
    }

    void writeStandardError(std::string_view text) override {
        [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    }

    // Ends at once: every byte already went out through write(2), and running
    // static destructors while the capture and queue threads still work could
    // only crash a process that is on its way out.
    void exit(int status) override { ::_exit(status); }

private:
    std::vector<std::string> arguments_;
    MainQueue mainQueue_;
};

}  // namespace

std::unique_ptr<Process> makeDefaultProcess(int argc, char** argv) {
    return std::make_unique<LinuxProcess>(argc, argv);
}

}  // namespace pimorlo::platform
