#include "platform/linux/pipewire/connection.h"

#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>
#include <spa/utils/json.h>
#include <spa/utils/result.h>
#include <pipewire/extensions/metadata.h>

#include "platform/linux/pipewire/client.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

namespace pimorlo::platform::linux_backend {
namespace {

Props propsOf(const spa_dict* dict) {
    Props props;
    if (dict == nullptr) return props;
    const spa_dict_item* item;
    spa_dict_for_each(item, dict) props[item->key] = item->value ? item->value : "";
    return props;
}

// The sink a `default.audio.sink` value names: { "name": "<node.name>" }.
std::string namedSink(const char* value) {
    if (value == nullptr) return {};
    spa_json outer, object;
    spa_json_init(&outer, value, std::strlen(value));
    if (spa_json_enter_object(&outer, &object) <= 0) return {};
    char key[64];
    char name[1024];
    while (spa_json_get_string(&object, key, sizeof key) > 0) {
        if (std::strcmp(key, "name") == 0) return spa_json_get_string(&object, name, sizeof name) > 0 ? name : "";
        const char* skipped = nullptr;
        if (spa_json_next(&object, &skipped) <= 0) break;
    }
    return {};
}

}  // namespace

// A client or node bound for the properties that only the bound object tells
// (process ids, application names).
struct Connection::Bound {
    Connection* owner = nullptr;
    std::uint32_t id = 0;
    pw_proxy* proxy = nullptr;
    spa_hook objectHook{};
};

Connection::Connection() {
    initPipeWire();
    loop_ = pw_thread_loop_new("pimorlo-capture", nullptr);
    if (loop_ == nullptr) return;
    // The configuration PipeWire's own clients use for real-time work: its
    // rt module gives the data thread, which runs every capture node's and the
    // clock's process callback, the realtime priority the daemon's graph runs
    // at. At an ordinary priority that thread waits behind whatever else the
    // machine runs, misses cycles, and each cycle missed is audio lost.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, realtimeClientConfig(), nullptr), 0);
    if (context_ == nullptr) context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
}

Connection::~Connection() {
    if (loop_ == nullptr) return;
    pw_thread_loop_stop(loop_);
    disconnect();
    if (context_) pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

void Connection::open(std::function<void(std::string)> ready) {
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
        static constexpr pw_core_events coreEvents = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.done = &Connection::onDone;
            e.error = &Connection::onError;
            return e;
        }();
        static constexpr pw_registry_events registryEvents = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = &Connection::onGlobal;
            e.global_remove = &Connection::onGlobalRemove;
            return e;
        }();
        pw_core_add_listener(core_, &coreHook_, &coreEvents, this);
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        if (registry_ == nullptr) {
            const std::string why = "cannot list PipeWire's objects: " + std::string(std::strerror(errno));
            runOnLoop([this, why] { finishOpen(why); });
        } else {
            pw_registry_add_listener(registry_, &registryHook_, &registryEvents, this);
            syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
        }
    }
    pw_thread_loop_unlock(loop_);
}

void Connection::runOnLoop(std::function<void()> task) {
    auto* heap = new std::function<void()>(std::move(task));
    if (pw_loop_invoke(loop(), &Connection::invokeTask, SPA_ID_INVALID, &heap, sizeof(heap), false, nullptr) < 0) {
        (*heap)();
        delete heap;
    }
}

int Connection::invokeTask(spa_loop*, bool, std::uint32_t, const void* data, std::size_t, void*) {
    std::function<void()>* task;
    std::memcpy(&task, data, sizeof(task));
    // A task reports its own failures; nothing of it may unwind into the loop.
    guarded([&] { (*task)(); }, [](const char*) {});
    delete task;
    return 0;
}

