// Capture on a PulseAudio server: the glue between libpulse, the graph of
// what the server plays, the mix and the output.
//
// A display is a sink; an application is a client process. Each sink input
// the graph says to capture gets one record stream of its own, on the
// monitor of the sink it plays on, limited to that sink input
// (pa_stream_set_monitor_stream): the server hands that stream what the sink
// input plays into the sink, after its volume, before the sink mixes it, in
// the sink's own layout. What a stream reads waits in its own buffer and
// reaches the mix on the tap's ticks, paced as an even clock would deliver it
// (monitor_pacer.h). The mix runs on a clock of the tap's own (a timer on the
// loop thread), so silence arrives at the output rate when nothing plays,
// and each monitor stream is a source behind its sink's timing. Everything
// runs on the loop thread: the server's events, the reads, the mix and the
// hand-over to the output's queue.
#include "platform/linux/pulse/capture_pulse.h"

#include <pulse/pulseaudio.h>
#include <sys/eventfd.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/capture/delivery.h"
#include "platform/linux/capture/exclusion.h"
#include "platform/linux/capture/mixer.h"
#include "platform/linux/pulse/monitor_pacer.h"
#include "platform/linux/pulse/graph.h"

namespace pimorlo::platform::linux_backend {
namespace {

// The mix's rate; the server converts each monitor stream to it.
constexpr std::uint32_t kMixRate = 48000;
// The tap's clock ticks every 10 ms and mixes what the time since the start
// asks for, so a late tick only makes the next one longer.
constexpr pa_usec_t kTickUsec = 10'000;
// A tick this late waits kPostponeUsec more, so the loop reads the server's
// socket first (see onTick).
constexpr pa_usec_t kLateTickUsec = 15'000;
constexpr pa_usec_t kPostponeUsec = 2'000;
// Each monitor stream asks for its audio in blocks of 10 ms. The server sets
// its sink's latency to what its readers ask, so this also bounds how long
// a sound waits in the sink before the tap sees it, and how much of a new
// player's start the sink renders before its monitor stream exists.
constexpr pa_usec_t kFragmentUsec = 10'000;
// The longest stretch mixed at once; a tick that came late mixes in pieces.
constexpr std::uint32_t kMaxMixFrames = 8192;
// What a monitor stream buffers before the mix takes it: the server's
// blocks may come this much late, or its buffering move this much, without
// a hole (see monitor_pacer.h). Beside stress-ng on two cores, 50 ms kept
// every continuity run whole where 35 ms let one in seven slip.
constexpr double kPaceDelaySeconds = 0.05;
// What one monitor stream holds before the mix takes it (0.34 s).
constexpr std::size_t kWaitingFrames = std::size_t{1} << 14;
// Frames handed to the mix at a time.
constexpr std::size_t kPushFrames = 1024;
constexpr std::size_t kMaxSources = 4096;
// How long a source whose sink input ended stays in the mix: longer than
// any lead it can hold, so its last sound is heard.
constexpr auto kDrainTime = std::chrono::seconds(1);

const char* kServerGoneText = "lost the connection to PulseAudio: ";

std::int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// No exception may leave a libpulse callback: what throws (memory running
// out) is dropped there.
template <typename F>
void guarded(F&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

Props propsOf(const pa_proplist* list) {
    Props props;
    if (list == nullptr) return props;
    void* state = nullptr;
    while (const char* key = pa_proplist_iterate(list, &state)) {
        if (const char* value = pa_proplist_gets(list, key)) props[key] = value;
    }
    return props;
}

std::vector<std::string> channelNames(const pa_channel_map& map) {
    std::vector<std::string> names;
    for (unsigned c = 0; c < map.channels && c < PA_CHANNELS_MAX; ++c) names.push_back(pulseChannelName(map.map[c]));
    return names;
}

std::string errorText(pa_context* context) { return pa_strerror(pa_context_errno(context)); }

// A record stream's buffer: the server's defaults but for fragments of
// kFragmentUsec.
pa_buffer_attr fragmentAttr(const pa_sample_spec& sampleFormat) {
    pa_buffer_attr attr{};
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentUsec, &sampleFormat));
    return attr;
}

// Held on any thread but the loop's, where libpulse already holds it.
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop), held_(!pa_threaded_mainloop_in_thread(loop)) {
        if (held_) pa_threaded_mainloop_lock(loop_);
    }
    ~LoopLock() {
        if (held_) pa_threaded_mainloop_unlock(loop_);
    }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
    bool held_;
};

class ConnectionObserver {
public:
    virtual void graphChanged() = 0;
    // The server answered a fresh look at one sink input; the graph holds it.
    virtual void sinkInputLooked(std::uint32_t index) = 0;
    virtual void connectionLost(const std::string& why) = 0;

protected:
    ~ConnectionObserver() = default;
};

