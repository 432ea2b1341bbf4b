// Capture on PipeWire: the glue between the registry, the capture graph,
// the mix and the output.
//
// A display is an `Audio/Sink` node; an application is a client process (or
// a sandboxed client). The capture graph says which playback streams to take
// in and which ports to link; here each such stream gets an input node with
// one port per channel of the stream (made again when the stream moves to a
// sink with another layout; links made by this client, not lingering, so they
// vanish with the program; the user's routing is never touched), whose
// process callback pushes its planes into the mix. One more node, unlinked
// and always processing, is the clock: on each of its cycles the real-time
// thread mixes one cycle's worth of every source, so silence arrives when
// nothing plays. The mix is handed through a fixed ring to the loop thread,
// resampled there and posted to the output's queue; a bounded backlog keeps a
// stalled reader from growing memory.
#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <malloc.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/capture.h"
#include "platform/linux/audio_linux.h"
#include "platform/linux/pipewire/connection.h"
#include "platform/linux/pipewire/graph.h"
#include "platform/linux/capture/delivery.h"
#include "platform/linux/capture/mixer.h"
#include "platform/linux/pipewire/capture_pipewire.h"

namespace pimorlo::platform {
namespace {

using linux_backend::CaptureGraph;
using linux_backend::CapturePlan;
using linux_backend::CapturedStream;
using linux_backend::Connection;
using linux_backend::ExclusionRules;
using linux_backend::LinkKey;
using linux_backend::Mixer;
using linux_backend::MixerSourceHandle;
using linux_backend::OutputDelivery;

// The nodes of the capture run at the usual graph rate; PipeWire adapts them
// when the graph runs at another.
constexpr std::uint32_t kGraphRate = 48000;
// Mixed frames waiting for the loop thread (1.37 s at 48 kHz, 256 KiB). The
// loop thread only resamples and posts them, never waits on the reader (the
// output's backlog has its own bound), so it falls behind by at most what its
// own work takes: milliseconds. A larger ring only holds more resident pages.
constexpr std::size_t kMixRingFrames = 1u << 16;
// The longest cycle mixed (1.4 s at 48 kHz, far beyond PipeWire's largest
// quantum); a longer one is mixed this long.
constexpr std::uint32_t kMaxCycleFrames = 1u << 16;
// Mixed frames handed to the loop thread at once (10 ms at 48 kHz): with a
// quantum this long or longer, every cycle; with a shorter one, every few.
constexpr std::uint32_t kDeliveryBlockFrames = 480;
// Streams the mix takes at once; more are attached as others leave.
constexpr std::size_t kMaxSources = 4096;
// A link, node or attachment that failed is tried again this much later.
constexpr long kRetryNanoseconds = 100'000'000;
// How long a source whose stream ended stays in the mix: longer than any
// lead it can hold.
constexpr auto kDrainTime = std::chrono::seconds(1);

struct DisplayNative {
    std::shared_ptr<Connection> connection;
    std::uint32_t nodeID = 0;
};

// Every application this backend lists carries one.
struct ApplicationNative {
    bool sandboxed = false;
    std::vector<std::uint64_t> clientSerials;
};

// Single producer, single consumer; capacity a power of two.
class FloatRing {
public:
    // Not cleared: only written samples are read, and a page stays out of
    // memory until the writer reaches it.
    explicit FloatRing(std::size_t capacity) : data_(new float[capacity]), size_(capacity), mask_(capacity - 1) {}

    std::size_t write(const float* src, std::size_t n) {
        const std::size_t w = write_.load(std::memory_order_relaxed);
        const std::size_t space = size_ - (w - read_.load(std::memory_order_acquire));
        n = std::min(n, space);
        for (std::size_t i = 0; i < n; ++i) data_[(w + i) & mask_] = src[i];
        write_.store(w + n, std::memory_order_release);
        return n;
    }

    // The reader's side, in place: the written samples that lie in one run
    // from the read position (the rest, past the end of the storage, comes
    // at the start of it), handed back by `consume` once used.
    std::pair<const float*, std::size_t> readable() const {
        const std::size_t r = read_.load(std::memory_order_relaxed);
        const std::size_t n = write_.load(std::memory_order_acquire) - r;
        const std::size_t at = r & mask_;
        return {data_.get() + at, std::min(n, size_ - at)};
    }

