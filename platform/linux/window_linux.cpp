// Windows and menus on GTK 4. The application is a GtkApplication that never
// claims a unique name: every instance is independent. The main menu becomes a
// menu bar at the top of each window, its actions application actions, and
// the key equivalents shortcuts on Ctrl.
//
// Keys follow the Mac's order: the focused content sees a key before the
// menu does. GTK runs application accelerators in the capture phase, before
// the focused widget, so only the quit command is one. The others are
// shortcuts in the window's bubble phase: WebKitGTK takes every key to the
// page, and a key the page leaves unhandled is queued again and reaches them
// on its way back up.
#include <gdk/x11/gdkx.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/linux/glib_log.h"
#include "platform/linux/gtk_view.h"
#include "platform/linux/renderer_choice.h"
#include "platform/window.h"

namespace pimorlo::platform {
namespace {

using linux_backend::GtkBackedView;

class LinuxMenu;

class LinuxMenuItem final : public MenuItem {
public:
    explicit LinuxMenuItem(bool isSeparator) : separator(isSeparator) {}
    void setSubmenu(std::shared_ptr<Menu> menu) override { submenu = std::static_pointer_cast<LinuxMenu>(menu); }

    const bool separator;
    std::shared_ptr<LinuxMenu> submenu;
};

// Entries are kept as given and turned into a GMenu only when installed: a
// GMenu copies an item when it is added, before its submenu is attached.
class LinuxMenu final : public Menu {
public:
    struct Entry {
        std::shared_ptr<LinuxMenuItem> item;  // or else the three texts
        std::string title;
        std::string action;
        std::string keyEquivalent;
    };

    explicit LinuxMenu(std::string menuTitle) : title(std::move(menuTitle)) {}

    void addItem(std::shared_ptr<MenuItem> item) override {
        entries.push_back({std::static_pointer_cast<LinuxMenuItem>(item), {}, {}, {}});
    }
    void addItem(std::string itemTitle, std::string action, std::string keyEquivalent) override {
        entries.push_back({nullptr, std::move(itemTitle), std::move(action), std::move(keyEquivalent)});
    }

    const std::string title;
    std::vector<Entry> entries;
};

// "undo:" → "undo"; the selectors here are all valid action names once the
// colon is gone.
std::string actionName(const std::string& selector) {
    return selector.empty() || selector.back() != ':' ? selector : selector.substr(0, selector.size() - 1);
}

// Command becomes Ctrl; an upper-case letter adds Shift, as it does on the Mac.
std::string accelerator(const std::string& keyEquivalent) {
    if (keyEquivalent.size() != 1) return {};
    char key = keyEquivalent[0];
    if (key >= 'A' && key <= 'Z') return std::string("<Control><Shift>") + static_cast<char>(key - 'A' + 'a');
    return std::string("<Control>") + key;
}

class LinuxApplication;

class LinuxWindow final : public Window {
public:
    LinuxWindow(LinuxApplication& app, GtkApplication* gtkApp, GMenuModel* menuBar, GListModel* contentShortcuts,
                Size contentSize);
    ~LinuxWindow() override;

    void setTitle(std::string title) override { gtk_window_set_title(window_, title.c_str()); }
    void setMinSize(Size size) override {
        gtk_widget_set_size_request(content_, static_cast<int>(size.width), static_cast<int>(size.height));
    }
    void center() override { centerWhenRealized_ = true; }
    void setDelegate(std::weak_ptr<WindowDelegate> delegate) override { delegate_ = std::move(delegate); }
    void setContentView(std::shared_ptr<View> view) override;
    void makeKeyAndOrderFront() override { gtk_window_present(window_); }

    void setMenuBar(GMenuModel* model) { gtk_popover_menu_bar_set_menu_model(GTK_POPOVER_MENU_BAR(menuBar_), model); }

private:
    static void onRealize(GtkWidget* widget, gpointer self);
    void fitDefaultSizeToContent();
    void centerOnX11Monitor();
    static gboolean onCloseRequest(GtkWindow* window, gpointer self);

    LinuxApplication& app_;
    GtkWindow* window_;
    GtkWidget* menuBar_;
    GtkWidget* content_;
    Size contentSize_;
    bool centerWhenRealized_ = false;
    std::weak_ptr<WindowDelegate> delegate_;
    std::shared_ptr<View> contentView_;
};

struct LinuxTimer final : Timer {
    guint source = 0;
    bool repeats = false;
    std::function<void(Timer&)> block;