// One connection to the server with its own loop thread, mirroring the
// server's sinks, clients and sink inputs into a graph. Everything but the
// constructor, open and the destructor runs on the loop thread or under its
// lock.
class PulseConnection {
public:
    PulseConnection() {
        loop_ = pa_threaded_mainloop_new();
        if (loop_ == nullptr) return;
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "PimOrloAudioTap");
        context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "PimOrloAudioTap", props);
        pa_proplist_free(props);
    }

    ~PulseConnection() {
        if (loop_ == nullptr) return;
        pa_threaded_mainloop_stop(loop_);
        disconnect();
        if (context_) pa_context_unref(context_);
        pa_threaded_mainloop_free(loop_);
    }

    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }
    pa_context* context() const { return context_; }
    bool connected() const { return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY; }
    bool onPipeWire() const { return onPipeWire_; }
    PulseGraph& graph() { return graph_; }
    void setObserver(ConnectionObserver* observer) { observer_ = observer; }

    // Connects through libpulse's own lookup of the server (never starting
    // one) and lists the server; `ready` runs once, on the loop thread, when
    // every sink, client and sink input is known, or with an error text.
    void open(std::function<void(std::string)> ready) {
        if (loop_ == nullptr || context_ == nullptr) {
            ready("cannot connect to PulseAudio: " + std::string(pa_strerror(PA_ERR_INTERNAL)));
            return;
        }
        pa_context_set_state_callback(context_, &PulseConnection::onState, this);
        ready_ = std::move(ready);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            auto done = std::move(ready_);
            ready_ = nullptr;
            done("cannot connect to PulseAudio: " + errorText(context_));
            return;
        }
        if (pa_threaded_mainloop_start(loop_) < 0) {
            auto done = std::move(ready_);
            ready_ = nullptr;
            pa_context_disconnect(context_);
            done("cannot connect to PulseAudio: cannot start its loop thread");
        }
    }

    // Asks the server what one sink input is now; the observer hears once
    // the answer is in the graph.
    void lookAtSinkInput(std::uint32_t index) { query(Lookup::sinkInput, index, true); }

    void disconnect() {
        if (context_ && pa_context_get_state(context_) != PA_CONTEXT_UNCONNECTED) {
            disconnecting_ = true;
            pa_context_disconnect(context_);
        }
    }

