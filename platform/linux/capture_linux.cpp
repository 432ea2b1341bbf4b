// Capture on PipeWire.
//
// A display is an `Audio/Sink` node; an application is a client process. The
// capture makes one input node per playback stream it captures and links that
// stream's output ports into it (links made by this client, not lingering, so
// they vanish with the program; the user's routing is never touched). A frozen
// application then stalls only its own node. One more node, unlinked and
// always processing, gives the clock: on each of its cycles the real-time
// thread mixes whatever every stream node delivered, so silence arrives when
// nothing plays. The mix is handed through a fixed ring to the PipeWire loop
// thread, resampled there and posted to the output's queue; a bounded backlog
// keeps a stalled reader from growing memory.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture.h"
#include "platform/linux/audio_linux.h"
#include "platform/linux/capture_mixer.h"

namespace pimorlo::platform {
namespace {

using linux_backend::FormatFields;
using linux_backend::LinuxFormatDescription;
using linux_backend::MonoResampler;
using Props = std::map<std::string, std::string>;

// The nodes of the capture run at the usual graph rate; PipeWire adapts them
// when the graph runs at another.
constexpr std::uint32_t kGraphRate = 48000;
// Frames one stream node may hold ahead of the mix (0.68 s at 48 kHz).
constexpr std::size_t kSourceRingFrames = 1u << 15;
// Mixed frames waiting for the loop thread (5.5 s at 48 kHz).
constexpr std::size_t kMixRingFrames = 1u << 18;
// Largest graph cycle the mix handles; longer cycles are cut to it.
constexpr std::uint32_t kMaxCycleFrames = 8192;
constexpr std::size_t kMaxSources = 256;
// Audio posted to the output's queue and not yet handled, in seconds of output.
constexpr double kMaxBacklogSeconds = 4.0;

const char* kStreamOutputClass = "Stream/Output/Audio";

std::once_flag pipewireInit;

Props propsOf(const spa_dict* dict) {
    Props props;
    if (dict == nullptr) return props;
    const spa_dict_item* item;
    spa_dict_for_each(item, dict) props[item->key] = item->value ? item->value : "";
    return props;
}

std::string lookup(const Props& props, const char* key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

// A process, client, node or port id as PipeWire writes it; 0 when absent.
pid_t parsePositive(const std::string& value) {
    if (value.empty()) return 0;
    char* end = nullptr;
    long v = std::strtol(value.c_str(), &end, 10);
    return (end && *end == '\0' && v > 0 && v < (1L << 30)) ? static_cast<pid_t>(v) : 0;
}

// Single producer, single consumer; capacity a power of two.
class FloatRing {
public:
    explicit FloatRing(std::size_t capacity) : data_(capacity, 0.0f), mask_(capacity - 1) {}

    std::size_t readable() const { return write_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed); }

    // Producer: writes what fits, scaled; returns the frames written.
    std::size_t write(const float* src, std::size_t n, float gain) {
        const std::size_t w = write_.load(std::memory_order_relaxed);
        const std::size_t free = data_.size() - (w - read_.load(std::memory_order_acquire));
        n = std::min(n, free);
        for (std::size_t i = 0; i < n; ++i) data_[(w + i) & mask_] = src ? src[i] * gain : 0.0f;
        write_.store(w + n, std::memory_order_release);
        return n;
    }

    // Consumer: adds (or copies) up to n frames into dst.
    std::size_t read(float* dst, std::size_t n, bool add) {
        const std::size_t r = read_.load(std::memory_order_relaxed);
        n = std::min(n, write_.load(std::memory_order_acquire) - r);
        for (std::size_t i = 0; i < n; ++i) dst[i] = (add ? dst[i] : 0.0f) + data_[(r + i) & mask_];
        read_.store(r + n, std::memory_order_release);
        return n;
    }

    void skip(std::size_t n) {
        const std::size_t r = read_.load(std::memory_order_relaxed);
        n = std::min(n, write_.load(std::memory_order_acquire) - r);
        read_.store(r + n, std::memory_order_release);
    }

private:
    std::vector<float> data_;
    std::size_t mask_;
    std::atomic<std::size_t> write_{0};
    std::atomic<std::size_t> read_{0};
};

// Captured audio: mono float samples, copied out into as many channels as the
// configuration asked for.
class CapturedSampleBuffer final : public SampleBuffer {
public:
    CapturedSampleBuffer(std::vector<float> samples, double rate, std::uint32_t channels)
        : samples_(std::move(samples)),
          channels_(channels),
          description_(FormatFields{CommonFormat::pcmFormatFloat32, rate, channels, true}) {}

