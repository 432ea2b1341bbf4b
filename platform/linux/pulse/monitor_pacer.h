// How much of a monitor stream the mix takes on each of the tap's ticks.
//
// A PulseAudio server hands a monitor its audio as the sink renders it: in
// blocks of varying size, a fragment or two at once, some milliseconds early
// or late, and it holds back more or less of it as the sink's latency and
// rewinds change (by tens of milliseconds over the first seconds of a
// stream). The mix follows each source's clock by how far the source leads
// it; fed as the blocks come, that lead jumps by a block at a time and the
// mix bends the pitch chasing it.
//
// So the blocks wait in the stream's own buffer, filled to a delay first,
// and the mix takes them on the tap's ticks at the stream's nominal rate: a
// block that comes early or late only fills or drains the buffer, and the
// mix sees a producer as even as one on its own clock, copied sample for
// sample. Only when the buffer strays far from its delay (a sound card's
// clock a little off the machine's, over minutes) does the rate move, by
// parts per million, and the mix follows that slowly too. A server that
// holds a stream back longer than the delay (its main thread starved on a
// loaded machine) leaves one hole, and the delay grows to cover the next.
//
// A stream that runs short is not yet dry. When the tap's own thread was
// held back, its late tick asks for the whole stall at once while what the
// server sent meanwhile still waits unread in the socket; when the server
// was held back a little longer than the delay, its blocks come a little
// late, often at the nominal rate rather than all at once. Either way the
// shortfall is owed and the mix waits for it (see owed()): the output comes
// late by that much, with no hole in it. Refilling the buffer to a grown
// delay instead left holes of the delay and more (40 to 280 ms beside
// stress-ng), where a recorder of the sink's monitor had none. Only a stream
// owed more than kMaxOwedSeconds has run dry.
//
// Plain C++: arrival times and frame counts go in, frame counts come out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pimorlo::platform::linux_backend {

class MonitorPacer {
public:
    // `rate`: the frames per second the stream nominally delivers; `delay`:
    // how much it buffers before the mix takes it, in seconds.
    MonitorPacer(double rate, double delay);

    // A block of `frames` arrived at `arrivalNs` and waits to be handed on.
    // The first block, and the first after a pause of more than
    // kResetSeconds, starts afresh: nothing goes until the delay is filled.
    void arrived(std::int64_t arrivalNs, std::uint32_t frames);

    // On each tick: the frames to hand on at `nowNs`, at most those waiting;
    // they count as handed on. Frames beyond the delay by more than
    // kMaxExcessSeconds go at once. What a tick asks for beyond what waits
    // is owed, and handed on with the next tick's share; a stream owed more
    // than kMaxOwedSeconds ran dry: it hands on what it has, nothing stays
    // owed, and its delay grows by what it lacked.
    std::size_t release(std::int64_t nowNs);

    // What the last tick asked for and could not hand on yet: the mix stops
    // this much short of the tick's time, so the frames are in time for it.
    std::size_t owed() const { return owed_; }

    std::size_t waiting() const { return waiting_; }
    double delay() const { return delayFrames_ / nominalRate_; }
    // The rate at which the last tick handed frames on, per second.
    double rate() const { return rate_; }
    // Starts afresh with the next block, nothing waiting (a new stream).
    void reset();

    static constexpr double kResetSeconds = 0.25;
    static constexpr double kMaxExcessSeconds = 0.05;
    // The delay grows after each time the stream runs dry, up to this.
    static constexpr double kMaxDelaySeconds = 0.3;
    // The longest the mix waits for a stream that runs short.
    static constexpr double kMaxOwedSeconds = 0.25;

private:
    const double nominalRate_;
    const double initialDelayFrames_;
    double delayFrames_;
    double rate_;
    double carry_ = 0;
    double level_ = 0;  // of the buffer, smoothed
    std::int64_t lastTickNs_ = 0;
    std::int64_t lastArrivalNs_ = 0;
    std::int64_t dryNs_ = 0;  // when the stream ran dry; 0 while it has not
    std::size_t waiting_ = 0;
    std::size_t owed_ = 0;
    bool started_ = false;
    bool filled_ = false;
};

}  // namespace pimorlo::platform::linux_backend
