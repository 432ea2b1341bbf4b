// One connection to the PipeWire daemon with its own loop thread, mirroring
// the registry into a capture graph. Everything but the constructor and the
// destructor runs on the loop thread or under its lock.
#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/linux/pipewire/graph.h"

namespace pimorlo::platform::linux_backend {

// Runs the body of a callback that PipeWire's C code calls: whatever it
// throws (memory running out, mostly) ends here and is handed to `failed` as
// text, never unwound through the C loop, which would end the process.
template <typename Body, typename Failed>
void guarded(Body&& body, Failed&& failed) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        failed(e.what());
    } catch (...) {
        failed("unknown error");
    }
}

class GraphObserver {
public:
    virtual void graphChanged() = 0;
    virtual void connectionLost(const std::string& why) = 0;

protected:
    ~GraphObserver() = default;
};

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    pw_thread_loop* threadLoop() const { return loop_; }
    pw_loop* loop() const { return pw_thread_loop_get_loop(loop_); }
    pw_context* context() const { return context_; }
    pw_core* core() const { return core_; }
    bool connected() const { return core_ != nullptr && !lost_; }
    CaptureGraph& graph() { return graph_; }
    void setObserver(GraphObserver* observer) { observer_ = observer; }

    // Connects and lists the registry; `ready` runs on the loop thread once
    // the registry and the properties of every client and node are known, or
    // with an error text when that cannot be.
    void open(std::function<void(std::string)> ready);

    // Runs `task` on the loop thread, later (or at once when the loop cannot
    // take it, rather than lose a completion). Under the loop lock or on it.
    void runOnLoop(std::function<void()> task);

    void disconnect();

private:
    struct Bound;
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                         std::uint32_t version, const spa_dict* props);
    static void onGlobalRemove(void* data, std::uint32_t id);
    static void onClientInfo(void* data, const pw_client_info* info);
    static int onMetadataProperty(void* data, std::uint32_t subject, const char* key, const char* type,
                                  const char* value);
    static void onNodeInfo(void* data, const pw_node_info* info);
    static void onNodeParam(void* data, int seq, std::uint32_t id, std::uint32_t index, std::uint32_t next,
                            const spa_pod* param);
    static void onDone(void* data, std::uint32_t id, int seq);
    static void onError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static int invokeTask(spa_loop*, bool, std::uint32_t, const void* data, std::size_t, void*);
    void finishOpen(const std::string& error);
    void changed();
    // A callback failed: the mirror of the registry can no longer be trusted.
    void callbackFailed(const char* what) noexcept;

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook coreHook_{};
    spa_hook registryHook_{};
    int syncSeq_ = -1;
    bool secondSync_ = false;
    bool lost_ = false;
    std::uint64_t fallbackSerial_ = std::uint64_t{1} << 48;
    std::function<void(std::string)> ready_;
    std::map<std::uint32_t, std::unique_ptr<Bound>> bound_;
    // The session manager's "default" metadata: which sink is the default.
    std::unique_ptr<Bound> defaults_;
    CaptureGraph graph_;
    GraphObserver* observer_ = nullptr;
};

}  // namespace pimorlo::platform::linux_backend