    bool isValid() const override { return true; }
    bool dataIsReady() const override { return true; }
    std::int64_t numSamples() const override { return static_cast<std::int64_t>(samples_.size()); }
    const AudioFormatDescription* formatDescription() const override { return &description_; }

    std::int32_t copyPCMDataIntoAudioBufferList(std::int32_t frameOffset, std::int32_t frameCount,
                                                AudioBufferList& list) const override {
        constexpr std::int32_t kInvalidRange = -12731;
        constexpr std::int32_t kListTooSmall = -12737;
        if (frameOffset < 0 || frameCount < 0 ||
            static_cast<std::size_t>(frameOffset) + static_cast<std::size_t>(frameCount) > samples_.size()) {
            return kInvalidRange;
        }
        const float* src = samples_.data() + frameOffset;
        const std::size_t frames = static_cast<std::size_t>(frameCount);
        if (list.numberBuffers == 1 && list.buffers[0].numberChannels == channels_) {
            AudioBuffer& b = list.buffers[0];
            if (b.data == nullptr || b.dataByteSize < frames * channels_ * sizeof(float)) return kListTooSmall;
            auto* dst = static_cast<float*>(b.data);
            for (std::size_t f = 0; f < frames; ++f)
                for (std::uint32_t c = 0; c < channels_; ++c) dst[f * channels_ + c] = src[f];
            b.dataByteSize = static_cast<std::uint32_t>(frames * channels_ * sizeof(float));
            return 0;
        }
        if (list.numberBuffers != channels_) return kListTooSmall;
        for (std::uint32_t c = 0; c < channels_; ++c) {
            AudioBuffer& b = list.buffers[c];
            if (b.data == nullptr || b.numberChannels != 1 || b.dataByteSize < frames * sizeof(float)) return kListTooSmall;
            std::memcpy(b.data, src, frames * sizeof(float));
            b.dataByteSize = static_cast<std::uint32_t>(frames * sizeof(float));
        }
        return 0;
    }

private:
    std::vector<float> samples_;
    std::uint32_t channels_;
    LinuxFormatDescription description_;
};

class GraphObserver {
public:
    virtual void graphChanged() = 0;
    virtual void connectionLost(const std::string& why) = 0;

protected:
    ~GraphObserver() = default;
};

// One connection to the PipeWire daemon, with its own loop thread, and what
// the registry says about clients, nodes and ports. Everything but the
// constructor and destructor runs on the loop thread or under its lock.
class Connection {
public:
    struct Object {
        Connection* owner = nullptr;
        std::uint32_t id = 0;
        std::string type;
        Props props;  // the global's properties, then the bound object's
        bool infoReceived = false;
        pw_proxy* proxy = nullptr;
        spa_hook proxyHook{};
        spa_hook objectHook{};
    };

    Connection() {
        std::call_once(pipewireInit, [] { pw_init(nullptr, nullptr); });
        loop_ = pw_thread_loop_new("pimorlo-capture", nullptr);
        if (loop_ == nullptr) return;
        context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    }

    ~Connection() {
        if (loop_ == nullptr) return;
        pw_thread_loop_stop(loop_);
        disconnect();
        if (context_) pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }

    pw_thread_loop* threadLoop() const { return loop_; }
    pw_loop* loop() const { return pw_thread_loop_get_loop(loop_); }
    pw_context* context() const { return context_; }
    pw_core* core() const { return core_; }
    bool connected() const { return core_ != nullptr && !lost_; }
    const std::map<std::uint32_t, std::unique_ptr<Object>>& objects() const { return objects_; }
    void setObserver(GraphObserver* observer) { observer_ = observer; }