private:
    struct Lookup {
        enum Kind { sink, client, sinkInput } kind = sink;
        PulseConnection* owner = nullptr;
        std::uint32_t index = kNoPulseIndex;  // kNoPulseIndex: the whole list
        bool look = false;                    // a fresh look the observer waits for
        bool found = false;
    };

    void query(Lookup::Kind kind, std::uint32_t index, bool look = false) {
        lookups_.push_back(Lookup{kind, this, index, look, false});
        Lookup* lookup = &lookups_.back();
        pa_operation* operation = nullptr;
        const bool all = index == kNoPulseIndex;
        switch (kind) {
            case Lookup::sink:
                operation = all ? pa_context_get_sink_info_list(context_, &PulseConnection::onSink, lookup)
                                : pa_context_get_sink_info_by_index(context_, index, &PulseConnection::onSink, lookup);
                break;
            case Lookup::client:
                operation = all ? pa_context_get_client_info_list(context_, &PulseConnection::onClient, lookup)
                                : pa_context_get_client_info(context_, index, &PulseConnection::onClient, lookup);
                break;
            case Lookup::sinkInput:
                operation = all ? pa_context_get_sink_input_info_list(context_, &PulseConnection::onSinkInput, lookup)
                                : pa_context_get_sink_input_info(context_, index, &PulseConnection::onSinkInput, lookup);
                break;
        }
        if (operation == nullptr) {
            // The connection is going; its end is reported by the state.
            lookups_.pop_back();
            return;
        }
        if (all) ++pendingLists_;
        pa_operation_unref(operation);
    }

    // The end of one lookup: an item not found by index is gone.
    void finish(Lookup* lookup, int eol) {
        const bool all = lookup->index == kNoPulseIndex;
        if (!all && (!lookup->found || eol < 0)) {
            switch (lookup->kind) {
                case Lookup::sink: graph_.sinkGone(lookup->index); break;
                case Lookup::client: graph_.clientGone(lookup->index); break;
                case Lookup::sinkInput: graph_.sinkInputGone(lookup->index); break;
            }
        }
        const bool look = lookup->look;
        const std::uint32_t index = lookup->index;
        lookups_.remove_if([lookup](const Lookup& l) { return &l == lookup; });
        if (all) {
            if (--pendingLists_ == 0) listed();
            return;
        }
        if (observer_) {
            if (look) observer_->sinkInputLooked(index);
            else observer_->graphChanged();
        }
    }

    void listed() {
        if (!ready_ || !serverKnown_) return;
        auto done = std::move(ready_);
        ready_ = nullptr;
        done("");
    }

    void failOpen(const std::string& why) {
        if (!ready_) return;
        auto done = std::move(ready_);
        ready_ = nullptr;
        done(why);
    }

    static void onState(pa_context* context, void* data) {
        auto* self = static_cast<PulseConnection*>(data);
        guarded([&] {
            switch (pa_context_get_state(context)) {
                case PA_CONTEXT_READY: self->ready(); break;
                case PA_CONTEXT_FAILED:
                case PA_CONTEXT_TERMINATED: {
                    const std::string why = errorText(context);
                    if (self->ready_) {
                        self->failOpen("cannot connect to PulseAudio: " + why);
                    } else if (!self->disconnecting_ && self->observer_) {
                        self->observer_->connectionLost(kServerGoneText + why);
                    }
                    break;
                }
                default: break;
            }
        });
    }

    void ready() {
        pa_context_set_subscribe_callback(context_, &PulseConnection::onEvent, this);
        const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_CLIENT |
                                                              PA_SUBSCRIPTION_MASK_SINK_INPUT);
        if (pa_operation* o = pa_context_subscribe(context_, mask, nullptr, nullptr)) pa_operation_unref(o);
        if (pa_operation* o = pa_context_get_server_info(context_, &PulseConnection::onServer, this)) {
            pa_operation_unref(o);
        } else {
            serverKnown_ = true;
        }
        // Subscribed first, so nothing that changes while these lists come
        // is missed: its event asks again.
        query(Lookup::sink, kNoPulseIndex);
        query(Lookup::client, kNoPulseIndex);
        query(Lookup::sinkInput, kNoPulseIndex);
        if (pendingLists_ == 0) failOpen("cannot list PulseAudio's streams: " + errorText(context_));
    }

    static void onServer(pa_context*, const pa_server_info* info, void* data) {
        auto* self = static_cast<PulseConnection*>(data);
        guarded([&] {
            // pipewire-pulse names itself "PulseAudio (on PipeWire x.y.z)".
            self->onPipeWire_ = info && info->server_name && std::strstr(info->server_name, "PipeWire") != nullptr;
            self->serverKnown_ = true;
            if (self->pendingLists_ == 0) self->listed();
        });
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t index, void* data) {
        auto* self = static_cast<PulseConnection*>(data);
        guarded([&] {
            const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
            const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
            Lookup::Kind kind;
            switch (facility) {
                case PA_SUBSCRIPTION_EVENT_SINK: kind = Lookup::sink; break;
                case PA_SUBSCRIPTION_EVENT_CLIENT: kind = Lookup::client; break;
                case PA_SUBSCRIPTION_EVENT_SINK_INPUT: kind = Lookup::sinkInput; break;
                default: return;
            }
            if (!removed) {
                self->query(kind, index);
                return;
            }
            switch (kind) {
                case Lookup::sink: self->graph_.sinkGone(index); break;
                case Lookup::client: self->graph_.clientGone(index); break;
                case Lookup::sinkInput: self->graph_.sinkInputGone(index); break;
            }
            if (self->observer_) self->observer_->graphChanged();
        });
    }

    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* data) {
        auto* lookup = static_cast<Lookup*>(data);
        guarded([&] {
            if (eol != 0) return lookup->owner->finish(lookup, eol);
            lookup->found = true;
            lookup->owner->graph_.sinkKnown(PulseSink{info->index, info->name ? info->name : "",
                                                      info->monitor_source_name ? info->monitor_source_name : "",
                                                      channelNames(info->channel_map)});
        });
    }

    static void onClient(pa_context*, const pa_client_info* info, int eol, void* data) {
        auto* lookup = static_cast<Lookup*>(data);
        guarded([&] {
            if (eol != 0) return lookup->owner->finish(lookup, eol);
            lookup->found = true;
            lookup->owner->graph_.clientKnown(PulseClient{info->index, propsOf(info->proplist)});
        });
    }

    static void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* data) {
        auto* lookup = static_cast<Lookup*>(data);
        guarded([&] {
            if (eol != 0) return lookup->owner->finish(lookup, eol);
            lookup->found = true;
            lookup->owner->graph_.sinkInputKnown(PulseSinkInput{info->index, info->client, info->owner_module,
                                                                info->sink, channelNames(info->channel_map),
                                                                propsOf(info->proplist)});
        });
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    std::function<void(std::string)> ready_;
    bool serverKnown_ = false;
    bool onPipeWire_ = false;
    bool disconnecting_ = false;
    int pendingLists_ = 0;
    std::list<Lookup> lookups_;
    PulseGraph graph_;
    ConnectionObserver* observer_ = nullptr;
};

struct DisplayNative {
    std::shared_ptr<PulseConnection> connection;
    std::uint32_t sink = kNoPulseIndex;
};