    void consume(std::size_t n) { read_.store(read_.load(std::memory_order_relaxed) + n, std::memory_order_release); }

private:
    std::unique_ptr<float[]> data_;
    std::size_t size_;
    std::size_t mask_;
    std::atomic<std::size_t> write_{0};
    std::atomic<std::size_t> read_{0};
};

ShareableContent listContent(const std::shared_ptr<Connection>& connection) {
    ShareableContent content;
    for (std::uint32_t id : connection->graph().sinks()) {
        content.displays.push_back(Display{id, std::make_shared<DisplayNative>(DisplayNative{connection, id})});
    }
    for (auto& record : connection->graph().applications()) {
        auto native = std::make_shared<ApplicationNative>(ApplicationNative{record.sandboxed, record.clientSerials});
        content.applications.push_back(
            RunningApplication{record.processID, record.bundleIdentifier, record.applicationName, std::move(native)});
    }
    return content;
}

// F32, planar, `channels` positions: MONO for one, AUX0.. otherwise (the
// inputs carry whatever the linked ports carry; the mix weighs them).
std::vector<std::uint8_t> planarFormat(std::uint32_t channels, const spa_pod** param) {
    std::vector<std::uint8_t> storage(4096);
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32P;
    info.rate = kGraphRate;
    info.channels = channels;
    for (std::uint32_t c = 0; c < channels; ++c)
        info.position[c] = channels == 1 ? std::uint32_t{SPA_AUDIO_CHANNEL_MONO} : std::uint32_t{SPA_AUDIO_CHANNEL_AUX0} + c;
    *param = spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
    return storage;
}

linux_backend::MixerConfig mixerConfig() {
    linux_backend::MixerConfig config;
    config.graphRate = kGraphRate;
    config.maxSources = kMaxSources;
    return config;
}

// When the cycle now running began on its driver: the mix times each push and
// each mix by it rather than by when the thread got there, so on one driver a
// stream's push and the mix carry the same time whatever order they ran in
// and however late the thread was, and the mix sees no drift where there is
// none.
std::int64_t cycleStart(const std::atomic<spa_io_position*>& position) {
    const spa_io_position* p = position.load(std::memory_order_relaxed);
    return p != nullptr && p->clock.nsec != 0 ? static_cast<std::int64_t>(p->clock.nsec) : linux_backend::kReadClock;
}

// The driver whose cycle is running (its node id): a stream on the clock
// node's own driver is copied sample for sample, one on another is followed.
// A stream moved to another sink finds its new driver here at its next cycle.
std::uint32_t cycleDriver(const std::atomic<spa_io_position*>& position) {
    const spa_io_position* p = position.load(std::memory_order_relaxed);
    return p != nullptr && p->clock.id != SPA_ID_INVALID ? p->clock.id : linux_backend::kUnknownDriver;
}

// The clock that times the running cycle's driver: from PipeWire 1.x a clock
// node left unlinked is given the dummy driver rather than a sink's, and a
// stream on a sink timed by the same clock is copied all the same.
std::uint64_t cycleClock(const std::atomic<spa_io_position*>& position) {
    const spa_io_position* p = position.load(std::memory_order_relaxed);
    return p != nullptr ? linux_backend::clockIdentity(p->clock.name, sizeof p->clock.name) : linux_backend::kUnknownClock;
}

class PipeWireStream;

// One captured playback stream: its input node and its source in the mix.
struct Source {
    PipeWireStream* owner = nullptr;
    std::uint64_t serial = 0;
    std::uint32_t playbackNode = 0;
    std::size_t ports = 0;
    pw_stream* stream = nullptr;
    spa_hook hook{};
    MixerSourceHandle mix;
    // The weights set are for these.
    std::vector<std::string> channels;
    std::vector<std::string> streamChannels;
    std::vector<bool> played;
    std::optional<std::uint32_t> captureNode;
    std::atomic<spa_io_position*> position{nullptr};  // set by the stream, read in its process
    bool attached = false;
    bool failed = false;
};

// A link this client made; `dead` once PipeWire refused or removed it.
struct HeldLink {
    PipeWireStream* owner = nullptr;
    LinkKey key;
    pw_proxy* proxy = nullptr;
    spa_hook hook{};
    spa_hook linkHook{};
    // The ports it joins, by serial: a port that went (its id perhaps given
    // to a new port since) takes the link with it, which is no failure.
    std::uint64_t outputSerial = 0;
    std::uint64_t inputSerial = 0;
    bool dead = false;
    // Refused, or left in the error state: asked for again later and later.
    bool failed = false;
};

class PipeWireStream final : public Stream, private linux_backend::GraphObserver {
public:
    PipeWireStream(std::shared_ptr<Connection> connection, const ContentFilter& filter,
                   const StreamConfiguration& configuration, std::weak_ptr<StreamDelegate> delegate)
        : connection_(std::move(connection)),
          delegate_(std::move(delegate)),
          delivery_(static_cast<double>(configuration.sampleRate.value_or(48000)),
                    static_cast<std::uint32_t>(configuration.channelCount.value_or(2))),
          mixer_(mixerConfig()) {
        rules_.excludesApplication = filter.excludesApplication;
        rules_.lookup = linux_backend::readProcessRecord;
        // Each process by its pid and start time, read now: one that ends
        // and whose pid goes to another program later excludes nothing.
        auto listProcess = [this](pid_t pid) {
            if (auto key = linux_backend::processKey(pid, rules_.lookup)) rules_.processes.insert(*key);
        };
        for (const auto& app : filter.excludingApplications) {
            auto native = std::static_pointer_cast<const ApplicationNative>(app.native);
            if (native && native->sandboxed) {
                rules_.clientSerials.insert(native->clientSerials.begin(), native->clientSerials.end());
            } else if (app.processID > 0) {
                listProcess(app.processID);
            }
        }
        if (configuration.excludesCurrentProcessAudio.value_or(false)) listProcess(::getpid());
    }

    ~PipeWireStream() override {
        if (!connection_) return;
        pw_thread_loop_lock(connection_->threadLoop());
        teardown();
        if (spa_source* stop = stopEvent_.exchange(nullptr)) pw_loop_destroy_source(connection_->loop(), stop);
        pw_thread_loop_unlock(connection_->threadLoop());
    }

    bool addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<Queue> sampleHandlerQueue, std::optional<Error>& error) override {
        return delivery_.addOutput(std::move(output), type, std::move(sampleHandlerQueue), error);
    }