void Connection::disconnect() {
    for (auto& [id, bound] : bound_) {
        if (bound->proxy) pw_proxy_destroy(bound->proxy);
    }
    bound_.clear();
    if (defaults_ && defaults_->proxy) pw_proxy_destroy(defaults_->proxy);
    defaults_.reset();
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

void Connection::finishOpen(const std::string& error) {
    if (!ready_) return;
    auto ready = std::move(ready_);
    ready_ = nullptr;
    ready(error);
}

void Connection::callbackFailed(const char* what) noexcept {
    lost_ = true;
    if (observer_ == nullptr) return;
    guarded([&] { observer_->connectionLost(std::string("the capture failed: ") + what); }, [](const char*) {});
}

void Connection::changed() {
    if (observer_) observer_->graphChanged();
}

void Connection::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                          const spa_dict* dict) {
    auto* self = static_cast<Connection*>(data);
    guarded(
        [&] {
            if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
                const char* name = dict ? spa_dict_lookup(dict, PW_KEY_METADATA_NAME) : nullptr;
                if (name == nullptr || std::strcmp(name, "default") != 0) return;
                static constexpr pw_metadata_events metadataEvents = [] {
                    pw_metadata_events e{};
                    e.version = PW_VERSION_METADATA_EVENTS;
                    e.property = &Connection::onMetadataProperty;
                    return e;
                }();
                if (self->defaults_ && self->defaults_->proxy) pw_proxy_destroy(self->defaults_->proxy);
                self->defaults_ = std::make_unique<Bound>();
                self->defaults_->owner = self;
                self->defaults_->id = id;
                self->defaults_->proxy =
                    static_cast<pw_proxy*>(pw_registry_bind(self->registry_, id, type, PW_VERSION_METADATA, 0));
                if (self->defaults_->proxy)
                    pw_proxy_add_object_listener(self->defaults_->proxy, &self->defaults_->objectHook,
                                                 &metadataEvents, self->defaults_.get());
                return;
            }
            GlobalType kind = GlobalType::other;
            if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) kind = GlobalType::client;
            else if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) kind = GlobalType::node;
            else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) kind = GlobalType::port;
            else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) kind = GlobalType::link;
            else return;
            Props props = propsOf(dict);
            std::uint64_t serial = 0;
            auto s = props.find(PW_KEY_OBJECT_SERIAL);
            if (s != props.end()) serial = std::strtoull(s->second.c_str(), nullptr, 10);
            // A daemon that gives no serial: one of our own that is never reused.
            if (serial == 0) serial = self->fallbackSerial_++;
            self->bound_.erase(id);
            // What was there before the tap came is no new stream: the
            // session manager has had its time to link it.
            self->graph_.added(id, kind, serial, std::move(props),
                               self->ready_ ? Clock::time_point{} : Clock::now());
            if (kind == GlobalType::client || kind == GlobalType::node) {
                static constexpr pw_client_events clientEvents = [] {
                    pw_client_events e{};
                    e.version = PW_VERSION_CLIENT_EVENTS;
                    e.info = &Connection::onClientInfo;
                    return e;
                }();
                static constexpr pw_node_events nodeEvents = [] {
                    pw_node_events e{};
                    e.version = PW_VERSION_NODE_EVENTS;
                    e.info = &Connection::onNodeInfo;
                    e.param = &Connection::onNodeParam;
                    return e;
                }();
                auto bound = std::make_unique<Bound>();
                bound->owner = self;
                bound->id = id;
                const bool client = kind == GlobalType::client;
                bound->proxy = static_cast<pw_proxy*>(
                    pw_registry_bind(self->registry_, id, type, client ? PW_VERSION_CLIENT : PW_VERSION_NODE, 0));
                if (bound->proxy) {
                    if (client) {
                        pw_proxy_add_object_listener(bound->proxy, &bound->objectHook, &clientEvents, bound.get());
                    } else {
                        pw_proxy_add_object_listener(bound->proxy, &bound->objectHook, &nodeEvents, bound.get());
                        // A playback stream's own format tells which of its ports
                        // carry only what PipeWire spread over a sink's other channels.
                        std::uint32_t format = SPA_PARAM_Format;
                        pw_node_subscribe_params(reinterpret_cast<pw_node*>(bound->proxy), &format, 1);
                    }
                    self->bound_[id] = std::move(bound);
                } else {
                    // Judged on what the registry told; better than never at all.
                    self->graph_.updated(id, {});
                }
            }
            self->changed();
        },
        [&](const char* what) { self->callbackFailed(what); });
}