// Every application this backend lists carries one.
struct ApplicationNative {
    bool sandboxed = false;
    std::vector<std::uint32_t> clients;
};

class PulseStream;

// A monitor stream's frames, interleaved, waiting for the mix: a ring.
class WaitingFrames {
public:
    void reset(std::size_t channels) {
        channels_ = std::max<std::size_t>(channels, 1);
        data_.assign(kWaitingFrames * channels_, 0.0f);
        head_ = count_ = 0;
    }
    std::size_t channels() const { return channels_; }
    std::size_t count() const { return count_; }

    // Appends `frames` (null: silence); false, with nothing kept, when full.
    bool append(const float* samples, std::size_t frames) {
        if (data_.empty() || count_ + frames > kWaitingFrames) return false;
        for (std::size_t f = 0; f < frames; ++f) {
            float* to = &data_[((head_ + count_ + f) % kWaitingFrames) * channels_];
            for (std::size_t c = 0; c < channels_; ++c) to[c] = samples ? samples[f * channels_ + c] : 0.0f;
        }
        count_ += frames;
        return true;
    }

    // The first `frames` into `planes` (one per channel, up to `planeCount`), then dropped.
    void take(std::size_t frames, float* const* planes, std::size_t planeCount) {
        for (std::size_t f = 0; f < frames; ++f) {
            const float* from = &data_[((head_ + f) % kWaitingFrames) * channels_];
            for (std::size_t c = 0; c < planeCount && c < channels_; ++c) planes[c][f] = from[c];
        }
        head_ = (head_ + frames) % kWaitingFrames;
        count_ -= frames;
    }

private:
    std::vector<float> data_;
    std::size_t channels_ = 1;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

// One captured sink input: its monitor stream and its source in the mix. The
// source outlives the stream across a move, so a moved sink input plays on
// in the mix where its new stream takes up.
struct MonitorSource {
    PulseStream* owner = nullptr;
    PulseCapture capture;
    pa_stream* stream = nullptr;
    MixerSourceHandle mix;
    // Its frames until the mix takes them, on an even clock.
    WaitingFrames waiting;
    MonitorPacer pacer{kMixRate, kPaceDelaySeconds};
    std::uint64_t overflows = 0;
    // The stream failed and the server is asked what became of its sink
    // input; nothing is made for it meanwhile.
    bool failed = false;
    std::string failure;
};

class PulseStream final : public Stream, private ConnectionObserver {
public:
    PulseStream(std::shared_ptr<PulseConnection> connection, const ContentFilter& filter,
                const StreamConfiguration& configuration, std::weak_ptr<StreamDelegate> delegate)
        : connection_(std::move(connection)),
          delegate_(std::move(delegate)),
          delivery_(static_cast<double>(configuration.sampleRate.value_or(48000)),
                    static_cast<std::uint32_t>(configuration.channelCount.value_or(2))),
          mixer_(mixerConfig()) {
        rules_.excludesApplication = filter.excludesApplication;
        rules_.lookup = readProcessRecord;
        for (const auto& app : filter.excludingApplications) {
            auto native = std::static_pointer_cast<const ApplicationNative>(app.native);
            if (native && native->sandboxed) {
                for (std::uint32_t client : native->clients) rules_.clientSerials.insert(pulseClientSerial(client));
            } else if (auto key = processKey(app.processID, rules_.lookup)) {
                rules_.processes.insert(*key);
            }
        }
        if (configuration.excludesCurrentProcessAudio.value_or(false)) {
            if (auto key = processKey(::getpid(), rules_.lookup)) rules_.processes.insert(*key);
        }
    }

    ~PulseStream() override {
        if (!connection_) return;
        LoopLock lock(connection_->loop());
        teardown();
        if (stopEvent_) connection_->api()->io_free(stopEvent_);
        if (stopFd_ >= 0) ::close(stopFd_);
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
        std::optional<Error> failure;
        {
            LoopLock lock(connection_->loop());
            if (started_) {
                failure = Error{-3805, "capture was already started"};
            } else if (!connection_->connected()) {
                failure = Error{-3805, "lost the connection to PulseAudio"};
            } else if (!delivery_.supported()) {
                failure = Error{-3805, "unsupported audio configuration"};
            } else if (auto reason = delivery_.prepare(kMixRate)) {
                failure = Error{-3805, "cannot resample the capture: " + *reason};
            } else if (auto why = startClock()) {
                failure = Error{-3805, *why};
                teardown();
            } else {
                started_ = true;
                connection_->graph().setJudge(ExclusionJudge(rules_));
                connection_->setObserver(this);
                reconcile();
            }
            // A stop asked for while this ran finds the event now.
            if (stopRequested_.load() && stopFd_ >= 0) signalStop();
        }
        completion(failure);
    }

