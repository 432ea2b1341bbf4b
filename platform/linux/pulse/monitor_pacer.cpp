#include "platform/linux/pulse/monitor_pacer.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace pimorlo::platform::linux_backend {
namespace {

// Within this of its delay the buffer's level is left alone: the server's
// own buffering moves by that much over a stream's first seconds, and a
// rate that chased it would bend the pitch for nothing. Beyond it, the
// buffer comes back over about kCorrectionSeconds.
constexpr double kSteadySeconds = 0.02;
constexpr double kCorrectionSeconds = 20.0;
// Its level is read through a low-pass of this time constant: blocks of
// 20 ms make it a staircase, which must not reach the rate.
constexpr double kLevelSeconds = 1.0;
// The rate the mix sees stays within this of nominal: beyond any sound
// card's clock.
constexpr double kMaxRateOffset = 0.001;

}  // namespace

MonitorPacer::MonitorPacer(double rate, double delay)
    : nominalRate_(rate), initialDelayFrames_(delay * rate), delayFrames_(delay * rate), rate_(rate) {}

void MonitorPacer::reset() {
    started_ = filled_ = false;
    delayFrames_ = initialDelayFrames_;
    dryNs_ = 0;
    waiting_ = 0;
    owed_ = 0;
    carry_ = 0;
    rate_ = nominalRate_;
}

void MonitorPacer::arrived(std::int64_t arrivalNs, std::uint32_t frames) {
    if (frames == 0) return;
    // Blocks that a late tap reads only now came while it stalled: owed,
    // they are no pause of the stream.
    const bool paused =
        started_ && owed_ == 0 && static_cast<double>(arrivalNs - lastArrivalNs_) > kResetSeconds * 1e9;
    if (paused) {
        // After a pause the stream starts over; what still waits goes first.
        filled_ = false;
    } else if (started_ && dryNs_ != 0) {
        const double stall = static_cast<double>(arrivalNs - dryNs_) / 1e9 * nominalRate_;
        delayFrames_ = std::min(delayFrames_ + std::max(stall, 0.0), kMaxDelaySeconds * nominalRate_);
    }
    dryNs_ = 0;
    started_ = true;
    lastArrivalNs_ = arrivalNs;
    waiting_ += frames;
}

std::size_t MonitorPacer::release(std::int64_t nowNs) {
    // However late a tick, the mix takes that much time's worth.
    const double dt = std::max(static_cast<double>(nowNs - lastTickNs_) / 1e9, 0.0);
    lastTickNs_ = nowNs;
    if (!started_) return 0;
    if (!filled_) {
        if (static_cast<double>(waiting_) < delayFrames_) return 0;
        // Filled: what came beyond the delay goes now, so the buffer starts
        // at its delay and the ticks count from here.
        filled_ = true;
        carry_ = 0;
        level_ = delayFrames_;
        const auto beyond = static_cast<std::size_t>(static_cast<double>(waiting_) - delayFrames_);
        waiting_ -= beyond;
        return beyond;
    }
    level_ += (1.0 - std::exp(-dt / kLevelSeconds)) * (static_cast<double>(waiting_) - level_);
    const double error = level_ - delayFrames_;
    const double steady = kSteadySeconds * nominalRate_;
    const double beyond = error > steady ? error - steady : (error < -steady ? error + steady : 0.0);
    const double offset = std::clamp(beyond / (nominalRate_ * kCorrectionSeconds), -kMaxRateOffset, kMaxRateOffset);
    rate_ = nominalRate_ * (1 + offset);
    double count = rate_ * dt + carry_;
    const double whole = std::floor(count);
    carry_ = count - whole;
    const auto owedBefore = static_cast<double>(std::exchange(owed_, 0));
    count = whole + owedBefore;
    const double excess = static_cast<double>(waiting_) - count - delayFrames_ - kMaxExcessSeconds * nominalRate_;
    if (excess > 0) count += std::ceil(excess);
    const double shortfall = count - static_cast<double>(waiting_);
    if (shortfall > 0 && shortfall <= kMaxOwedSeconds * nominalRate_) {
        // Short: the tick came late and what the server sent meanwhile is
        // still unread, or the server is late by a little more than the
        // delay. Either way the blocks are coming, and the mix waits for
        // them rather than play a hole and then refill a delay.
        owed_ = static_cast<std::size_t>(shortfall);
        count = static_cast<double>(waiting_);
    } else if (shortfall > 0) {
        // The stream ran dry: the server held its audio back longer than the
        // delay and the mix's wait cover (its main thread, which hands
        // monitors their data, waits behind other work on a loaded
        // machine), or the player paused. What it had goes;
        // the delay grows by as long as it stays dry and fills again before
        // more goes, so the next such stall leaves no hole.
        dryNs_ = nowNs - static_cast<std::int64_t>((count - static_cast<double>(waiting_)) / nominalRate_ * 1e9);
        count = static_cast<double>(waiting_);
        carry_ = 0;
        filled_ = false;
    }
    const auto frames = static_cast<std::size_t>(std::max(count, 0.0));
    waiting_ -= frames;
    return frames;
}

}  // namespace pimorlo::platform::linux_backend