    void invalidate() override {
        if (source) g_source_remove(source);
        source = 0;
    }
};

class LinuxApplication final : public Application {
public:
    LinuxApplication()
        : app_(gtk_application_new(nullptr, G_APPLICATION_NON_UNIQUE)),
          contentShortcuts_(g_list_store_new(GTK_TYPE_SHORTCUT)),
          quitShortcuts_(g_list_store_new(GTK_TYPE_SHORTCUT)) {
        g_signal_connect(app_, "activate", G_CALLBACK(+[](GApplication*, gpointer self) {
                             static_cast<LinuxApplication*>(self)->didFinishLaunching();
                         }),
                         this);
    }

    ~LinuxApplication() override {
        if (watchingToplevels_) g_signal_handlers_disconnect_by_data(gtk_window_get_toplevels(), this);
        if (popoverHook_) g_signal_remove_emission_hook(g_signal_lookup("realize", GTK_TYPE_WIDGET), popoverHook_);
        if (widgetClass_) g_type_class_unref(widgetClass_);
        if (menuBar_) g_object_unref(menuBar_);
        g_object_unref(quitShortcuts_);
        g_object_unref(contentShortcuts_);
        g_object_unref(app_);
    }

    // There is no accessory policy on Linux: no dock exists to stay out of.
    bool setActivationPolicy(ActivationPolicy) override { return true; }
    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override { delegate_ = std::move(delegate); }

    void setMainMenu(std::shared_ptr<Menu> menu) override {
        if (menuBar_) g_object_unref(menuBar_);
        g_list_store_remove_all(contentShortcuts_);
        g_list_store_remove_all(quitShortcuts_);
        menuBar_ = G_MENU_MODEL(buildMenu(static_cast<LinuxMenu&>(*menu), true));
        for (auto* window : windows_) window->setMenuBar(menuBar_);
    }

    // Windows are the key ones when presented; there is nothing to raise apart.
    void activate(bool) override {}

    void run() override { g_application_run(G_APPLICATION(app_), 0, nullptr); }
    // A main loop run inside a callback (a library's modal dialog, as GTK's
    // print dialog is run by WebKit) would hold the quit until that dialog is
    // closed: the application's own loop cannot return while it runs. From
    // inside one the process ends at once, with the status the loop's return
    // would give it; nothing here has anything left to write.
    void terminate() override {
        g_application_quit(G_APPLICATION(app_));
        if (g_main_depth() > 1) _exit(0);
    }

    std::shared_ptr<Menu> makeMenu(std::string title) override { return std::make_shared<LinuxMenu>(std::move(title)); }
    std::shared_ptr<MenuItem> makeMenuItem() override { return std::make_shared<LinuxMenuItem>(false); }
    std::shared_ptr<MenuItem> makeSeparatorItem() override { return std::make_shared<LinuxMenuItem>(true); }

    // Every window is titled, closable, minimizable and resizable under GTK
    // and double-buffered; the mask and backing change nothing here.
    std::shared_ptr<Window> makeWindow(Rect contentRect, unsigned long, BackingStoreType, bool) override {
        return std::make_shared<LinuxWindow>(*this, app_, menuBar_, G_LIST_MODEL(contentShortcuts_), contentRect.size);
    }

    std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats, std::function<void(Timer&)> block) override {
        auto timer = std::make_shared<LinuxTimer>();
        timer->repeats = repeats;
        timer->block = std::move(block);
        auto ms = interval <= 0 ? 0u : static_cast<guint>(interval * 1000.0 + 0.5);
        // The main loop keeps the timer alive until it is invalidated.
        timer->source = g_timeout_add_full(
            G_PRIORITY_DEFAULT, ms,
            [](gpointer data) -> gboolean {
                auto& kept = *static_cast<std::shared_ptr<LinuxTimer>*>(data);
                auto alive = kept;  // the block may invalidate it
                alive->block(*alive);
                if (alive->repeats && alive->source) return G_SOURCE_CONTINUE;
                alive->source = 0;
                return G_SOURCE_REMOVE;
            },
            new std::shared_ptr<LinuxTimer>(timer),
            [](gpointer data) { delete static_cast<std::shared_ptr<LinuxTimer>*>(data); });
        return timer;
    }

    void windowCreated(LinuxWindow* window) { windows_.push_back(window); }
    void windowDestroyed(LinuxWindow* window) { std::erase(windows_, window); }