    void startCapture(ErrorCompletion completion) override {
        if (!connection_) {
            completion(Error{-3805, "the display does not come from this capture system"});
            return;
        }
        pw_thread_loop_lock(connection_->threadLoop());
        std::optional<Error> failure;
        if (started_) {
            failure = Error{-3805, "capture was already started"};
        } else if (!connection_->connected()) {
            failure = Error{-3805, "lost the connection to PipeWire"};
        } else if (!delivery_.supported()) {
            failure = Error{-3805, "unsupported audio configuration"};
        } else {
            if (auto reason = delivery_.prepare(kGraphRate)) {
                failure = Error{-3805, "cannot resample the capture: " + *reason};
            } else {
                startCompletion_ = std::move(completion);
                if (auto why = connectMaster()) {
                    completion = std::move(startCompletion_);
                    startCompletion_ = nullptr;
                    failure = Error{-3805, *why};
                    teardown();
                } else {
                    started_ = true;
                    connection_->graph().setRules(rules_);
                    connection_->setObserver(this);
                    reconcile();
                }
            }
        }
        if (failure) {
            auto done = std::move(completion);
            connection_->runOnLoop([done, failure] { done(failure); });
        }
        // A stop asked for while this ran finds the event now.
        if (stopRequested_.load() && stopEvent_.load()) pw_loop_signal_event(connection_->loop(), stopEvent_.load());
        pw_thread_loop_unlock(connection_->threadLoop());
    }