    // Connects and lists the registry; `ready` runs on the loop thread once
    // the registry and the properties of every client and node are known, or
    // with an error text when that cannot be.
    void open(std::function<void(std::string)> ready) {
        if (loop_ == nullptr || context_ == nullptr || pw_thread_loop_start(loop_) < 0) {
            // Without a loop thread there is no PipeWire thread to answer on.
            ready("cannot connect to PipeWire: " + std::string(std::strerror(errno ? errno : ENOMEM)));
            return;
        }
        pw_thread_loop_lock(loop_);
        ready_ = std::move(ready);
        core_ = pw_context_connect(context_, nullptr, 0);
        if (core_ == nullptr) {
            const std::string why = "cannot connect to PipeWire: " + std::string(std::strerror(errno));
            runOnLoop([this, why] { finishOpen(why); });
        } else {
            pw_core_add_listener(core_, &coreHook_, &kCoreEvents, this);
            registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
            pw_registry_add_listener(registry_, &registryHook_, &kRegistryEvents, this);
            syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
        }
        pw_thread_loop_unlock(loop_);
    }

    // Runs `task` on the loop thread, later (or now, when already on it).
    void runOnLoop(std::function<void()> task) {
        auto* heap = new std::function<void()>(std::move(task));
        int rc = pw_loop_invoke(loop(), &Connection::invokeTask, SPA_ID_INVALID, &heap, sizeof(heap), false, nullptr);
        if (rc < 0) {
            // The loop refused the task (its queue is full): run it here
            // rather than lose a completion.
            (*heap)();
            delete heap;
        }
    }

    void disconnect() {
        for (auto& [id, object] : objects_) {
            if (object->proxy) pw_proxy_destroy(object->proxy);
        }
        objects_.clear();
        if (registry_) {
            spa_hook_remove(&registryHook_);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
            registry_ = nullptr;
        }
        if (core_) {
            spa_hook_remove(&coreHook_);
            pw_core_disconnect(core_);
            core_ = nullptr;
        }
    }

private:
    static int invokeTask(spa_loop*, bool, std::uint32_t, const void* data, std::size_t, void*) {
        std::function<void()>* task;
        std::memcpy(&task, data, sizeof(task));
        (*task)();
        delete task;
        return 0;
    }

    void finishOpen(const std::string& error) {
        if (!ready_) return;
        auto ready = std::move(ready_);
        ready_ = nullptr;
        ready(error);
    }

    void changed() {
        if (observer_) observer_->graphChanged();
    }

    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props) {
        auto* self = static_cast<Connection*>(data);
        auto object = std::make_unique<Object>();
        object->owner = self;
        object->id = id;
        object->type = type;
        object->props = propsOf(props);
        const bool isClient = std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0;
        const bool isNode = std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0;
        if (!isClient && !isNode && std::strcmp(type, PW_TYPE_INTERFACE_Port) != 0) return;
        // The process ids and application names live on the bound objects only.
        if (isClient) {
            object->proxy = static_cast<pw_proxy*>(pw_registry_bind(self->registry_, id, type, PW_VERSION_CLIENT, 0));
            if (object->proxy)
                pw_proxy_add_object_listener(object->proxy, &object->objectHook, &kClientEvents, object.get());
        } else if (isNode) {
            object->proxy = static_cast<pw_proxy*>(pw_registry_bind(self->registry_, id, type, PW_VERSION_NODE, 0));
            if (object->proxy)
                pw_proxy_add_object_listener(object->proxy, &object->objectHook, &kNodeEvents, object.get());
        } else {
            object->infoReceived = true;
        }
        self->objects_[id] = std::move(object);
        self->changed();
    }

    static void onGlobalRemove(void* data, std::uint32_t id) {
        auto* self = static_cast<Connection*>(data);
        auto it = self->objects_.find(id);
        if (it == self->objects_.end()) return;
        if (it->second->proxy) pw_proxy_destroy(it->second->proxy);
        self->objects_.erase(it);
        self->changed();
    }

    static void mergeInfo(Object* object, const spa_dict* props) {
        for (auto& [k, v] : propsOf(props)) object->props[k] = v;
        object->infoReceived = true;
        object->owner->changed();
    }

    static void onClientInfo(void* data, const pw_client_info* info) {
        mergeInfo(static_cast<Object*>(data), info->props);
    }