    // The window's close button, about to close the last window.
    void lastWindowClosing() {
        auto delegate = delegate_.lock();
        if (delegate && delegate->applicationShouldTerminateAfterLastWindowClosed(*this)) {
            terminate();
        } else {
            // Without a window GTK would end the loop on its own.
            g_application_hold(G_APPLICATION(app_));
        }
    }

private:
    void didFinishLaunching() {
        if (launched_) return;
        launched_ = true;
        offerQuitKeyInEveryWindow();
        if (auto delegate = delegate_.lock()) delegate->applicationDidFinishLaunching();
    }

    // A dialog that WebKit or GTK opens for a page (a permission prompt, a
    // file chooser, a print dialog) takes the keyboard while it is up, and
    // the application's accelerators do not reach it: it is not one of the
    // application's windows. Every such window is given the quit key too.
    // So is every popover (a select element's list, a context menu): while
    // one is up, keys go to it alone and never reach its window.
    void offerQuitKeyInEveryWindow() {
        GListModel* toplevels = gtk_window_get_toplevels();
        g_signal_connect(toplevels, "items-changed",
                         G_CALLBACK(+[](GListModel* list, guint position, guint, guint added, gpointer self) {
                             for (guint i = position; i < position + added; ++i) {
                                 auto* window = GTK_WINDOW(g_list_model_get_item(list, i));
                                 static_cast<LinuxApplication*>(self)->offerQuitKey(window);
                                 g_object_unref(window);
                             }
                         }),
                         this);
        watchingToplevels_ = true;
        // Popovers are made by whoever needs one and listed nowhere; each is
        // met when it is realized. The signal exists once the widget class
        // does, which may be before any widget is made.
        widgetClass_ = g_type_class_ref(GTK_TYPE_WIDGET);
        popoverHook_ = g_signal_add_emission_hook(
            g_signal_lookup("realize", GTK_TYPE_WIDGET), 0,
            +[](GSignalInvocationHint*, guint, const GValue* values, gpointer self) -> gboolean {
                auto* widget = static_cast<GtkWidget*>(g_value_get_object(&values[0]));
                if (GTK_IS_POPOVER(widget)) static_cast<LinuxApplication*>(self)->offerQuitKey(widget);
                return TRUE;
            },
            this, nullptr);
    }

    void offerQuitKey(GtkWindow* window) {
        // The application's own windows have its accelerators.
        if (GTK_IS_APPLICATION_WINDOW(window)) return;
        offerQuitKey(GTK_WIDGET(window));
    }

    void offerQuitKey(GtkWidget* widget) {
        // A popover is realized again each time it is shown after being hidden.
        static const char* const given = "pimorlo-quit-key";
        if (g_object_get_data(G_OBJECT(widget), given)) return;
        g_object_set_data(G_OBJECT(widget), given, GINT_TO_POINTER(1));
        GtkEventController* keys = gtk_shortcut_controller_new_for_model(G_LIST_MODEL(quitShortcuts_));
        gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
        gtk_widget_add_controller(widget, keys);
    }

    GMenu* buildMenu(const LinuxMenu& menu, bool topLevel) {
        GMenu* result = g_menu_new();
        GMenu* section = g_menu_new();
        auto closeSection = [&] {
            if (g_menu_model_get_n_items(G_MENU_MODEL(section)) > 0) g_menu_append_section(result, nullptr, G_MENU_MODEL(section));
            g_object_unref(section);
            section = g_menu_new();
        };
        for (const auto& entry : menu.entries) {
            if (entry.item && entry.item->separator) {
                closeSection();
            } else if (entry.item) {
                if (!entry.item->submenu) continue;
                GMenu* submenu = buildMenu(*entry.item->submenu, false);
                // An untitled top-level item is the application's own menu.
                std::string label = entry.item->submenu->title;
                if (label.empty()) label = g_get_application_name() ? g_get_application_name() : "";
                g_menu_append_submenu(topLevel ? result : section, label.c_str(), G_MENU_MODEL(submenu));
                g_object_unref(submenu);
            } else {
                std::string name = addAction(entry.action);
                std::string detailed = "app." + name;
                GMenuItem* item = g_menu_item_new(entry.title.c_str(), detailed.c_str());
                std::string accel = accelerator(entry.keyEquivalent);
                if (!accel.empty()) {
                    g_menu_item_set_attribute(item, "accel", "s", accel.c_str());
                    if (name == "terminate") {
                        // Quitting works from anywhere, whatever the page does.
                        const char* accels[] = {accel.c_str(), nullptr};
                        gtk_application_set_accels_for_action(app_, detailed.c_str(), accels);
                        GtkShortcut* shortcut = gtk_shortcut_new(
                            gtk_shortcut_trigger_parse_string(accel.c_str()),
                            gtk_callback_action_new(
                                +[](GtkWidget*, GVariant*, gpointer self) -> gboolean {
                                    static_cast<LinuxApplication*>(self)->terminate();
                                    return TRUE;
                                },
                                this, nullptr));
                        g_list_store_append(quitShortcuts_, shortcut);
                        g_object_unref(shortcut);
                    } else {
                        GtkShortcut* shortcut = gtk_shortcut_new(gtk_shortcut_trigger_parse_string(accel.c_str()),
                                                                 gtk_named_action_new(detailed.c_str()));
                        g_list_store_append(contentShortcuts_, shortcut);
                        g_object_unref(shortcut);
                    }
                }
                g_menu_append_item(section, item);
                g_object_unref(item);
            }
        }
        if (topLevel) {
            g_object_unref(section);
        } else {
            closeSection();
            g_object_unref(section);
        }
        return result;
    }