    // Returns at once, whatever the server does: the teardown runs on the
    // loop thread, which is woken through an event file descriptor, never
    // through the loop lock.
    void stopCapture(ErrorCompletion completion) override {
        {
            std::lock_guard lock(stopMutex_);
            stopCompletion_ = std::move(completion);
        }
        stopRequested_.store(true);
        if (stopArmed_.load()) {
            signalStop();
            return;
        }
        // Not started: nothing runs that needs stopping.
        if (auto done = takeStopCompletion()) done(std::nullopt);
    }

private:
    static MixerConfig mixerConfig() {
        MixerConfig config;
        config.graphRate = kMixRate;
        config.maxSources = kMaxSources;
        config.maxCycleFrames = kMaxMixFrames;
        // The pacing already rides over the server's late blocks, and hands
        // the mix each stream's frames right before it mixes, as a node on
        // the mix's own driver would: no spare cycle of lead is needed.
        config.spareCycles = 0;
        return config;
    }

    // ---- loop thread (or under the loop lock) ----------------------------

    std::optional<std::string> startClock() {
        stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd_ < 0) return "cannot watch the capture: " + std::string(std::strerror(errno));
        pa_mainloop_api* api = connection_->api();
        stopEvent_ = api->io_new(api, stopFd_, PA_IO_EVENT_INPUT, &PulseStream::onStop, this);
        if (stopEvent_ == nullptr) return "cannot watch the capture";
        stopArmed_.store(true);
        clockStartNs_ = monotonicNs();
        nextTickUsec_ = pa_rtclock_now() + kTickUsec;
        tick_ = pa_context_rttime_new(connection_->context(), nextTickUsec_, &PulseStream::onTick, this);
        if (tick_ == nullptr) return "cannot start the capture's clock";
        return std::nullopt;
    }