    static void onNodeInfo(void* data, const pw_node_info* info) {
        auto* object = static_cast<Object*>(data);
        if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) || !object->infoReceived) mergeInfo(object, info->props);
    }

    static void onDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<Connection*>(data);
        if (id != PW_ID_CORE || seq != self->syncSeq_ || !self->ready_) return;
        if (!self->secondSync_) {
            // The binds made while listing have been answered by the next sync.
            self->secondSync_ = true;
            self->syncSeq_ = pw_core_sync(self->core_, PW_ID_CORE, 0);
            return;
        }
        self->finishOpen("");
    }

    static void onError(void* data, std::uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<Connection*>(data);
        if (id != PW_ID_CORE) return;  // a failed link or bind concerns that object only
        std::string why = std::string(spa_strerror(res));
        if (message && *message) why += std::string(" (") + message + ")";
        if (self->ready_) {
            self->finishOpen("cannot connect to PipeWire: " + why);
            return;
        }
        if (res == -EPIPE) {
            self->lost_ = true;
            if (self->observer_) self->observer_->connectionLost("lost the connection to PipeWire: " + why);
        }
    }

    static constexpr pw_core_events kCoreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = &Connection::onDone;
        e.error = &Connection::onError;
        return e;
    }();
    static constexpr pw_registry_events kRegistryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &Connection::onGlobal;
        e.global_remove = &Connection::onGlobalRemove;
        return e;
    }();
    static constexpr pw_client_events kClientEvents = [] {
        pw_client_events e{};
        e.version = PW_VERSION_CLIENT_EVENTS;
        e.info = &Connection::onClientInfo;
        return e;
    }();
    static constexpr pw_node_events kNodeEvents = [] {
        pw_node_events e{};
        e.version = PW_VERSION_NODE_EVENTS;
        e.info = &Connection::onNodeInfo;
        return e;
    }();

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook coreHook_{};
    spa_hook registryHook_{};
    int syncSeq_ = -1;
    bool secondSync_ = false;
    bool lost_ = false;
    std::function<void(std::string)> ready_;
    std::map<std::uint32_t, std::unique_ptr<Object>> objects_;
    GraphObserver* observer_ = nullptr;
};

struct DisplayNative {
    std::shared_ptr<Connection> connection;
    std::uint32_t nodeID = 0;
};

// A node's properties completed with those of its client.
Props mergedProps(const Connection& connection, const Connection::Object& node) {
    Props props = node.props;
    const pid_t clientID = parsePositive(lookup(node.props, PW_KEY_CLIENT_ID));
    auto it = connection.objects().find(static_cast<std::uint32_t>(clientID));
    if (clientID > 0 && it != connection.objects().end()) {
        for (auto& [k, v] : it->second->props) props.emplace(k, v);
    }
    return props;
}

ShareableContent listContent(const std::shared_ptr<Connection>& connection) {
    ShareableContent content;
    struct App {
        std::optional<std::string> bundle, name;
    };
    std::vector<pid_t> order;
    std::map<pid_t, App> apps;
    auto fill = [](std::optional<std::string>& slot, const std::string& value) {
        if (!slot && !value.empty()) slot = value;
    };
    auto bundleOf = [](const Props& p) {
        std::string id = lookup(p, PW_KEY_APP_ID);
        return id.empty() ? lookup(p, "pipewire.access.portal.app_id") : id;
    };
    for (auto& [id, object] : connection->objects()) {
        if (object->type == PW_TYPE_INTERFACE_Node && lookup(object->props, PW_KEY_MEDIA_CLASS) == "Audio/Sink") {
            auto native = std::make_shared<DisplayNative>(DisplayNative{connection, id});
            content.displays.push_back(Display{id, std::move(native)});
        }
        if (object->type == PW_TYPE_INTERFACE_Client) {
            const pid_t pid = parsePositive(lookup(object->props, PW_KEY_APP_PROCESS_ID));
            if (pid == 0) continue;
            if (!apps.count(pid)) order.push_back(pid);
            App& app = apps[pid];
            fill(app.bundle, bundleOf(object->props));
            fill(app.name, lookup(object->props, PW_KEY_APP_NAME));
        }
    }
    // Complete each client's record from its process's playback streams.
    for (auto& [id, object] : connection->objects()) {
        if (object->type != PW_TYPE_INTERFACE_Node || lookup(object->props, PW_KEY_MEDIA_CLASS) != kStreamOutputClass)
            continue;
        const Props props = mergedProps(*connection, *object);
        auto it = apps.find(parsePositive(lookup(props, PW_KEY_APP_PROCESS_ID)));
        if (it == apps.end()) continue;
        fill(it->second.bundle, bundleOf(object->props));
        fill(it->second.name, lookup(object->props, PW_KEY_APP_NAME));
    }
    for (pid_t pid : order) {
        content.applications.push_back(RunningApplication{pid, apps[pid].bundle, apps[pid].name, nullptr});
    }
    return content;
}

