// The mix of the Linux capture: every captured playback stream is a source
// that delivers planes of float samples on its own cycles (possibly behind
// another driver than the mix's, at a slightly different rate); the mix runs
// on the clock node's cycles and sums all sources to one mono signal.
//
// Plain C++: no PipeWire here. The glue feeds it from its process callbacks.
//
// Threads. Two roles:
//   - the control thread (the PipeWire loop thread) makes the mixer and its
//     sources and hands over channel weights;
//   - the real-time thread (PipeWire's data loop) runs attach, detach, push
//     and mix. These never allocate, lock or wait.
// push may also run on another real-time thread than mix (one pusher per
// source); attach, detach and mix must share one thread.
//
// What the mix promises:
//   - Lead. A source is primed by the first mix that comes at least a
//     quarter of a cycle after its first buffer arrived and has a cycle's
//     worth of it: on the mix's own driver within one cycle of the arrival
//     whichever node runs first (a change of that order leaves no hole); a
//     producer on another driver that pushed just before a mix waits at most
//     a quarter cycle more. Nothing of it is dropped. It starts after
//     kInterpolationDelay frames (the interpolator's look-ahead, 0.17 ms at
//     48 kHz) and enough silence that its lead covers a whole cycle's read
//     plus 1 ms even just before its producer's next push, plus spareCycles
//     cycles: with none, it reaches the output in the cycle it primes in (1 ms
//     into it on the mix's own driver); with the default one, a cycle later.
//   - One clock. A source whose pushes name the mix's driver, or another
//     driver timed by the same clock (PipeWire gives every driver the same
//     quantum and rate; the null sinks and the dummy driver a clock node may
//     be given all run on the system's monotonic clock), is on the mix's
//     clock: its ratio is exactly 1 and it is copied sample for sample,
//     through quantum and rate changes, and again as soon as it is moved back
//     to that clock. Any other source is read through a band-limited
//     fractional resampler whose ratio follows its clock: when it starts or
//     moves to another driver, the slope of its buffered lead over its first
//     second gives the rate, and from then on a PI loop on the lead (smoothed,
//     with a small dead band) follows what is left, so a producer a few
//     hundred ppm off the mix clock is followed within a few ppm, never by
//     dropping or repeating stretches. For either, a lead that changes at
//     once (a quantum or chunk that changed, a node that missed a cycle, a
//     move) is taken as a step: it is kept, not worked off by bending the
//     pitch.
//     Pass each call the time its cycle began (see push): timed by the call
//     instead, a source on another driver seems to wander by the upstream
//     client's processing time.
//   - A late node, a longer cycle. With a spare cycle of lead, a source whose
//     node misses a cycle and catches up in the next, or whose cycle doubles
//     (PipeWire raised the quantum), plays on without a hole. Without one it
//     plays what it had, is silent for the rest of that cycle and starts
//     again in the next; nothing of it is dropped either way.
//   - A lost cycle. A push whose cycle began a cycle or more after the last
//     push's ended (its node ran too late for a buffer the link has since
//     replaced) marks the frames between as lost: they are read as silence
//     where they fell, so the source keeps its place in time and its lead,
//     spare cycle included, for the next late cycle. A second push in the
//     same cycle (the node caught up after all) takes that back.
//   - Isolation. A source that stops pushing plays what it had and then
//     contributes silence; the others are unaffected. When it resumes it is
//     primed again like a new one.
//   - Bounds. Each source buffers at most `ringFrames` frames; pushes beyond
//     are dropped (counted). When a source is far ahead of its lead (the mix
//     stalled while it kept pushing), the excess is skipped at once.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pimorlo::platform::linux_backend {

// For push and mix: read the configured clock.
inline constexpr std::int64_t kReadClock = INT64_MIN;
// For push and mix: which driver runs the cycle is not known.
inline constexpr std::uint32_t kUnknownDriver = UINT32_MAX;
// For push and mix: which clock times the driver is not known.
inline constexpr std::uint64_t kUnknownClock = 0;