    void signalStop() {
        const std::uint64_t one = 1;
        // A full counter already wakes the loop.
        [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
    }

    ErrorCompletion takeStopCompletion() {
        std::lock_guard lock(stopMutex_);
        auto done = std::move(stopCompletion_);
        stopCompletion_ = nullptr;
        return done;
    }

    static void onStop(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* data) {
        auto* self = static_cast<PulseStream*>(data);
        guarded([&] {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
            if (!self->stopping_) {
                self->stopping_ = true;
                self->teardown();
                self->connection_->disconnect();
            }
            if (auto done = self->takeStopCompletion()) done(std::nullopt);
        });
    }

    void teardown() {
        if (tornDown_) return;
        tornDown_ = true;
        connection_->setObserver(nullptr);
        if (tick_) {
            connection_->api()->time_free(tick_);
            tick_ = nullptr;
        }
        for (auto& [sink, keeper] : keepers_) closeKeeper(keeper);
        keepers_.clear();
        for (auto& [index, source] : sources_) closeStream(*source);
        for (auto& [index, source] : sources_) mixer_.detach(*source->mix);
        sources_.clear();
        for (auto& leaving : leaving_) mixer_.detach(*leaving.mix);
        leaving_.clear();
    }

    void reportStop(const std::string& why) {
        if (stopping_ || stopReported_ || stopRequested_.load()) return;
        stopReported_ = true;
        if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(Error{-3805, why});
    }

    void connectionLost(const std::string& why) override { reportStop(why); }

    void graphChanged() override { reconcile(); }

    void sinkInputLooked(std::uint32_t index) override {
        auto it = sources_.find(index);
        if (it != sources_.end() && it->second->failed) {
            MonitorSource& source = *it->second;
            if (failedStreamAction(source.capture, connection_->graph().wanted(index)) == FailedStreamAction::report) {
                reportStop("a monitor stream failed: " + source.failure);
                return;
            }
            source.failed = false;
        }
        reconcile();
    }

    // Brings the monitor streams and the mix in line with what the graph
    // says now.
    void reconcile() {
        if (!started_ || stopping_) return;
        detachLeaving();
        PulseGraph& graph = connection_->graph();
        std::map<std::uint32_t, PulseCapture> wanted;
        for (PulseCapture& capture : graph.plan()) wanted.emplace(capture.sinkInput, std::move(capture));
        for (auto it = sources_.begin(); it != sources_.end();) {
            if (wanted.count(it->first)) {
                ++it;
                continue;
            }
            // What a sink input that ended had delivered is still heard; one
            // that is no longer to be captured (the companion, named late)
            // leaves the mix at once.
            leave(*it->second, !graph.hasSinkInput(it->first));
            it = sources_.erase(it);
        }
        for (const auto& [index, capture] : wanted) keepSource(capture);
        keepLatency(graph.sinks());
    }

    // A sink renders ahead of its output by the latency its readers ask for.
    // One that wakes for a new player, or takes one that moved, would render
    // that player's first second or two before its monitor stream is made,
    // and the monitor would never see them. So every sink has a reader that
    // asks for the fragment's latency all the time: corked, it is handed
    // nothing and keeps no sink awake.
    void keepLatency(const std::vector<PulseSink>& sinks) {
        std::set<std::uint32_t> present;
        for (const PulseSink& sink : sinks) {
            present.insert(sink.index);
            if (keepers_.count(sink.index) || sink.monitorSource.empty()) continue;
            keepers_[sink.index] = openKeeper(sink.monitorSource);
        }
        for (auto it = keepers_.begin(); it != keepers_.end();) {
            if (present.count(it->first)) {
                ++it;
            } else {
                closeKeeper(it->second);
                it = keepers_.erase(it);
            }
        }
    }

    // Null when the server refuses it: the capture goes on, with more of a
    // new player's start at risk on that sink.
    pa_stream* openKeeper(const std::string& monitorSource) {
        pa_sample_spec sampleFormat{};
        sampleFormat.format = PA_SAMPLE_FLOAT32NE;
        sampleFormat.rate = kMixRate;
        sampleFormat.channels = 1;
        pa_stream* stream = pa_stream_new(connection_->context(), "PimOrloAudioTap latency", &sampleFormat, nullptr);
        if (stream == nullptr) return nullptr;
        const pa_buffer_attr attr = fragmentAttr(sampleFormat);
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                                          PA_STREAM_DONT_MOVE | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
        if (pa_stream_connect_record(stream, monitorSource.c_str(), &attr, flags) < 0) {
            pa_stream_unref(stream);
            return nullptr;
        }
        return stream;
    }

    static void closeKeeper(pa_stream* stream) {
        if (stream == nullptr) return;
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }

    void keepSource(const PulseCapture& capture) {
        auto& source = sources_[capture.sinkInput];
        if (!source) {
            source = std::make_unique<MonitorSource>();
            source->owner = this;
            source->mix = mixer_.makeSource();
            if (!source->mix || !mixer_.attach(*source->mix)) {
                sources_.erase(capture.sinkInput);
                return;
            }
        }
        if (source->failed) return;
        const bool sameStream = source->stream && source->capture.sink == capture.sink &&
                                source->capture.monitorSource == capture.monitorSource &&
                                source->capture.sinkChannels == capture.sinkChannels;
        if (sameStream) {
            if (source->capture.streamChannels != capture.streamChannels) {
                source->capture = capture;
                setWeights(*source);
            }
            return;
        }
        closeStream(*source);
        source->capture = capture;
        openStream(*source);
    }

    // A monitor stream of one sink input, in its sink's layout as the
    // monitor carries it, float at the mix's rate.
    void openStream(MonitorSource& source) {
        const PulseCapture& capture = source.capture;
        pa_sample_spec sampleFormat{};
        sampleFormat.format = PA_SAMPLE_FLOAT32NE;
        sampleFormat.rate = kMixRate;
        sampleFormat.channels = static_cast<std::uint8_t>(std::clamp<std::size_t>(capture.sinkChannels.size(), 1, PA_CHANNELS_MAX));
        pa_context* context = connection_->context();
        pa_stream* stream = pa_stream_new(context, "PimOrloAudioTap", &sampleFormat, nullptr);
        if (stream == nullptr) {
            reportStop("cannot make a monitor stream: " + errorText(context));
            return;
        }
        pa_stream_set_state_callback(stream, &PulseStream::onStreamState, &source);
        pa_stream_set_read_callback(stream, &PulseStream::onRead, &source);
        const pa_buffer_attr attr = fragmentAttr(sampleFormat);
        // The sink's own layout, whatever it is now; the sink is not kept
        // awake by the tap; the stream never follows its source elsewhere.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_FIX_CHANNELS |
                                                          PA_STREAM_DONT_MOVE | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
        if (pa_stream_set_monitor_stream(stream, capture.sinkInput) < 0 ||
            pa_stream_connect_record(stream, capture.monitorSource.c_str(), &attr, flags) < 0) {
            const std::string why = errorText(context);
            dropStream(stream);
            reportStop("cannot record a monitor stream: " + why);
            return;
        }
        source.stream = stream;
    }

    static void dropStream(pa_stream* stream) {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
    }

    // What the stream delivered still reaches the mix, all of it now.
    void closeStream(MonitorSource& source) {
        handOn(source, source.waiting.count());
        source.pacer.reset();
        if (!source.stream) return;
        pa_stream* stream = source.stream;
        source.stream = nullptr;
        if (pa_stream_get_state(stream) == PA_STREAM_READY || pa_stream_get_state(stream) == PA_STREAM_CREATING)
            pa_stream_disconnect(stream);
        dropStream(stream);
    }

    void setWeights(MonitorSource& source) {
        if (!source.stream || pa_stream_get_state(source.stream) != PA_STREAM_READY) return;
        const pa_channel_map* map = pa_stream_get_channel_map(source.stream);
        if (map == nullptr) return;
        handOn(source, source.waiting.count());
        source.waiting.reset(map->channels);
        source.pacer.reset();
        mixer_.setWeights(*source.mix, downmixWeights(channelNames(*map), source.capture.streamChannels));
    }

    static void onStreamState(pa_stream* stream, void* data) {
        auto* source = static_cast<MonitorSource*>(data);
        guarded([&] {
            PulseStream* self = source->owner;
            switch (pa_stream_get_state(stream)) {
                case PA_STREAM_READY: self->setWeights(*source); break;
                case PA_STREAM_FAILED:
                    // The server ends the monitor streams of a sink input that
                    // moves or ends; what it says of that sink input now
                    // tells whether this is one of those.
                    source->failure = errorText(self->connection_->context());
                    source->failed = true;
                    self->closeStream(*source);
                    self->connection_->lookAtSinkInput(source->capture.sinkInput);
                    break;
                default: break;
            }
        });
    }

    static void onRead(pa_stream* stream, std::size_t, void* data) {
        auto* source = static_cast<MonitorSource*>(data);
        guarded([&] {
            while (pa_stream_readable_size(stream) > 0) {
                const void* bytes = nullptr;
                std::size_t length = 0;
                if (pa_stream_peek(stream, &bytes, &length) < 0 || length == 0) return;
                source->owner->push(*source, stream, bytes, length);
                pa_stream_drop(stream);
            }
        });
    }

    // One block of the monitor, interleaved, to wait for the mix; a hole
    // the server reports (no bytes) is silence of its length.
    void push(MonitorSource& source, pa_stream* stream, const void* bytes, std::size_t length) {
        const pa_sample_spec* sampleFormat = pa_stream_get_sample_spec(stream);
        const std::size_t channels = sampleFormat && sampleFormat->channels > 0 ? sampleFormat->channels : 1;
        if (channels != source.waiting.channels()) return;  // not yet ready
        const std::size_t frames = length / (channels * sizeof(float));
        if (frames == 0) return;
        if (!source.waiting.append(static_cast<const float*>(bytes), frames)) {
            ++source.overflows;
            return;
        }
        source.pacer.arrived(monotonicNs(), static_cast<std::uint32_t>(frames));
    }

    // Hands `frames` of what waits to the mix, in pieces.
    void handOn(MonitorSource& source, std::size_t frames) {
        if (!source.mix) return;
        const std::size_t planes = std::min(source.waiting.channels(), kMaxMixPorts);
        if (scratch_.size() < planes * kPushFrames) scratch_.resize(planes * kPushFrames);
        float* plane[kMaxMixPorts] = {};
        for (std::size_t p = 0; p < planes; ++p) plane[p] = scratch_.data() + p * kPushFrames;
        while (frames > 0) {
            const std::size_t n = std::min(frames, kPushFrames);
            source.waiting.take(n, plane, planes);
            mixer_.push(*source.mix, plane, planes, static_cast<std::uint32_t>(n));
            frames -= n;
        }
    }

    // Each tick mixes what the time since the clock started asks for, so the
    // output keeps the machine's clock however late a tick runs.
    static void onTick(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* data) {
        auto* self = static_cast<PulseStream*>(data);
        guarded([&] {
            const pa_usec_t now = pa_rtclock_now();
            if (now > self->nextTickUsec_ + kLateTickUsec && !self->tickPostponed_) {
                // The loop thread ran late, and the loop runs its timers
                // before it reads the server's socket: what the monitors
                // delivered meanwhile is still unread. The tick waits until
                // it is, or the mix would run ahead of it into a hole.
                self->tickPostponed_ = true;
                pa_context_rttime_restart(self->connection_->context(), event, now + kPostponeUsec);
                return;
            }
            self->tickPostponed_ = false;
            self->tick();
            self->nextTickUsec_ = std::max(self->nextTickUsec_ + kTickUsec, now + kTickUsec / 2);
            pa_context_rttime_restart(self->connection_->context(), event, self->nextTickUsec_);
        });
    }

    void tick() {
        const std::int64_t now = monotonicNs();
        const auto elapsed = static_cast<std::uint64_t>(now - clockStartNs_);
        std::uint64_t due = elapsed / 1'000'000'000 * kMixRate + elapsed % 1'000'000'000 * kMixRate / 1'000'000'000;
        if (mix_.empty()) mix_.resize(kMaxMixFrames);
        std::uint64_t owed = 0;
        for (auto& [index, source] : sources_) {
            const std::size_t frames = source->pacer.release(now);
            handOn(*source, std::min(frames, source->waiting.count()));
            owed = std::max<std::uint64_t>(owed, source->pacer.owed());
        }
        // A stream owed frames the tap has not read yet (this tick came
        // late): the mix stops short of them, and the next tick, once they
        // are read, mixes on from there.
        due = due > owed ? due - owed : 0;
        while (mixedFrames_ < due) {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(due - mixedFrames_, kMaxMixFrames));
            mixer_.mix(mix_.data(), n, now);
            delivery_.deliver(mix_.data(), n);
            mixedFrames_ += n;
        }
        detachLeaving();
    }