    // "terminate:" ends the application; every other selector is sent to the
    // focused content, which offers it in its responder action group.
    std::string addAction(const std::string& selector) {
        std::string name = actionName(selector);
        if (g_action_map_lookup_action(G_ACTION_MAP(app_), name.c_str())) return name;
        GSimpleAction* action = g_simple_action_new(name.c_str(), nullptr);
        g_signal_connect(action, "activate", G_CALLBACK(+[](GSimpleAction* a, GVariant*, gpointer self) {
                             static_cast<LinuxApplication*>(self)->perform(g_action_get_name(G_ACTION(a)));
                         }),
                         this);
        g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(action));
        g_object_unref(action);
        return name;
    }

    void perform(const std::string& name) {
        if (name == "terminate") {
            terminate();
            return;
        }
        GtkWindow* window = gtk_application_get_active_window(app_);
        if (!window) return;
        GtkWidget* target = gtk_root_get_focus(GTK_ROOT(window));
        if (!target) target = gtk_window_get_child(window);
        if (!target) return;
        std::string responder = std::string(linux_backend::responderActionGroup) + "." + name;
        gtk_widget_activate_action(target, responder.c_str(), nullptr);
    }

    GtkApplication* app_;
    // The key equivalents of the focused content's actions; every window
    // offers them in its bubble phase.
    GListStore* contentShortcuts_;
    // The quit key, for windows that are not the application's.
    GListStore* quitShortcuts_;
    bool watchingToplevels_ = false;
    gpointer widgetClass_ = nullptr;
    gulong popoverHook_ = 0;
    GMenuModel* menuBar_ = nullptr;
    std::weak_ptr<ApplicationDelegate> delegate_;
    std::vector<LinuxWindow*> windows_;
    bool launched_ = false;
};

LinuxWindow::LinuxWindow(LinuxApplication& app, GtkApplication* gtkApp, GMenuModel* menuBar,
                         GListModel* contentShortcuts, Size contentSize)
    : app_(app), contentSize_(contentSize) {
    window_ = GTK_WINDOW(gtk_application_window_new(gtkApp));
    g_object_ref(window_);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window_), FALSE);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    menuBar_ = gtk_popover_menu_bar_new_from_model(menuBar);
    content_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_hexpand(content_, TRUE);
    gtk_widget_set_vexpand(content_, TRUE);
    gtk_box_append(GTK_BOX(box), menuBar_);
    gtk_box_append(GTK_BOX(box), content_);
    // A box holds its children to their minimum only along its own axis.
    // Without a window manager to enforce the minimum size, GTK first lays the
    // window out at whatever size the X server gave it and only then grows it
    // back; the horizontal box keeps the content from ever being narrower
    // than its minimum on the way, as the vertical one keeps it from being
    // shorter.
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_hexpand(box, TRUE);
    gtk_box_append(GTK_BOX(row), box);
    gtk_window_set_child(window_, row);

    GtkEventController* keys = gtk_shortcut_controller_new_for_model(contentShortcuts);
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_BUBBLE);
    gtk_widget_add_controller(GTK_WIDGET(window_), keys);

    fitDefaultSizeToContent();

    g_signal_connect(window_, "realize", G_CALLBACK(&LinuxWindow::onRealize), this);
    g_signal_connect(window_, "close-request", G_CALLBACK(&LinuxWindow::onCloseRequest), this);
    app_.windowCreated(this);
}

LinuxWindow::~LinuxWindow() {
    app_.windowDestroyed(this);
    g_signal_handlers_disconnect_by_data(window_, this);
    g_object_unref(window_);
}

