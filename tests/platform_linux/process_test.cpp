// The Linux process services against the real GLib main context and threads.
#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/process.h"

namespace pimorlo::platform {
namespace {

// Iterates the default main context until `done` or a deadline.
bool spinUntil(const std::function<bool()>& done, double seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        g_main_context_iteration(nullptr, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::unique_ptr<Process> makeProcess() {
    static char name[] = "tap";
    static char arg[] = "--x";
    static char* argv[] = {name, arg, nullptr};
    return makeDefaultProcess(2, argv);
}

TEST(LinuxProcess, MainQueueRunsTasksFromAnyThreadInPostingOrderOnTheLoopThread) {
    auto process = makeProcess();
    const auto loopThread = std::this_thread::get_id();
    std::mutex mutex;
    std::vector<int> order;
    bool allOnLoopThread = true;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            process->mainQueue().async([&, i] {
                std::lock_guard lock(mutex);
                order.push_back(i);
                allOnLoopThread = allOnLoopThread && std::this_thread::get_id() == loopThread;
            });
        }
    });
    poster.join();
    ASSERT_TRUE(spinUntil([&] {
        std::lock_guard lock(mutex);
        return order.size() == 100;
    }));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(allOnLoopThread);
}

TEST(LinuxProcess, DelayedMainTaskWaitsForItsDeadline) {
    auto process = makeProcess();
    std::atomic<bool> ran{false};
    const auto start = std::chrono::steady_clock::now();
    process->mainQueue().asyncAfter(0.2, [&] { ran = true; });
    ASSERT_TRUE(spinUntil([&] { return ran.load(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(195));
}

TEST(LinuxProcess, SerialQueueRunsOneTaskAtATimeInOrder) {
    auto process = makeProcess();
    auto queue = process->makeSerialQueue("com.example.q");
    EXPECT_EQ(queue->label(), "com.example.q");
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<int> order;  // touched only on the queue
    std::atomic<bool> done{false};
    for (int i = 0; i < 200; ++i) {
        queue->async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue->asyncAfter(0.05, [&] { done = true; });
    ASSERT_TRUE(spinUntil([&] { return done.load(); }));
    EXPECT_FALSE(overlapped.load());
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

TEST(LinuxProcess, SignalSourceReportsDeliveriesOnlyOnceResumed) {
    auto process = makeProcess();
    process->ignoreSignal(SIGUSR1);
    auto source = process->makeSignalSource(SIGUSR1);
    std::atomic<int> reports{0};
    source->setEventHandler([&] { ++reports; });

    ::raise(SIGUSR1);  // ignored, and not reported later either
    spinUntil([] { return false; }, 0.05);
    EXPECT_EQ(reports.load(), 0);

    source->resume();
    ::raise(SIGUSR1);
    ASSERT_TRUE(spinUntil([&] { return reports.load() == 1; }));
}

TEST(LinuxProcess, WriteReportsBytesOrTheErrno) {
    auto process = makeProcess();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const char text[] = "abc";
    auto ok = process->write(fds[1], text, 3);
    EXPECT_EQ(ok.bytes, 3);
    ::close(fds[0]);
    process->ignoreSignal(SIGPIPE);
    auto broken = process->write(fds[1], text, 3);
    EXPECT_EQ(broken.bytes, -1);
    EXPECT_EQ(broken.error, EPIPE);
    ::close(fds[1]);
    EXPECT_EQ(process->write(fds[1], text, 3).error, EBADF);
    EXPECT_EQ(process->arguments(), (std::vector<std::string>{"tap", "--x"}));
    EXPECT_EQ(process->processIdentifier(), ::getpid());
    EXPECT_EQ(process->standardOutputDescriptor(), 1);
}

}  // namespace
}  // namespace pimorlo::platform