    void leave(MonitorSource& source, bool drain) {
        closeStream(source);
        const auto now = std::chrono::steady_clock::now();
        leaving_.push_back(Leaving{std::move(source.mix), drain ? now + kDrainTime : now});
        detachLeaving();
    }

    void detachLeaving() {
        if (leaving_.empty()) return;
        const auto now = std::chrono::steady_clock::now();
        const std::size_t before = leaving_.size();
        std::erase_if(leaving_, [&](Leaving& leaving) {
            if (leaving.until > now) return false;
            mixer_.detach(*leaving.mix);
            return true;
        });
        // A source's ring goes back to the system with it.
        if (leaving_.size() != before) malloc_trim(0);
    }

    std::shared_ptr<PulseConnection> connection_;
    std::weak_ptr<StreamDelegate> delegate_;
    ExclusionRules rules_;
    OutputDelivery delivery_;

    // Any thread.
    std::mutex stopMutex_;
    ErrorCompletion stopCompletion_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> stopArmed_{false};
    int stopFd_ = -1;

    // Loop thread (or under the loop lock).
    bool started_ = false;
    bool stopping_ = false;
    bool stopReported_ = false;
    bool tornDown_ = false;
    pa_io_event* stopEvent_ = nullptr;
    pa_time_event* tick_ = nullptr;
    std::int64_t clockStartNs_ = 0;
    pa_usec_t nextTickUsec_ = 0;
    bool tickPostponed_ = false;
    std::uint64_t mixedFrames_ = 0;
    Mixer mixer_;
    std::vector<float> mix_;
    std::vector<float> scratch_;
    std::map<std::uint32_t, std::unique_ptr<MonitorSource>> sources_;  // by sink input
    std::map<std::uint32_t, pa_stream*> keepers_;                        // by sink
    struct Leaving {
        MixerSourceHandle mix;
        std::chrono::steady_clock::time_point until;
    };
    std::vector<Leaving> leaving_;
};