void LinuxWindow::setContentView(std::shared_ptr<View> view) {
    if (contentView_) {
        if (auto* old = dynamic_cast<GtkBackedView*>(contentView_.get())) gtk_box_remove(GTK_BOX(content_), old->widget());
    }
    contentView_ = std::move(view);
    if (auto* backed = dynamic_cast<GtkBackedView*>(contentView_.get())) {
        gtk_box_append(GTK_BOX(content_), backed->widget());
        gtk_widget_grab_focus(backed->widget());
    }
}

// The content rectangle is the area below the menu bar, as the Mac's content
// rectangle leaves out its own menu bar. GTK's default size also takes in a
// title bar that GTK draws itself (under Wayland, or on GNOME), which exists
// only once the window is realized; one drawn by the window manager, or none,
// adds nothing.
void LinuxWindow::fitDefaultSizeToContent() {
    int width = static_cast<int>(contentSize_.width);
    int chrome = 0;
    gtk_widget_measure(menuBar_, GTK_ORIENTATION_VERTICAL, width, nullptr, &chrome, nullptr, nullptr);
    GtkWidget* child = gtk_window_get_child(window_);
    for (GtkWidget* part = gtk_widget_get_first_child(GTK_WIDGET(window_)); part; part = gtk_widget_get_next_sibling(part)) {
        if (part == child || !gtk_widget_get_visible(part) || GTK_IS_NATIVE(part)) continue;
        int height = 0;
        gtk_widget_measure(part, GTK_ORIENTATION_VERTICAL, width, nullptr, &height, nullptr, nullptr);
        chrome += height;
    }
    gtk_window_set_default_size(window_, width, static_cast<int>(contentSize_.height) + chrome);
}

void LinuxWindow::onRealize(GtkWidget*, gpointer data) {
    auto* self = static_cast<LinuxWindow*>(data);
    self->fitDefaultSizeToContent();
    if (self->centerWhenRealized_) self->centerOnX11Monitor();
}

// GTK 4 has no way to place a window; on X11 the window itself can be moved
// before it is first shown. Other display servers place it themselves.
void LinuxWindow::centerOnX11Monitor() {
    GtkWidget* widget = GTK_WIDGET(window_);
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(widget));
    GdkDisplay* display = gtk_widget_get_display(widget);
    if (!surface || !GDK_IS_X11_SURFACE(surface) || !GDK_IS_X11_DISPLAY(display)) return;
    GdkMonitor* monitor = gdk_display_get_monitor_at_surface(display, surface);
    if (!monitor) {
        GListModel* monitors = gdk_display_get_monitors(display);
        monitor = g_list_model_get_n_items(monitors) ? GDK_MONITOR(g_list_model_get_item(monitors, 0)) : nullptr;
        if (monitor) g_object_unref(monitor);  // the list keeps it
    }
    if (!monitor) return;
    GdkRectangle area;
    gdk_monitor_get_geometry(monitor, &area);
    int width = 0, height = 0;
    gtk_window_get_default_size(GTK_WINDOW(widget), &width, &height);
    int x = area.x + (area.width - width) / 2;
    int y = area.y + (area.height - height) / 2;
    XMoveWindow(gdk_x11_display_get_xdisplay(display), gdk_x11_surface_get_xid(surface), x < area.x ? area.x : x,
                y < area.y ? area.y : y);
}

gboolean LinuxWindow::onCloseRequest(GtkWindow*, gpointer data) {
    auto* self = static_cast<LinuxWindow*>(data);
    if (g_list_length(gtk_application_get_windows(gtk_window_get_application(self->window_))) == 1)
        self->app_.lastWindowClosing();
    return FALSE;
}

class LinuxProcessProbe final : public ProcessProbe {
public:
    int kill(pid_t pid, int signal) override { return ::kill(pid, signal); }
};

}  // namespace

std::shared_ptr<Application> makeDefaultApplication() {
    static std::weak_ptr<Application> shared;
    if (auto existing = shared.lock()) return existing;
    // The web shell writes nothing: GTK warns without a session bus, GIO
    // without dconf, GDK about a display's quirks, none of it the user's to act on.
    linux_backend::keepGLibLogOffStandardStreams();
    linux_backend::applyDefaultRenderer();
    auto created = std::make_shared<LinuxApplication>();
    shared = created;
    return created;
}

std::unique_ptr<ProcessProbe> makeDefaultProcessProbe() { return std::make_unique<LinuxProcessProbe>(); }

}  // namespace pimorlo::platform