    // Returns at once, whatever the daemon does: the teardown runs on the
    // loop thread, which is woken through an event file descriptor, never
    // through the loop lock.
    void stopCapture(ErrorCompletion completion) override {
        {
            std::lock_guard lock(stopMutex_);
            stopCompletion_ = std::move(completion);
        }
        stopRequested_.store(true);
        spa_source* event = stopEvent_.load();
        if (connection_ && event) {
            pw_loop_signal_event(connection_->loop(), event);
            return;
        }
        // Not started (or no connection): nothing runs that needs stopping.
        if (auto done = takeStopCompletion()) done(std::nullopt);
    }

private:
    // ---- loop thread ---------------------------------------------------
    std::optional<std::string> connectMaster() {
        pw_loop* loop = connection_->loop();
        deliverEvent_ = pw_loop_add_event(loop, &PipeWireStream::onDeliver, this);
        reconcileEvent_ = pw_loop_add_event(loop, &PipeWireStream::onReconcile, this);
        retryTimer_ = pw_loop_add_timer(loop, &PipeWireStream::onRetry, this);
        spa_source* stop = pw_loop_add_event(loop, &PipeWireStream::onStop, this);
        if (!deliverEvent_ || !reconcileEvent_ || !retryTimer_ || !stop)
            return "cannot watch the capture: " + std::string(std::strerror(errno));
        stopEvent_.store(stop);
        // The one real-time loop that runs the mix and takes its changes.
        // From PipeWire 1.1 a context may have several, handed out in turn:
        // each node is pinned to this one by name, so the clock's mix and
        // every attach and detach run on one thread, as the mixer requires.
        dataLoop_ = pw_data_loop_get_loop(pw_context_get_data_loop(connection_->context()));
        if (dataLoop_ == nullptr) return "cannot find the capture's real-time loop";
#if PW_CHECK_VERSION(1, 1, 0)
        if (dataLoop_->name != nullptr) dataLoopName_ = dataLoop_->name;
#endif

        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_NODE_NAME, "PimOrloAudioTap", PW_KEY_NODE_AUTOCONNECT, "false",
                                                 PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr);
        pinToDataLoop(props);
        master_ = pw_stream_new(connection_->core(), "PimOrloAudioTap", props);
        if (master_ == nullptr) return "cannot create the capture node: " + std::string(std::strerror(errno));
        static constexpr pw_stream_events masterEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &PipeWireStream::onMasterState;
            e.io_changed = &PipeWireStream::onMasterIO;
            e.process = &PipeWireStream::onMasterProcess;
            return e;
        }();
        pw_stream_add_listener(master_, &masterHook_, &masterEvents, this);
        const spa_pod* param = nullptr;
        auto storage = planarFormat(1, &param);
        int rc = pw_stream_connect(master_, PW_DIRECTION_INPUT, PW_ID_ANY,
                                   static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
                                   &param, 1);
        if (rc < 0) return "cannot connect the capture node: " + std::string(spa_strerror(rc));
        return std::nullopt;
    }

    // PipeWire's converter, in the player or in pipewire-pulse, is this
    // system's library, the one the tap runs with.
    static linux_backend::MonoDownmix monoDownmix() {
        int major = 0, minor = 0, micro = 0;
        const char* version = pw_get_library_version();
        if (version == nullptr || std::sscanf(version, "%d.%d.%d", &major, &minor, &micro) != 3)
            return linux_backend::MonoDownmix::averaged;
        const bool older = std::make_tuple(major, minor, micro) < std::make_tuple(0, 3, 66);
        return older ? linux_backend::MonoDownmix::sidesAtMinus3dB : linux_backend::MonoDownmix::averaged;
    }

    void pinToDataLoop(pw_properties* props) const {
        if (props != nullptr && !dataLoopName_.empty()) pw_properties_set(props, "node.loop.name", dataLoopName_.c_str());
    }

    // Whatever a loop-thread callback throws ends the capture with a report,
    // never unwinds into PipeWire's loop.
    void failed(const char* what) noexcept {
        linux_backend::guarded([&] { reportStop(std::string("the capture failed: ") + what); }, [](const char*) {});
    }

    template <typename Body>
    static void guardedCallback(void* data, Body&& body) noexcept {
        auto* self = static_cast<PipeWireStream*>(data);
        linux_backend::guarded([&] { body(self); }, [self](const char* what) { self->failed(what); });
    }

    void teardown() {
        if (tornDown_) return;
        tornDown_ = true;
        connection_->setObserver(nullptr);
        for (auto& [key, link] : links_) dropLink(*link);
        links_.clear();
        if (clockLink_) dropLink(*clockLink_);
        clockLink_.reset();
        for (auto& [serial, source] : sources_) destroySource(*source);
        sources_.clear();
        if (spare_) destroySource(*spare_);
        spare_.reset();
        if (master_) {
            spa_hook_remove(&masterHook_);
            pw_stream_destroy(master_);
            master_ = nullptr;
        }
        for (auto& leaving : leaving_) leaving.until = std::chrono::steady_clock::time_point{};
        detachLeaving();
        for (spa_source** event : {&deliverEvent_, &reconcileEvent_, &retryTimer_}) {
            if (*event) pw_loop_destroy_source(connection_->loop(), *event);
            *event = nullptr;
        }
    }

    ErrorCompletion takeStopCompletion() {
        std::lock_guard lock(stopMutex_);
        auto done = std::move(stopCompletion_);
        stopCompletion_ = nullptr;
        return done;
    }

    static void onStop(void* data, std::uint64_t) {
        guardedCallback(data, [](PipeWireStream* self) {
            if (!self->stopping_) {
                self->stopping_ = true;
                self->teardown();
                self->connection_->disconnect();
            }
            if (auto done = self->takeStopCompletion()) done(std::nullopt);
        });
    }

    void finishStart(std::optional<Error> error) {
        if (!startCompletion_) return;
        auto done = std::move(startCompletion_);
        startCompletion_ = nullptr;
        done(std::move(error));
    }

    void reportStop(const std::string& why) {
        if (stopping_ || stopReported_ || stopRequested_.load()) return;
        if (startCompletion_) {
            finishStart(Error{-3805, why});
            return;
        }
        stopReported_ = true;
        if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(Error{-3805, why});
    }

    void connectionLost(const std::string& why) override { reportStop(why); }

    void graphChanged() override {
        if (reconcileEvent_) pw_loop_signal_event(connection_->loop(), reconcileEvent_);
    }

    // Runs the next pass `delay` from now, or sooner when one is due sooner.
    void retryLater(linux_backend::Clock::duration delay = std::chrono::nanoseconds(kRetryNanoseconds)) {
        if (!retryTimer_) return;
        const auto due = linux_backend::Clock::now() + delay;
        if (retryArmed_ && retryDue_ <= due) return;
        const auto ns = std::max<long long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count(), 1);
        timespec value{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        if (pw_loop_update_timer(connection_->loop(), retryTimer_, &value, nullptr, false) >= 0) {
            retryArmed_ = true;
            retryDue_ = due;
        }
    }

    static void onReconcile(void* data, std::uint64_t) {
        guardedCallback(data, [](PipeWireStream* self) { self->reconcile(); });
    }

    static void onRetry(void* data, std::uint64_t) {
        guardedCallback(data, [](PipeWireStream* self) {
            self->retryArmed_ = false;
            self->reconcile();
        });
    }

    static void onMasterState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        guardedCallback(data, [&](PipeWireStream* self) {
            switch (state) {
                case PW_STREAM_STATE_PAUSED:
                case PW_STREAM_STATE_STREAMING: self->finishStart(std::nullopt); break;
                case PW_STREAM_STATE_ERROR:
                    self->reportStop(std::string("the capture node failed: ") + (error ? error : "unknown error"));
                    break;
                case PW_STREAM_STATE_UNCONNECTED:
                    self->reportStop("the capture node was disconnected from PipeWire");
                    break;
                default: break;
            }
        });
    }

    // Brings the capture nodes, the mix and the links in line with what the
    // graph says now.
    void reconcile() {
        if (!started_ || stopping_) return;
        CaptureGraph& graph = connection_->graph();
        detachLeaving();
        const auto now = linux_backend::Clock::now();
        for (auto it = links_.begin(); it != links_.end();) {
            if (it->second->dead) {
                const HeldLink& held = *it->second;
                if (held.failed && graph.present(held.key.outputPort, held.outputSerial) &&
                    graph.present(held.key.inputPort, held.inputSerial))
                    graph.linkFailed(it->first, now);
                else
                    graph.linkLost(it->first);
                dropLink(*it->second);
                it = links_.erase(it);
            } else {
                ++it;
            }
        }
        CapturePlan plan = graph.plan(now);
        unlink(plan.unlink);
        std::set<std::uint64_t> wanted;
        for (const CapturedStream& stream : plan.streams) wanted.insert(stream.serial);
        for (auto it = sources_.begin(); it != sources_.end();) {
            if (!wanted.count(it->first) || it->second->failed) {
                destroySource(*it->second, !graph.present(it->second->playbackNode, it->first));
                it = sources_.erase(it);
            } else {
                ++it;
            }
        }
        keepSpare();
        for (const CapturedStream& stream : plan.streams) keepSource(stream);
        keepSpare();
        // Capture nodes learned just now are linked in the same pass.
        plan = graph.plan(now);
        unlink(plan.unlink);
        for (const LinkKey& key : plan.link) link(key);
        if (plan.retryAt) retryLater(*plan.retryAt - now);
        followClockSink(plan);
    }

    // Keeps the clock node on the driver of the sink most running streams
    // play into, so that they are copied rather than followed: left alone,
    // PipeWire gives an unlinked node the highest-ranked driver that runs
    // (or, from 1.x, its dummy driver), which need not be theirs. The link
    // from the sink's monitor is passive, and is held only while a stream
    // runs there: an idle sink is never kept awake for it, and the clock node
    // goes back to whatever driver PipeWire gives it, silence included.
    void followClockSink(const CapturePlan& plan) {
        if (clockLink_ && clockLink_->dead) {
            const bool failed = clockLink_->failed;
            dropLink(*clockLink_);
            clockLink_.reset();
            if (failed) {
                clockLinkRetry_ = linux_backend::Clock::now() + std::chrono::nanoseconds(kRetryNanoseconds);
                retryLater();
            }
        }
        const std::uint32_t clockNode = master_ ? pw_stream_get_node_id(master_) : SPA_ID_INVALID;
        if (clockNode == SPA_ID_INVALID) return;
        const auto wanted = connection_->graph().clockLink(clockNode, plan, clockSink_);
        if (clockLink_ && (!wanted || wanted->key != clockLink_->key)) {
            dropLink(*clockLink_);
            clockLink_.reset();
            clockSink_.reset();
        }
        if (!wanted || clockLink_ || linux_backend::Clock::now() < clockLinkRetry_) return;
        clockLink_ = makeLink(wanted->key, true);
        if (clockLink_) clockSink_ = wanted->sink;
    }

    static std::size_t streamPorts(const CapturedStream& stream) {
        return std::min(stream.channels.size(), linux_backend::kMaxMixPorts);
    }

    void keepSource(const CapturedStream& stream) {
        auto& source = sources_[stream.serial];
        if (source && !linux_backend::captureNodeFits(source->ports, streamPorts(stream))) {
            // Moved to a sink with another layout: a node of the new width
            // takes its place, while what the old one delivered plays out.
            destroySource(*source, /*drain=*/true);
            source.reset();
        }
        if (!source && spare_ && spare_->captureNode && !spare_->failed &&
            linux_backend::captureNodeFits(spare_->ports, streamPorts(stream))) {
            // The spare's node and ports exist already: the stream is linked
            // in this same pass, without waiting for a node to be made.
            source = std::move(spare_);
            source->serial = stream.serial;
            source->playbackNode = stream.node;
            connection_->graph().captureNodeKnown(stream.serial, *source->captureNode);
        }
        if (!source) {
            source = makeSource(linux_backend::captureNodeWidth(streamPorts(stream)));
            if (!source) {
                sources_.erase(stream.serial);
                retryLater();
                return;
            }
            source->serial = stream.serial;
            source->playbackNode = stream.node;
        }
        if (source->channels != stream.channels || source->streamChannels != stream.streamChannels ||
            source->played != stream.played) {
            // Its links change in this same pass. A port that reaches no sink
            // is not linked and counts for nothing.
            auto weights = linux_backend::downmixWeights(stream.channels, stream.streamChannels, monoDownmix());
            for (std::size_t k = 0; k < weights.size() && k < stream.played.size(); ++k) {
                if (!stream.played[k]) weights[k] = 0.0f;
            }
            mixer_.setWeights(*source->mix, weights);
            source->channels = stream.channels;
            source->streamChannels = stream.streamChannels;
            source->played = stream.played;
        }
        if (!source->attached) {
            bool attached = false;
            MixerSource* mix = source->mix.get();
            if (invokeRealtime([&] { attached = mixer_.attach(*mix); }) && attached) source->attached = true;
            else retryLater();
        }
        if (!source->captureNode) {
            const std::uint32_t node = pw_stream_get_node_id(source->stream);
            if (node != SPA_ID_INVALID) {
                source->captureNode = node;
                connection_->graph().captureNodeKnown(stream.serial, node);
            }
        }
    }

    std::unique_ptr<Source> makeSource(std::size_t ports) {
        auto source = std::make_unique<Source>();
        source->owner = this;
        source->mix = mixer_.makeSource();
        if (!source->mix || !connectNode(*source, ports)) return nullptr;
        return source;
    }

    // The source's input node, `ports` wide.
    bool connectNode(Source& source, std::size_t ports) {
        source.ports = ports;
        const std::string name = "PimOrloAudioTap." + std::to_string(++nodeCount_);
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_AUTOCONNECT, "false",
                                                 PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
        pinToDataLoop(props);
        source.stream = pw_stream_new(connection_->core(), name.c_str(), props);
        if (source.stream == nullptr) return false;
        static constexpr pw_stream_events sourceEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &PipeWireStream::onSourceState;
            e.io_changed = &PipeWireStream::onSourceIO;
            e.process = &PipeWireStream::onSourceProcess;
            return e;
        }();
        pw_stream_add_listener(source.stream, &source.hook, &sourceEvents, &source);
        const spa_pod* param = nullptr;
        auto storage = planarFormat(static_cast<std::uint32_t>(ports), &param);
        if (pw_stream_connect(source.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
                              &param, 1) < 0) {
            dropNode(source);
            return false;
        }
        return true;
    }

    // No process callback runs once the stream is destroyed, so the source
    // is pushed no more by it.
    void dropNode(Source& source) {
        if (source.stream) {
            spa_hook_remove(&source.hook);
            pw_stream_destroy(source.stream);
            source.stream = nullptr;
        }
        if (source.captureNode && source.serial != 0) connection_->graph().captureNodeGone(source.serial);
        source.captureNode.reset();
        source.failed = false;
    }

    // One capture node is kept made and unlinked, so a stream that starts is
    // linked as soon as its ports are known rather than a node's making later.
    void keepSpare() {
        if (spare_ && spare_->failed) {
            destroySource(*spare_);
            spare_.reset();
        }
        if (!spare_) spare_ = makeSource(linux_backend::kCommonCaptureWidth);
        if (!spare_) {
            retryLater();
            return;
        }
        if (!spare_->captureNode) {
            const std::uint32_t node = pw_stream_get_node_id(spare_->stream);
            if (node != SPA_ID_INVALID) spare_->captureNode = node;
        }
    }

    static void onSourceState(void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* source = static_cast<Source*>(data);
        if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
            source->failed = true;  // made again by the next pass
            source->owner->retryLater();
        } else {
            source->owner->graphChanged();  // its node id may be known now
        }
    }

    // `drain`: the stream ended, so what it delivered and the mix has not
    // taken yet (its lead, the end of its sound) is still mixed before the
    // source leaves.
    void destroySource(Source& source, bool drain = false) {
        // Its node goes first, then it leaves the mix.
        dropNode(source);
        if (source.attached) {
            const auto now = std::chrono::steady_clock::now();
            leaving_.push_back(Leaving{std::move(source.mix), drain ? now + kDrainTime : now});
            source.attached = false;
            detachLeaving();
        } else {
            source.mix.reset();
            returnFreedMemory();
        }
    }

    // Detaches the sources whose time has come; one the real-time thread
    // would not let go of yet is kept, attached, until it does.
    void detachLeaving() {
        const auto now = std::chrono::steady_clock::now();
        bool freed = false;
        for (auto it = leaving_.begin(); it != leaving_.end();) {
            MixerSource* mix = it->mix.get();
            if (it->until <= now && invokeRealtime([&] { mixer_.detach(*mix); })) {
                it = leaving_.erase(it);
                freed = true;
            } else {
                ++it;
            }
        }
        if (freed) returnFreedMemory();
        if (!leaving_.empty()) retryLater();
    }

    // A stream's node and source leave free chunks in this thread's malloc
    // arena (PipeWire's converter touches a few hundred KiB per node): give
    // their pages back, so that a tap that saw many short streams is no
    // larger than one that saw few.
    static void returnFreedMemory() { malloc_trim(0); }

    void unlink(const std::vector<LinkKey>& keys) {
        for (const LinkKey& key : keys) {
            auto it = links_.find(key);
            if (it == links_.end()) continue;
            dropLink(*it->second);
            links_.erase(it);
        }
    }

    void link(const LinkKey& key) {
        // A link under the same key may still be held: its ports went and
        // their ids came back with new ports before its end was reported.
        // It is let go properly, never overwritten with its hooks live.
        auto old = links_.find(key);
        if (old != links_.end()) {
            dropLink(*old->second);
            links_.erase(old);
        }
        if (auto held = makeLink(key)) {
            links_[key] = std::move(held);
            connection_->graph().linkMade(key);
        }
    }

    std::unique_ptr<HeldLink> makeLink(const LinkKey& key, bool passive = false) {
        CaptureGraph& graph = connection_->graph();
        const std::uint32_t outputNode = graph.nodeOf(key.outputPort);
        const std::uint32_t inputNode = graph.nodeOf(key.inputPort);
        if (outputNode == 0 || inputNode == 0) return nullptr;
        pw_properties* props = pw_properties_new(nullptr, nullptr);
        if (props == nullptr) {
            retryLater();
            return nullptr;
        }
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outputNode);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", key.outputPort);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", inputNode);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", key.inputPort);
        pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
        if (passive) pw_properties_set(props, PW_KEY_LINK_PASSIVE, "true");
        auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(connection_->core(), "link-factory",
                                                                   PW_TYPE_INTERFACE_Link, PW_VERSION_LINK,
                                                                   &props->dict, 0));
        pw_properties_free(props);
        if (proxy == nullptr) {
            retryLater();
            return nullptr;
        }
        static constexpr pw_proxy_events linkEvents = [] {
            pw_proxy_events e{};
            e.version = PW_VERSION_PROXY_EVENTS;
            e.removed = &PipeWireStream::onLinkRemoved;
            e.error = &PipeWireStream::onLinkError;
            return e;
        }();
        static constexpr pw_link_events linkStateEvents = [] {
            pw_link_events e{};
            e.version = PW_VERSION_LINK_EVENTS;
            e.info = &PipeWireStream::onLinkInfo;
            return e;
        }();
        auto held = std::make_unique<HeldLink>();
        held->owner = this;
        held->key = key;
        held->proxy = proxy;
        held->outputSerial = graph.serialOf(key.outputPort);
        held->inputSerial = graph.serialOf(key.inputPort);
        pw_proxy_add_listener(proxy, &held->hook, &linkEvents, held.get());
        pw_proxy_add_object_listener(proxy, &held->linkHook, &linkStateEvents, held.get());
        return held;
    }

    static void onLinkRemoved(void* data) {
        auto* held = static_cast<HeldLink*>(data);
        held->dead = true;
        held->owner->graphChanged();
    }

    static void onLinkError(void* data, int, int, const char*) {
        auto* held = static_cast<HeldLink*>(data);
        held->dead = true;
        held->failed = true;
        held->owner->graphChanged();
    }

    // A link that PipeWire could not bring up stays in the error state and
    // carries nothing: it is dropped and asked for again later.
    static void onLinkInfo(void* data, const pw_link_info* info) {
        auto* held = static_cast<HeldLink*>(data);
        if (info == nullptr || !(info->change_mask & PW_LINK_CHANGE_MASK_STATE)) return;
        guardedCallback(held->owner, [&](PipeWireStream* self) {
            if (info->state == PW_LINK_STATE_ERROR) {
                held->dead = true;
                held->failed = true;
                self->graphChanged();
            } else if (info->state == PW_LINK_STATE_ACTIVE) {
                self->connection_->graph().linkWorks(held->key);
            }
        });
    }

    static void dropLink(HeldLink& held) {
        if (!held.proxy) return;
        spa_hook_remove(&held.hook);
        spa_hook_remove(&held.linkHook);
        pw_proxy_destroy(held.proxy);
        held.proxy = nullptr;
    }

    // Runs `change` on the real-time thread and waits for it; false when the
    // data loop would not take it (then it did not run).
    bool invokeRealtime(const std::function<void()>& change) {
        if (dataLoop_ == nullptr) return false;
        const auto* task = &change;
        return pw_loop_invoke(dataLoop_, &PipeWireStream::runInvoked, SPA_ID_INVALID, &task, sizeof(task), true,
                              nullptr) >= 0;
    }

    static int runInvoked(spa_loop*, bool, std::uint32_t, const void* data, std::size_t, void*) {
        const std::function<void()>* task;
        std::memcpy(&task, data, sizeof(task));
        (*task)();
        return 0;
    }

    // Hands the mixed frames to the output's queue, resampled, unless the
    // reader is already the whole backlog behind.
    static void onDeliver(void* data, std::uint64_t) {
        guardedCallback(data, [](PipeWireStream* self) { self->deliver(); });
    }

    // Resamples the mix where the ring holds it.
    void deliver() {
        std::vector<float> out;
        for (auto [samples, n] = mixRing_.readable(); n > 0; std::tie(samples, n) = mixRing_.readable()) {
            if (!delivery_.resample(samples, n, out)) return;
            mixRing_.consume(n);
        }
        delivery_.post(std::move(out));
    }

    // ---- real-time thread ----------------------------------------------
    // Called on the loop thread, not the real-time one. The pointer is
    // swapped on the real-time thread between two cycles, as pw_stream swaps
    // its own: once this returns, PipeWire may unmap the area it replaces, and
    // a cycle still reading it would read freed memory.
    void setPosition(std::atomic<spa_io_position*>& slot, void* area, std::uint32_t size) noexcept {
        auto* position = area != nullptr && size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr;
        const auto store = [&slot, position] { slot.store(position, std::memory_order_relaxed); };
        bool swapped = false;
        linux_backend::guarded([&] { swapped = invokeRealtime(store); }, [](const char*) {});
        if (!swapped) store();
    }

    static void onMasterIO(void* data, std::uint32_t id, void* area, std::uint32_t size) {
        if (id != SPA_IO_Position) return;
        auto* self = static_cast<PipeWireStream*>(data);
        self->setPosition(self->position_, area, size);
    }

    // The frames this cycle mixes: the driver's cycle length, at the mix's
    // rate, with the remainder carried so no fraction is lost over time.
    std::uint32_t cycleFrames(const pw_buffer* buffer) {
        const spa_io_position* position = position_.load(std::memory_order_relaxed);
        if (position != nullptr && position->clock.duration > 0 && position->clock.rate.denom > 0) {
            const std::uint64_t rate = position->clock.rate.denom;
            if (rate == kGraphRate)
                return static_cast<std::uint32_t>(std::min<std::uint64_t>(position->clock.duration, kMaxCycleFrames));
            const std::uint64_t scaled = position->clock.duration * kGraphRate + cycleRemainder_;
            cycleRemainder_ = scaled % rate;
            return static_cast<std::uint32_t>(std::min<std::uint64_t>(scaled / rate, kMaxCycleFrames));
        }
        // No position yet: what the (unlinked) input was given.
        const spa_buffer* b = buffer ? buffer->buffer : nullptr;
        const std::uint32_t size = b && b->n_datas > 0 && b->datas[0].chunk ? b->datas[0].chunk->size : 0;
        return std::min<std::uint32_t>(size / sizeof(float), kMaxCycleFrames);
    }

    static void onMasterProcess(void* data) {
        auto* self = static_cast<PipeWireStream*>(data);
        pw_buffer* b = pw_stream_dequeue_buffer(self->master_);
        std::uint32_t frames = self->cycleFrames(b);
        if (b) pw_stream_queue_buffer(self->master_, b);
        if (frames == 0) return;
        self->mixer_.mix(self->mix_.get(), frames, cycleStart(self->position_), cycleDriver(self->position_),
                         cycleClock(self->position_));
        self->mixRing_.write(self->mix_.get(), frames);
        // The loop thread is woken once a block's worth waits, not on every
        // cycle of a short quantum.
        self->undelivered_ += frames;
        if (self->undelivered_ >= kDeliveryBlockFrames) {
            self->undelivered_ = 0;
            pw_loop_signal_event(self->connection_->loop(), self->deliverEvent_);
        }
    }

    static void onSourceIO(void* data, std::uint32_t id, void* area, std::uint32_t size) {
        if (id != SPA_IO_Position) return;
        auto* source = static_cast<Source*>(data);
        source->owner->setPosition(source->position, area, size);
    }

    static void onSourceProcess(void* data) {
        auto* source = static_cast<Source*>(data);
        pw_buffer* b = pw_stream_dequeue_buffer(source->stream);
        if (b == nullptr) return;
        const spa_buffer* buffer = b->buffer;
        const float* planes[linux_backend::kMaxMixPorts];
        const std::size_t count = std::min<std::size_t>(buffer->n_datas, linux_backend::kMaxMixPorts);
        std::uint32_t frames = UINT32_MAX;
        for (std::size_t i = 0; i < count; ++i) {
            const spa_data& d = buffer->datas[i];
            if (d.data == nullptr || d.chunk == nullptr) {
                planes[i] = nullptr;
                continue;
            }
            const std::uint32_t offset = std::min(d.chunk->offset, d.maxsize);
            const std::uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
            planes[i] = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(d.data) + offset);
            frames = std::min<std::uint32_t>(frames, size / sizeof(float));
        }
        if (frames != UINT32_MAX && frames > 0) {
            source->owner->mixer_.push(*source->mix, planes, count, frames, cycleStart(source->position),
                                       cycleDriver(source->position), cycleClock(source->position));
        }
        pw_stream_queue_buffer(source->stream, b);
    }

    using MixerSource = linux_backend::MixerSource;

    std::shared_ptr<Connection> connection_;
    std::weak_ptr<StreamDelegate> delegate_;
    ExclusionRules rules_;
    OutputDelivery delivery_;


    // Any thread.
    std::mutex stopMutex_;
    ErrorCompletion stopCompletion_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<spa_source*> stopEvent_{nullptr};

    // Loop thread (or under the loop lock).
    bool started_ = false;
    bool stopping_ = false;
    bool stopReported_ = false;
    bool tornDown_ = false;
    bool retryArmed_ = false;
    linux_backend::Clock::time_point retryDue_;
    pw_loop* dataLoop_ = nullptr;
    std::string dataLoopName_;
    ErrorCompletion startCompletion_;
    pw_stream* master_ = nullptr;
    spa_hook masterHook_{};
    spa_source* deliverEvent_ = nullptr;
    spa_source* reconcileEvent_ = nullptr;
    spa_source* retryTimer_ = nullptr;
    std::map<std::uint64_t, std::unique_ptr<Source>> sources_;  // by the stream's serial
    std::unique_ptr<Source> spare_;
    unsigned nodeCount_ = 0;
    std::map<LinkKey, std::unique_ptr<HeldLink>> links_;
    // The passive link that keeps the clock node on a sink's driver, and that sink.
    std::unique_ptr<HeldLink> clockLink_;
    std::optional<std::uint32_t> clockSink_;
    linux_backend::Clock::time_point clockLinkRetry_{};
    struct Leaving {
        MixerSourceHandle mix;
        std::chrono::steady_clock::time_point until;
    };
    std::vector<Leaving> leaving_;

    // Real-time thread (the mix itself changes only through invokeRealtime).
    Mixer mixer_;
    std::atomic<spa_io_position*> position_{nullptr};
    std::uint64_t cycleRemainder_ = 0;
    std::uint32_t undelivered_ = 0;  // mixed since the loop thread was last woken
    // Sized for the longest cycle, not cleared: only the pages a cycle's
    // length reaches are ever resident.
    std::unique_ptr<float[]> mix_{new float[kMaxCycleFrames]};
    FloatRing mixRing_{kMixRingFrames};
};