// The identity of the clock PipeWire names in a driver's position
// (`clock.name`, such as "clock.system.monotonic"): drivers with one name
// are timed by one clock. kUnknownClock for an empty name.
std::uint64_t clockIdentity(const char* name, std::size_t maxLength);

// The most ports (channels) one source may deliver; PipeWire's own limit.
inline constexpr std::size_t kMaxMixPorts = 64;
// Frames of silence ahead of every (re)started source: the resampler's
// look-ahead.
inline constexpr std::uint32_t kInterpolationDelay = 8;

// One mono weight per port, so that the mix reads a stream at the level it
// plays at: an ITU stereo downmix of the stream's own channels (centre and
// surrounds at -3 dB into each side, LFE left out), then the average of the
// two sides. So L = R at amplitude a arrives at a, a "MONO" channel at its
// level, centre-only dialogue of a 5.1 source at -3 dB (0.707), a surround at
// -9 dB.
//
// `portChannels` are the `audio.channel` names of the ports the stream plays
// on, which PipeWire fits to its sink; `streamChannels`, when known, the
// positions of the stream's own format. The stream's positions decide:
//   - all of them on the ports: those ports weigh by position, the others
//     (PipeWire's upmix) get 0;
//   - one channel (MONO or any other): PipeWire copies it onto every port;
//     it is read from FL and FR, else from the ports other than LFE and FC;
//   - no positions on one side (AUX): PipeWire pairs channels in order, and
//     the ports weigh as the stream's channels they carry;
//   - downmixed onto a front pair: the ports weigh by position (PipeWire's
//     downmix is the one above); onto a lone MONO or FC port, by how the
//     converter fills it (`monoDownmix`): 1/sqrt(2) where it puts each side
//     in at -3 dB, 1 where it averages.
// Unknown stream layout: the ports weigh by position; unknown and "AUX<n>"
// names beside positioned ones get 0, and with no position anywhere every
// port is averaged. A layout without a front pair (a lone "FC", say) is
// scaled so that one signal on all its non-LFE ports arrives at its level.
// How the converter that fits a stream to its sink fills a lone mono port
// from several channels.
enum class MonoDownmix {
    // Each side at -3 dB, the centre whole (PipeWire up to 0.3.65).
    sidesAtMinus3dB,
    // The channels' mix scaled to their average (PipeWire 0.3.66 and later):
    // what the port carries is what the sink plays.
    averaged,
};

std::vector<float> downmixWeights(const std::vector<std::string>& portChannels,
                                  const std::vector<std::string>& streamChannels = {},
                                  MonoDownmix monoDownmix = MonoDownmix::averaged);

struct MixerConfig {
    // The rate of every source and of the mix (PipeWire adapts nodes to it).
    std::uint32_t graphRate = 48000;
    std::size_t maxSources = 256;
    // Frames one source may hold ahead of the mix; a power of two. 2^15 is
    // 0.68 s at 48 kHz.
    std::size_t ringFrames = std::size_t{1} << 15;
    // The longest stretch mixed at once; longer cycles are mixed in pieces.
    std::uint32_t maxCycleFrames = 8192;
    // Whole cycles of lead each source keeps beyond the least, so that its
    // node running a cycle late leaves no hole. On a busy desktop a playing
    // client is now and then that late (the continuity check found it with
    // two cores loaded); 0 gives the shortest start, which such a cycle breaks
    // once (the source then keeps the lead it gained).
    std::uint32_t spareCycles = 1;
    // Monotonic time in nanoseconds, read once per push and per mix. Empty:
    // CLOCK_MONOTONIC. Tests drive it to simulate producers and drivers.
    std::function<std::int64_t()> clock;
};

class MixerSource;
struct MixerSourceDeleter {
    void operator()(MixerSource* source) const;
};
// Owned by the control thread. Destroy it only once it is detached (or was
// never attached): after detach has returned on the real-time thread.
using MixerSourceHandle = std::unique_ptr<MixerSource, MixerSourceDeleter>;

