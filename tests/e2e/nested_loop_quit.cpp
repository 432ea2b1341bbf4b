// The window backend asked to terminate from inside a main loop that a
// callback runs, as a library's modal dialog runs one: the process must end
// there and then, with status 0. Exit status 3 means the nested loop returned
// (the request waited for it), 2 that the application's loop returned.
#include <glib.h>
#include <unistd.h>

#include <memory>

#include "platform/window.h"

namespace {

using namespace pimorlo::platform;

class Delegate final : public ApplicationDelegate {
public:
    explicit Delegate(Application& app) : app_(app) {}

    void applicationDidFinishLaunching() override {
        window_ = app_.makeWindow({{0, 0}, {320, 200}}, 15, BackingStoreType::buffered, false);
        window_->makeKeyAndOrderFront();
        app_.scheduledTimer(0.2, false, [this](Timer&) { runDialogLoop(); });
    }

    bool applicationShouldTerminateAfterLastWindowClosed(Application&) override { return true; }

private:
    void runDialogLoop() {
        GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
        app_.scheduledTimer(0.3, false, [this](Timer&) { app_.terminate(); });
        // Ends the loop a while later, as the user closing the dialog would.
        g_timeout_add_seconds(10, [](gpointer l) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(l));
            return G_SOURCE_REMOVE;
        }, loop);
        g_main_loop_run(loop);
        _exit(3);
    }

    Application& app_;
    std::shared_ptr<Window> window_;
};

}  // namespace

int main() {
    auto app = makeDefaultApplication();
    auto delegate = std::make_shared<Delegate>(*app);
    app->setDelegate(delegate);
    app->run();
    return 2;
}