class PipeWireCaptureSystem final : public CaptureSystem {
public:
    void getShareableContent(bool, bool, ShareableContentCompletion completion) override {
        auto connection = std::make_shared<Connection>();
        std::weak_ptr<Connection> weak = connection;
        {
            std::lock_guard lock(mutex_);
            connections_.push_back(connection);
        }
        connection->open([weak, completion](std::string error) {
            auto strong = weak.lock();
            if (!error.empty() || !strong) {
                completion(std::nullopt, Error{-3805, error.empty() ? "the PipeWire connection went away" : error});
                return;
            }
            completion(listContent(strong), std::nullopt);
        });
    }

    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override {
        auto native = std::static_pointer_cast<const DisplayNative>(filter.display.native);
        return std::make_shared<PipeWireStream>(native ? native->connection : nullptr, filter, configuration,
                                                std::move(delegate));
    }

    ~PipeWireCaptureSystem() override {
        // Connections close before the process's last objects go.
        std::lock_guard lock(mutex_);
        connections_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<Connection>> connections_;
};

}  // namespace

std::unique_ptr<CaptureSystem> linux_backend::makePipeWireCaptureSystem() {
    // Each capture node's converter allocates buffers of several MiB (sized
    // for 65 channels, touched for the few it carries). glibc serves the first
    // by mmap, then, once one is freed, raises its threshold and serves the
    // next from the arena, where a node's touched pages stay resident after
    // it goes: with streams coming and going the tap grew by 6 MiB in 30 s.
    // A fixed threshold keeps every such buffer its own mapping, returned to
    // the system when its node goes.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    return std::make_unique<PipeWireCaptureSystem>();
}

}  // namespace pimorlo::platform