std::vector<std::uint8_t> monoFormat(const spa_pod** param) {
    std::vector<std::uint8_t> storage(1024);
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kGraphRate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    *param = spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
    return storage;
}

class PipeWireStream;

// One captured playback stream: its input node, its links, and its place in
// the mix.
struct Source {
    PipeWireStream* owner = nullptr;
    std::uint32_t playbackNode = 0;
    pw_stream* stream = nullptr;
    spa_hook hook{};
    linux_backend::MixerSourceHandle mix;
    std::set<std::uint32_t> linkedPorts;
    std::vector<pw_proxy*> links;
};

class PipeWireStream final : public Stream, private GraphObserver {
public:
    PipeWireStream(std::shared_ptr<Connection> connection, const ContentFilter& filter,
                   const StreamConfiguration& configuration, std::weak_ptr<StreamDelegate> delegate)
        : connection_(std::move(connection)), delegate_(std::move(delegate)) {
        for (const auto& app : filter.excludingApplications) excluded_.insert(app.processID);
        if (configuration.excludesCurrentProcessAudio.value_or(false)) excluded_.insert(::getpid());
        outputRate_ = static_cast<double>(configuration.sampleRate.value_or(48000));
        outputChannels_ = static_cast<std::uint32_t>(configuration.channelCount.value_or(2));
        mix_.resize(kMaxCycleFrames);
    }

    ~PipeWireStream() override {
        if (!connection_) return;
        pw_thread_loop_lock(connection_->threadLoop());
        teardown();
        pw_thread_loop_unlock(connection_->threadLoop());
    }

    bool addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                         std::shared_ptr<Queue> sampleHandlerQueue, std::optional<Error>& error) override {
        if (type == StreamOutputType::screen) return true;  // no video on Linux; nothing will arrive
        if (type != StreamOutputType::audio) {
            error = Error{-3802, "this capture offers system audio only, not the microphone"};
            return false;
        }
        if (!sampleHandlerQueue) {
            error = Error{-3802, "an audio output needs a queue"};
            return false;
        }
        std::lock_guard lock(outputMutex_);
        output_ = std::move(output);
        queue_ = std::move(sampleHandlerQueue);
        return true;
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
        } else if (!(outputRate_ >= 1000 && outputRate_ <= 384000) || outputChannels_ < 1 || outputChannels_ > 64) {
            failure = Error{-3805, "unsupported audio configuration"};
        } else {
            std::string reason;
            auto resampler = MonoResampler::make(kGraphRate, outputRate_, reason);
            if (!resampler) {
                failure = Error{-3805, "cannot resample the capture: " + reason};
            } else {
                resampler_.emplace(std::move(*resampler));
                startCompletion_ = std::move(completion);
                if (auto why = connectMaster()) {
                    completion = std::move(startCompletion_);
                    startCompletion_ = nullptr;
                    failure = Error{-3805, *why};
                    teardown();
                } else {
                    started_ = true;
                    connection_->setObserver(this);
                    graphChanged();
                }
            }
        }
        pw_thread_loop_unlock(connection_->threadLoop());
        if (failure) {
            auto done = std::move(completion);
            connection_->runOnLoop([done, failure] { done(failure); });
        }
    }

    void stopCapture(ErrorCompletion completion) override {
        if (!connection_) {
            completion(std::nullopt);
            return;
        }
        pw_thread_loop_lock(connection_->threadLoop());
        stopping_ = true;
        teardown();
        connection_->disconnect();
        pw_thread_loop_unlock(connection_->threadLoop());
        connection_->runOnLoop([completion] { completion(std::nullopt); });
    }