void Connection::onGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<Connection*>(data);
    guarded(
        [&] {
            if (self->defaults_ && self->defaults_->id == id) {
                if (self->defaults_->proxy) pw_proxy_destroy(self->defaults_->proxy);
                self->defaults_.reset();
                if (self->graph_.defaultSink("")) self->changed();
                return;
            }
            auto it = self->bound_.find(id);
            if (it != self->bound_.end()) {
                if (it->second->proxy) pw_proxy_destroy(it->second->proxy);
                self->bound_.erase(it);
            }
            self->graph_.removed(id);
            self->changed();
        },
        [&](const char* what) { self->callbackFailed(what); });
}

void Connection::onClientInfo(void* data, const pw_client_info* info) {
    auto* owner = static_cast<Bound*>(data)->owner;
    guarded(
        [&] {
            auto* bound = static_cast<Bound*>(data);
            bound->owner->graph_.updated(bound->id, propsOf(info->props));
            bound->owner->changed();
        },
        [&](const char* what) { owner->callbackFailed(what); });
}

int Connection::onMetadataProperty(void* data, std::uint32_t subject, const char* key, const char*,
                                   const char* value) {
    auto* owner = static_cast<Bound*>(data)->owner;
    guarded(
        [&] {
            // No key: every property of the subject was cleared.
            if (subject != PW_ID_CORE || (key != nullptr && std::strcmp(key, "default.audio.sink") != 0)) return;
            if (owner->graph_.defaultSink(key != nullptr ? namedSink(value) : std::string())) owner->changed();
        },
        [&](const char* what) { owner->callbackFailed(what); });
    return 0;
}

void Connection::onNodeInfo(void* data, const pw_node_info* info) {
    auto* owner = static_cast<Bound*>(data)->owner;
    guarded(
        [&] {
            auto* bound = static_cast<Bound*>(data);
            // Only a node starting or stopping counts among the state
            // changes: it decides which driver the clock follows.
            bool changed = (info->change_mask & PW_NODE_CHANGE_MASK_STATE) &&
                           bound->owner->graph_.nodeRunning(bound->id, info->state == PW_NODE_STATE_RUNNING);
            if (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) {
                bound->owner->graph_.updated(bound->id, propsOf(info->props));
                changed = true;
            }
            if (changed) bound->owner->changed();
        },
        [&](const char* what) { owner->callbackFailed(what); });
}

void Connection::onNodeParam(void* data, int, std::uint32_t id, std::uint32_t, std::uint32_t, const spa_pod* param) {
    auto* owner = static_cast<Bound*>(data)->owner;
    guarded(
        [&] {
            if (id != SPA_PARAM_Format) return;
            auto* bound = static_cast<Bound*>(data);
            std::vector<std::string> channels;
            std::uint32_t mediaType = 0, mediaSubtype = 0;
            spa_audio_info_raw info{};
            if (param != nullptr && spa_format_parse(param, &mediaType, &mediaSubtype) >= 0 &&
                mediaType == SPA_MEDIA_TYPE_audio && mediaSubtype == SPA_MEDIA_SUBTYPE_raw &&
                spa_format_audio_raw_parse(param, &info) >= 0 && !(info.flags & SPA_AUDIO_FLAG_UNPOSITIONED)) {
                for (std::uint32_t c = 0; c < std::min<std::uint32_t>(info.channels, SPA_AUDIO_MAX_CHANNELS); ++c) {
                    const char* name = spa_debug_type_find_short_name(spa_type_audio_channel, info.position[c]);
                    channels.emplace_back(name ? name : "");
                }
            }
            bound->owner->graph_.formatKnown(bound->id, std::move(channels));
            bound->owner->changed();
        },
        [&](const char* what) { owner->callbackFailed(what); });
}

void Connection::onDone(void* data, std::uint32_t id, int seq) {
    auto* self = static_cast<Connection*>(data);
    guarded(
        [&] {
            if (id != PW_ID_CORE || seq != self->syncSeq_ || !self->ready_) return;
            if (!self->secondSync_) {
                // The binds made while listing have been answered by the next sync.
                self->secondSync_ = true;
                self->syncSeq_ = pw_core_sync(self->core_, PW_ID_CORE, 0);
                return;
            }
            self->finishOpen("");
        },
        [&](const char* what) { self->callbackFailed(what); });
}

void Connection::onError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<Connection*>(data);
    guarded(
        [&] {
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
        },
        [&](const char* what) { self->callbackFailed(what); });
}

}  // namespace pimorlo::platform::linux_backend
