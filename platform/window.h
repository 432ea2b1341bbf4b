// Windows and menus: the application object with its delegate, activation
// policy and event loop; menus and menu items; the window; a repeating timer on
// the main loop; and the process probe the parent watch uses.
//
// Every operation reports failure as a value; nothing here throws. Delegates
// are held weakly, as the platform does: whoever installs one keeps it alive.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

namespace pimorlo::platform {

struct Point {
    double x = 0;
    double y = 0;
};

struct Size {
    double width = 0;
    double height = 0;
};

struct Rect {
    Point origin;
    Size size;
};

enum class ActivationPolicy : long { regular = 0, accessory = 1, prohibited = 2 };

// Bits of a window's style mask.
namespace WindowStyleMask {
constexpr unsigned long titled = 1;
constexpr unsigned long closable = 2;
constexpr unsigned long miniaturizable = 4;
constexpr unsigned long resizable = 8;
}  // namespace WindowStyleMask

enum class BackingStoreType : unsigned long { retained = 0, nonretained = 1, buffered = 2 };

// Menu actions are named by their selectors ("terminate:", "undo:", "redo:",
// "cut:", "copy:", "paste:", "selectAll:"). An item has no target: the action
// goes to whatever currently handles it, normally the focused content.
// A key equivalent carries the platform's default modifier; an upper-case
// letter adds Shift.
class Menu;

class MenuItem {
public:
    virtual ~MenuItem() = default;
    virtual void setSubmenu(std::shared_ptr<Menu> submenu) = 0;
};

class Menu {
public:
    virtual ~Menu() = default;
    virtual void addItem(std::shared_ptr<MenuItem> item) = 0;
    // The added item is not handed back: nobody here keeps it.
    virtual void addItem(std::string title, std::string action, std::string keyEquivalent) = 0;
};

// Anything that can be a window's content view.
class View {
public:
    virtual ~View() = default;
};

// The window's delegate role. The programs here answer none of its questions,
// so it has no operations; it is set all the same.
class WindowDelegate {
public:
    virtual ~WindowDelegate() = default;
};

class Window {
public:
    virtual ~Window() = default;
    virtual void setTitle(std::string title) = 0;
    virtual void setMinSize(Size size) = 0;
    // Centres the window on its screen where the display server lets a client
    // place its windows.
    virtual void center() = 0;
    virtual void setDelegate(std::weak_ptr<WindowDelegate> delegate) = 0;
    virtual void setContentView(std::shared_ptr<View> view) = 0;
    virtual void makeKeyAndOrderFront() = 0;
};

class Application;

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // Once, on the main thread, after the event loop has started.
    virtual void applicationDidFinishLaunching() = 0;
    virtual bool applicationShouldTerminateAfterLastWindowClosed(Application& sender) = 0;
};

// A timer scheduled on the main loop. It lives until invalidated, whether or
// not anyone keeps the handle.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
};

// The one application object of the process.
class Application {
public:
    virtual ~Application() = default;

    // Whether the platform took the policy.
    virtual bool setActivationPolicy(ActivationPolicy policy) = 0;
    virtual void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) = 0;
    virtual void setMainMenu(std::shared_ptr<Menu> menu) = 0;
    virtual void activate(bool ignoringOtherApps) = 0;
    // The event loop on the main thread. Returns once the application has
    // terminated, if the platform returns at all.
    virtual void run() = 0;
    // The orderly end of the application, the same path as the quit command.
    virtual void terminate() = 0;

    // NSMenu(title:) (an empty title for NSMenu()), NSMenuItem(),
    // NSMenuItem.separator().
    virtual std::shared_ptr<Menu> makeMenu(std::string title) = 0;
    virtual std::shared_ptr<MenuItem> makeMenuItem() = 0;
    virtual std::shared_ptr<MenuItem> makeSeparatorItem() = 0;
    virtual std::shared_ptr<Window> makeWindow(Rect contentRect, unsigned long styleMask,
                                               BackingStoreType backing, bool defer) = 0;
    // Runs `block` on the main loop every `interval` seconds (once unless
    // `repeats`), the first time one interval from now.
    virtual std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats,
                                                  std::function<void(Timer&)> block) = 0;
};

// kill(2): 0 while the process exists and may be signalled, non-zero otherwise.
class ProcessProbe {
public:
    virtual ~ProcessProbe() = default;
    virtual int kill(pid_t pid, int signal) = 0;
};

// The application object of the backend this program is built with
// (NSApplication.shared); created on first use.
std::shared_ptr<Application> makeDefaultApplication();
std::unique_ptr<ProcessProbe> makeDefaultProcessProbe();

}  // namespace pimorlo::platform