private:
    // ---- loop thread ---------------------------------------------------
    std::optional<std::string> connectMaster() {
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_NODE_NAME, "PimOrloAudioTap", PW_KEY_NODE_AUTOCONNECT, "false",
                                                 PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr);
        master_ = pw_stream_new(connection_->core(), "PimOrloAudioTap", props);
        if (master_ == nullptr) return "cannot create the capture node: " + std::string(std::strerror(errno));
        pw_stream_add_listener(master_, &masterHook_, &kMasterEvents, this);
        deliverEvent_ = pw_loop_add_event(connection_->loop(), &PipeWireStream::onDeliver, this);
        const spa_pod* param = nullptr;
        auto storage = monoFormat(&param);
        int rc = pw_stream_connect(master_, PW_DIRECTION_INPUT, PW_ID_ANY,
                                   static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
                                   &param, 1);
        if (rc < 0 || deliverEvent_ == nullptr) return "cannot connect the capture node: " + std::string(spa_strerror(rc));
        return std::nullopt;
    }

    void teardown() {
        connection_->setObserver(nullptr);
        for (auto& [id, source] : sources_) destroySource(*source);
        sources_.clear();
        if (master_) {
            spa_hook_remove(&masterHook_);
            pw_stream_destroy(master_);
            master_ = nullptr;
        }
        if (deliverEvent_) {
            pw_loop_destroy_source(connection_->loop(), deliverEvent_);
            deliverEvent_ = nullptr;
        }
    }

    void finishStart(std::optional<Error> error) {
        if (!startCompletion_) return;
        auto done = std::move(startCompletion_);
        startCompletion_ = nullptr;
        done(std::move(error));
    }

    void reportStop(const std::string& why) {
        if (stopping_ || stopReported_) return;
        if (startCompletion_) {
            finishStart(Error{-3805, why});
            return;
        }
        stopReported_ = true;
        if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(Error{-3805, why});
    }

    void connectionLost(const std::string& why) override { reportStop(why); }

    static void onMasterState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        auto* self = static_cast<PipeWireStream*>(data);
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
    }

    bool isExcluded(const Props& props) const {
        const pid_t pid = parsePositive(lookup(props, PW_KEY_APP_PROCESS_ID));
        return pid != 0 && excluded_.count(pid) != 0;
    }

    // Brings the set of stream nodes and their links in line with the graph.
    void graphChanged() override {
        if (!started_ || stopping_) return;
        const auto& objects = connection_->objects();
        for (auto it = sources_.begin(); it != sources_.end();) {
            if (objects.count(it->first) == 0) {
                destroySource(*it->second);
                it = sources_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& [id, object] : objects) {
            if (object->type != PW_TYPE_INTERFACE_Node || !object->infoReceived) continue;
            if (lookup(object->props, PW_KEY_MEDIA_CLASS) != kStreamOutputClass) continue;
            if (sources_.count(id) || skipped_.count(id)) continue;
            const pid_t clientID = parsePositive(lookup(object->props, PW_KEY_CLIENT_ID));
            auto client = objects.find(static_cast<std::uint32_t>(clientID));
            if (clientID > 0 && client != objects.end() && !client->second->infoReceived) continue;
            if (isExcluded(mergedProps(*connection_, *object)) || sources_.size() >= kMaxSources) {
                skipped_.insert(id);
                continue;
            }
            if (auto source = makeSource(id)) sources_[id] = std::move(source);
            else skipped_.insert(id);
        }
        for (auto& [id, source] : sources_) link(*source);
    }

    std::unique_ptr<Source> makeSource(std::uint32_t playbackNode) {
        auto source = std::make_unique<Source>();
        source->owner = this;
        source->playbackNode = playbackNode;
        source->mix = mixer_.makeSource();
        if (!source->mix) return nullptr;
        const std::string name = "PimOrloAudioTap." + std::to_string(playbackNode);
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_AUTOCONNECT, "false",
                                                 PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
        source->stream = pw_stream_new(connection_->core(), name.c_str(), props);
        if (source->stream == nullptr) return nullptr;
        pw_stream_add_listener(source->stream, &source->hook, &kSourceEvents, source.get());
        const spa_pod* param = nullptr;
        auto storage = monoFormat(&param);
        if (pw_stream_connect(source->stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
                              &param, 1) < 0) {
            spa_hook_remove(&source->hook);
            pw_stream_destroy(source->stream);
            return nullptr;
        }
        Source* raw = source.get();
        invokeRealtime([this, raw] { mixer_.attach(*raw->mix); });
        return source;
    }

    void destroySource(Source& source) {
        Source* raw = &source;
        invokeRealtime([this, raw] { mixer_.detach(*raw->mix); });
        for (pw_proxy* link : source.links) pw_proxy_destroy(link);
        source.links.clear();
        if (source.stream) {
            spa_hook_remove(&source.hook);
            pw_stream_destroy(source.stream);
            source.stream = nullptr;
        }
    }

    // Links every output port of the playback node into the stream node's
    // one input port; PipeWire sums them there, and the gain averages them.
    void link(Source& source) {
        const std::uint32_t captureNode = pw_stream_get_node_id(source.stream);
        if (captureNode == SPA_ID_INVALID) return;
        std::optional<std::uint32_t> inputPort;
        std::vector<std::uint32_t> outputs;
        for (auto& [id, object] : connection_->objects()) {
            if (object->type != PW_TYPE_INTERFACE_Port) continue;
            const auto node = static_cast<std::uint32_t>(parsePositive(lookup(object->props, PW_KEY_NODE_ID)));
            const std::string direction = lookup(object->props, PW_KEY_PORT_DIRECTION);
            if (node == captureNode && direction == "in") inputPort = id;
            if (node == source.playbackNode && direction == "out" && lookup(object->props, PW_KEY_PORT_MONITOR) != "true")
                outputs.push_back(id);
        }
        if (!inputPort) return;
        for (std::uint32_t port : outputs) {
            if (source.linkedPorts.count(port)) continue;
            pw_properties* props = pw_properties_new(nullptr, nullptr);
            pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", source.playbackNode);
            pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", port);
            pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", captureNode);
            pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", *inputPort);
            pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
            auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(connection_->core(), "link-factory",
                                                                       PW_TYPE_INTERFACE_Link, PW_VERSION_LINK,
                                                                       &props->dict, 0));
            pw_properties_free(props);
            if (proxy == nullptr) continue;
            source.links.push_back(proxy);
            source.linkedPorts.insert(port);
        }
        if (!source.linkedPorts.empty())
            mixer_.setWeights(*source.mix, {1.0f / static_cast<float>(source.linkedPorts.size())});
    }

    void invokeRealtime(std::function<void()> change) {
        pw_loop* dataLoop = pw_data_loop_get_loop(pw_context_get_data_loop(connection_->context()));
        auto* task = &change;
        pw_loop_invoke(dataLoop, &PipeWireStream::runInvoked, SPA_ID_INVALID, &task, sizeof(task), true, nullptr);
    }

    static int runInvoked(spa_loop*, bool, std::uint32_t, const void* data, std::size_t, void*) {
        std::function<void()>* task;
        std::memcpy(&task, data, sizeof(task));
        (*task)();
        return 0;
    }

    // Hands the mixed frames to the output's queue, resampled, unless the
    // reader is already the whole backlog behind.
    static void onDeliver(void* data, std::uint64_t) {
        auto* self = static_cast<PipeWireStream*>(data);
        float block[4096];
        std::vector<float> out;
        std::string reason;
        while (std::size_t n = self->mixRing_.read(block, 4096, false)) {
            if (!self->resampler_->process(block, n, out, reason)) return;
        }
        if (out.empty()) return;
        std::weak_ptr<StreamOutput> output;
        std::shared_ptr<Queue> queue;
        {
            std::lock_guard lock(self->outputMutex_);
            output = self->output_;
            queue = self->queue_;
        }
        if (!queue) return;
        const auto frames = static_cast<long>(out.size());
        auto backlog = self->backlog_;
        if (backlog->load() + frames > static_cast<long>(kMaxBacklogSeconds * self->outputRate_)) return;
        backlog->fetch_add(frames);
        auto buffer = std::make_shared<CapturedSampleBuffer>(std::move(out), self->outputRate_, self->outputChannels_);
        queue->async([output, buffer, backlog, frames] {
            if (auto o = output.lock()) o->streamDidOutputSampleBuffer(*buffer, StreamOutputType::audio);
            backlog->fetch_sub(frames);
        });
    }

    // ---- real-time thread ----------------------------------------------
    static void onMasterProcess(void* data) {
        auto* self = static_cast<PipeWireStream*>(data);
        pw_buffer* b = pw_stream_dequeue_buffer(self->master_);
        if (b == nullptr) return;
        std::uint32_t n = b->buffer->n_datas > 0 && b->buffer->datas[0].chunk ? b->buffer->datas[0].chunk->size / 4 : 0;
        pw_stream_queue_buffer(self->master_, b);
        n = std::min(n, kMaxCycleFrames);
        if (n == 0) return;
        float* mix = self->mix_.data();
        self->mixer_.mix(mix, n, cycleTime(self->master_));
        self->mixRing_.write(mix, n, 1.0f);
        pw_loop_signal_event(self->connection_->loop(), self->deliverEvent_);
    }

    // When the node's current cycle began on its driver.
    static std::int64_t cycleTime(pw_stream* stream) {
        pw_time time{};
        if (pw_stream_get_time_n(stream, &time, sizeof(time)) < 0 || time.now <= 0) return linux_backend::kReadClock;
        return time.now;
    }

    static void onSourceProcess(void* data) {
        auto* source = static_cast<Source*>(data);
        pw_buffer* b = pw_stream_dequeue_buffer(source->stream);
        if (b == nullptr) return;
        spa_data& d = b->buffer->datas[0];
        if (d.data != nullptr && d.chunk != nullptr) {
            const std::uint32_t offset = std::min(d.chunk->offset, d.maxsize);
            const std::uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
            const std::uint32_t frames = size / 4;
            const float* plane = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(d.data) + offset);
            source->owner->mixer_.push(*source->mix, &plane, 1, frames, cycleTime(source->stream));
        }
        pw_stream_queue_buffer(source->stream, b);
    }

    static constexpr pw_stream_events kMasterEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &PipeWireStream::onMasterState;
        e.process = &PipeWireStream::onMasterProcess;
        return e;
    }();
    static constexpr pw_stream_events kSourceEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = &PipeWireStream::onSourceProcess;
        return e;
    }();

    std::shared_ptr<Connection> connection_;
    std::weak_ptr<StreamDelegate> delegate_;
    std::set<pid_t> excluded_;
    double outputRate_ = 48000;
    std::uint32_t outputChannels_ = 2;

    std::mutex outputMutex_;
    std::weak_ptr<StreamOutput> output_;
    std::shared_ptr<Queue> queue_;

    // Loop thread (or under the loop lock).
    bool started_ = false;
    bool stopping_ = false;
    bool stopReported_ = false;
    ErrorCompletion startCompletion_;
    pw_stream* master_ = nullptr;
    spa_hook masterHook_{};
    spa_source* deliverEvent_ = nullptr;
    std::optional<MonoResampler> resampler_;
    std::map<std::uint32_t, std::unique_ptr<Source>> sources_;
    std::set<std::uint32_t> skipped_;
    std::shared_ptr<std::atomic<long>> backlog_ = std::make_shared<std::atomic<long>>(0);

    // Made here; its real-time calls run on the data loop (attach and detach
    // through invokeRealtime).
    linux_backend::Mixer mixer_{[] {
        linux_backend::MixerConfig config;
        config.graphRate = kGraphRate;
        config.maxSources = kMaxSources;
        config.ringFrames = kSourceRingFrames;
        config.maxCycleFrames = kMaxCycleFrames;
        return config;
    }()};
    // Real-time thread.
    std::vector<float> mix_;
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

std::unique_ptr<CaptureSystem> makeDefaultCaptureSystem(Process&) { return std::make_unique<PipeWireCaptureSystem>(); }

}  // namespace pimorlo::platform