ShareableContent listContent(const std::shared_ptr<PulseConnection>& connection) {
    ShareableContent content;
    for (const PulseSink& sink : connection->graph().sinks()) {
        content.displays.push_back(
            Display{sink.index, std::make_shared<DisplayNative>(DisplayNative{connection, sink.index})});
    }
    for (auto& record : connection->graph().applications()) {
        RunningApplication application = record.application;
        application.native = std::make_shared<ApplicationNative>(ApplicationNative{record.sandboxed, record.clients});
        content.applications.push_back(std::move(application));
    }
    return content;
}

class PulseCaptureSystemImpl final : public PulseCaptureSystem {
public:
    void getShareableContent(bool, bool, ShareableContentCompletion completion) override {
        getServerContent([completion](std::optional<ShareableContent> content, std::optional<Error> error, bool) {
            completion(std::move(content), std::move(error));
        });
    }

    void getServerContent(ServerContentCompletion completion) override {
        auto connection = std::make_shared<PulseConnection>();
        std::weak_ptr<PulseConnection> weak = connection;
        {
            std::lock_guard lock(mutex_);
            connections_.push_back(connection);
        }
        LoopLock lock(connection->loop());
        connection->open([weak, completion](std::string error) {
            auto strong = weak.lock();
            if (!error.empty() || !strong) {
                completion(std::nullopt,
                           Error{-3805, error.empty() ? "the PulseAudio connection went away" : error}, false);
                return;
            }
            completion(listContent(strong), std::nullopt, strong->onPipeWire());
        });
    }

    std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                       std::weak_ptr<StreamDelegate> delegate) override {
        auto native = std::static_pointer_cast<const DisplayNative>(filter.display.native);
        return std::make_shared<PulseStream>(native ? native->connection : nullptr, filter, configuration,
                                             std::move(delegate));
    }

    ~PulseCaptureSystemImpl() override {
        // Connections close before the process's last objects go.
        std::lock_guard lock(mutex_);
        connections_.clear();
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<PulseConnection>> connections_;
};

}  // namespace

std::unique_ptr<PulseCaptureSystem> makePulseCaptureSystem() {
    // libpulse writes its own errors to standard error unless told
    // otherwise, and only its environment can tell it (it reads it once, at
    // its first message): to the system log instead, where a user who sets
    // PULSE_LOG finds them too.
    static std::once_flag routed;
    std::call_once(routed, [] { ::setenv("PULSE_LOG_SYSLOG", "1", 1); });
    return std::make_unique<PulseCaptureSystemImpl>();
}

}  // namespace pimorlo::platform::linux_backend