class Mixer {
public:
    // What the mix knows about one source; read it on the mix's thread or
    // while that thread is idle.
    struct SourceState {
        bool attached = false;
        bool primed = false;
        double ratio = 1.0;           // source frames read per mix frame
        double leadFrames = 0;        // smoothed lead the ratio holds steady
        // The source frame the next mixed sample is read at, counted in frames
        // that entered its buffer (negative: the silence ahead of its start).
        double sourcePosition = 0;
        std::size_t bufferedFrames = 0;
        std::uint64_t underruns = 0;      // times it ran dry while primed
        std::uint64_t droppedFrames = 0;  // pushed while its buffer was full
        std::uint64_t skippedFrames = 0;  // skipped to come back to its lead
        std::uint64_t lostFrames = 0;     // silence read where its node lost cycles
    };

    // Control thread. Allocates everything the real-time calls use.
    explicit Mixer(MixerConfig config = {});
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    const MixerConfig& config() const { return config_; }

    // Control thread: a new source with its own buffer, not attached yet, or
    // null when memory runs out. Its weights average its ports until
    // setWeights says otherwise.
    MixerSourceHandle makeSource() const;

    // Control thread: the weights of the source's ports, in push's plane
    // order (at most kMaxMixPorts; ports beyond the list get weight 0). The
    // next push uses them, all together.
    void setWeights(MixerSource& source, const std::vector<float>& weights) const;

    // Real-time thread. attach fails (false) when the source is already
    // attached or maxSources are. A source may be pushed before it is
    // attached: what it buffered then is mixed from attach on (so is what a
    // detached source still held, should it be attached again).
    bool attach(MixerSource& source);
    void detach(MixerSource& source);

    // Real-time thread of the source's stream: one plane per captured port,
    // `frames` samples each; a null plane is silence.
    //
    // `cycleNs` is when the cycle that delivered (or asks for) these frames
    // began on its driver, in the configured clock's time: PipeWire's
    // pw_stream_get_time_n().now (the position's clock.nsec). With it, a
    // source on the mix's own driver is timed exactly like the mix, however
    // late within the cycle its node runs. Without it (kReadClock) the time of
    // the call stands in, which shifts by the upstream client's processing
    // time from cycle to cycle (milliseconds on a busy desktop) and makes the
    // rate correction work for nothing.
    //
    // `driver` names the driver whose cycle this is (PipeWire's position
    // clock.id), `clock` the clock that times it (clockIdentity of its
    // clock.name). A source whose pushes name the mix's driver or its clock
    // is on the mix's clock: it is copied sample for sample, whatever its
    // lead does. Two pushes on one driver, both timed, tell the cycles lost
    // between them.
    void push(MixerSource& source, const float* const* planes, std::size_t planeCount, std::uint32_t frames,
              std::int64_t cycleNs = kReadClock, std::uint32_t driver = kUnknownDriver,
              std::uint64_t clock = kUnknownClock);

    // Real-time thread: writes `frames` mixed samples to `out`. Any length is
    // mixed, in pieces of at most maxCycleFrames; a source is whole in cycles
    // up to its ring's size.
    void mix(float* out, std::uint32_t frames, std::int64_t cycleNs = kReadClock,
             std::uint32_t driver = kUnknownDriver, std::uint64_t clock = kUnknownClock);

    SourceState state(const MixerSource& source) const;

private:
    void markLostCycles(MixerSource& source, std::uint64_t at, std::uint32_t frames, std::int64_t cycleNs,
                        std::uint32_t driver);
    void mixSource(MixerSource& source, float* out, std::uint32_t frames, std::int64_t now);
    std::int64_t now() const;

    MixerConfig config_;
    std::vector<float> kernel_;       // interpolation filter, one row per phase
    std::vector<float> work_;         // one source's input for one piece
    std::vector<MixerSource*> attached_;
    std::uint32_t driver_ = kUnknownDriver;  // of the cycle being mixed
    std::uint64_t clock_ = kUnknownClock;    // of the cycle being mixed
};

}  // namespace pimorlo::platform::linux_backend
