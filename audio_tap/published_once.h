// A value written once on one thread and read on others without a lock: the
// writer fills the slot, then publishes it; a reader sees either nothing or
// the whole value.
#pragma once

#include <atomic>
#include <utility>

namespace pimorlo::audio_tap {

template <typename T>
class PublishedOnce {
public:
    // Only the first call publishes; the capture set-up runs once per process.
    bool publish(T value) {
        if (claimed_.exchange(true, std::memory_order_relaxed)) return false;
        value_ = std::move(value);
        published_.store(true, std::memory_order_release);
        return true;
    }

    // A copy of the value, or an empty T before it is published.
    T load() const { return published_.load(std::memory_order_acquire) ? value_ : T{}; }

private:
    std::atomic<bool> claimed_{false};
    std::atomic<bool> published_{false};
    T value_{};
};

}  // namespace pimorlo::audio_tap
