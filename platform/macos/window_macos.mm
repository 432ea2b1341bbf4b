// Windows and menus on macOS: AppKit's application object, menus and window,
// Foundation's timers, and kill(2) for the parent probe.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <signal.h>

#include <memory>
#include <utility>

#include "platform/macos/appkit_view.h"
#include "platform/macos/foundation_values.h"
#include "platform/window.h"

// The seam's types are named in full at file scope, where the SDK's global
// names (MacTypes' Point, Rect, Size...) live.

// Takes the application delegate role and hands each call to the controller
// behind the seam, which it holds weakly.
@interface PimOrloApplicationBridge : NSObject <NSApplicationDelegate>
- (instancetype)initWithDelegate:(std::weak_ptr<pimorlo::platform::ApplicationDelegate>)delegate
                     application:(std::weak_ptr<pimorlo::platform::Application>)application;
@end

@implementation PimOrloApplicationBridge {
    std::weak_ptr<pimorlo::platform::ApplicationDelegate> _delegate;
    std::weak_ptr<pimorlo::platform::Application> _application;
}

- (instancetype)initWithDelegate:(std::weak_ptr<pimorlo::platform::ApplicationDelegate>)delegate
                     application:(std::weak_ptr<pimorlo::platform::Application>)application {
    self = [super init];
    if (self != nil) {
        _delegate = std::move(delegate);
        _application = std::move(application);
    }
    return self;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    (void)notification;
    if (auto delegate = _delegate.lock()) delegate->applicationDidFinishLaunching();
}

// Without a controller, the platform's own answer when no delegate answers.
- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication*)sender {
    (void)sender;
    auto delegate = _delegate.lock();
    auto application = _application.lock();
    if (!delegate || !application) return NO;
    return delegate->applicationShouldTerminateAfterLastWindowClosed(*application);
}

@end

// The window's delegate role. The controller answers none of the window's
// questions, so there is nothing to forward; the window still has a delegate.
@interface PimOrloWindowBridge : NSObject <NSWindowDelegate>
- (instancetype)initWithDelegate:(std::weak_ptr<pimorlo::platform::WindowDelegate>)delegate;
@end

@implementation PimOrloWindowBridge {
    std::weak_ptr<pimorlo::platform::WindowDelegate> _delegate;
}

- (instancetype)initWithDelegate:(std::weak_ptr<pimorlo::platform::WindowDelegate>)delegate {
    self = [super init];
    if (self != nil) _delegate = std::move(delegate);
    return self;
}

@end

namespace pimorlo::platform {
namespace macos {
namespace {

class AppKitMenu;

class AppKitMenuItem final : public MenuItem {
public:
    explicit AppKitMenuItem(NSMenuItem* item) : item_(item) {}
    void setSubmenu(std::shared_ptr<Menu> submenu) override;
    NSMenuItem* native() const { return item_; }

private:
    NSMenuItem* item_;
};

class AppKitMenu final : public Menu {
public:
    explicit AppKitMenu(NSMenu* menu) : menu_(menu) {}

    void addItem(std::shared_ptr<MenuItem> item) override {
        if (auto* native = dynamic_cast<AppKitMenuItem*>(item.get())) [menu_ addItem:native->native()];
    }

    void addItem(std::string title, std::string action, std::string keyEquivalent) override {
        [menu_ addItemWithTitle:makeString(title)
                         action:NSSelectorFromString(makeString(action))
                  keyEquivalent:makeString(keyEquivalent)];
    }

    NSMenu* native() const { return menu_; }

private:
    NSMenu* menu_;
};

void AppKitMenuItem::setSubmenu(std::shared_ptr<Menu> submenu) {
    auto* native = dynamic_cast<AppKitMenu*>(submenu.get());
    item_.submenu = native != nullptr ? native->native() : nil;
}

class AppKitWindow final : public Window {
public:
    explicit AppKitWindow(NSWindow* window) : window_(window) {}

    void setTitle(std::string title) override { window_.title = makeString(title); }
    void setMinSize(Size size) override { window_.minSize = NSMakeSize(size.width, size.height); }
    void center() override { [window_ center]; }

    // The window holds its delegate weakly; the bridge lives here.
    void setDelegate(std::weak_ptr<WindowDelegate> delegate) override {
        bridge_ = [[PimOrloWindowBridge alloc] initWithDelegate:std::move(delegate)];
        window_.delegate = bridge_;
    }

    void setContentView(std::shared_ptr<View> view) override {
        const auto* source = dynamic_cast<const AppKitViewSource*>(view.get());
        window_.contentView = source != nullptr ? source->appKitView() : nil;
        contentView_ = std::move(view);
    }

    void makeKeyAndOrderFront() override { [window_ makeKeyAndOrderFront:nil]; }

private:
    NSWindow* window_;
    PimOrloWindowBridge* bridge_ = nil;
    // Its delegates' bridges live with it.
    std::shared_ptr<View> contentView_;
};

class FoundationTimer final : public Timer {
public:
    explicit FoundationTimer(NSTimer* timer) : timer_(timer) {}
    void invalidate() override { [timer_ invalidate]; }

private:
    // Weak: the run loop keeps a scheduled timer, and a handle must not keep
    // it beyond its invalidation.
    __weak NSTimer* timer_;
};

class AppKitApplication final : public Application, public std::enable_shared_from_this<AppKitApplication> {
public:
    AppKitApplication()
        : app_(NSApplication.sharedApplication),
          // An accessory whose window is hidden or minimised would be put in
          // App Nap, which stretches its timers, the parent watch's among
          // them, by far more than the watch's period. A user-initiated
          // activity keeps the process out of App Nap from here on, without
          // keeping the Mac awake, for as long as this object lives: the
          // process's whole life.
          awake_([NSProcessInfo.processInfo beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep
                                                               reason:@"Quits within seconds of the process that "
                                                                      @"started it; App Nap would delay that."]) {}

    bool setActivationPolicy(ActivationPolicy policy) override {
        return [app_ setActivationPolicy:static_cast<NSApplicationActivationPolicy>(policy)];
    }

    // The application holds its delegate weakly; the bridge lives here.
    void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override {
        bridge_ = [[PimOrloApplicationBridge alloc] initWithDelegate:std::move(delegate)
                                                         application:weak_from_this()];
        app_.delegate = bridge_;
    }

    void setMainMenu(std::shared_ptr<Menu> menu) override {
        auto* native = dynamic_cast<AppKitMenu*>(menu.get());
        app_.mainMenu = native != nullptr ? native->native() : nil;
    }

    // Kept although marked for deprecation: its replacement, -activate
    // (macOS 14), is cooperative and may leave the window behind the
    // application in front, where this brings the shell forward as it opens.
    void activate(bool ignoringOtherApps) override {
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
        [app_ activateIgnoringOtherApps:ignoringOtherApps];
#pragma clang diagnostic pop
    }
    void run() override { [app_ run]; }
    void terminate() override { [app_ terminate:nil]; }

    std::shared_ptr<Menu> makeMenu(std::string title) override {
        NSMenu* menu = title.empty() ? [[NSMenu alloc] init] : [[NSMenu alloc] initWithTitle:makeString(title)];
        return std::make_shared<AppKitMenu>(menu);
    }

    std::shared_ptr<MenuItem> makeMenuItem() override {
        return std::make_shared<AppKitMenuItem>([[NSMenuItem alloc] init]);
    }

    std::shared_ptr<MenuItem> makeSeparatorItem() override {
        return std::make_shared<AppKitMenuItem>([NSMenuItem separatorItem]);
    }

    std::shared_ptr<Window> makeWindow(Rect contentRect, unsigned long styleMask, BackingStoreType backing,
                                       bool defer) override {
        NSWindow* window = [[NSWindow alloc]
            initWithContentRect:NSMakeRect(contentRect.origin.x, contentRect.origin.y, contentRect.size.width,
                                           contentRect.size.height)
                      styleMask:static_cast<NSWindowStyleMask>(styleMask)
                        backing:static_cast<NSBackingStoreType>(backing)
                          defer:defer];
        if (window == nil) return nullptr;
        // Under ARC the reference here owns the window; a release on close as
        // well would free it twice.
        window.releasedWhenClosed = NO;
        return std::make_shared<AppKitWindow>(window);
    }

    std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats,
                                          std::function<void(Timer&)> block) override {
        NSTimer* timer = [NSTimer scheduledTimerWithTimeInterval:interval
                                                         repeats:repeats
                                                           block:^(NSTimer* firing) {
                                                             FoundationTimer handle(firing);
                                                             block(handle);
                                                           }];
        return std::make_shared<FoundationTimer>(timer);
    }

private:
    NSApplication* app_;
    // Held for the application's whole life: letting it go ends the activity.
    id<NSObject> awake_;
    PimOrloApplicationBridge* bridge_ = nil;
};

class PosixProcessProbe final : public ProcessProbe {
public:
    int kill(pid_t pid, int signal) override { return ::kill(pid, signal); }
};

}  // namespace
}  // namespace macos

std::shared_ptr<Application> makeDefaultApplication() { return std::make_shared<macos::AppKitApplication>(); }

std::unique_ptr<ProcessProbe> makeDefaultProcessProbe() { return std::make_unique<macos::PosixProcessProbe>(); }

}  // namespace pimorlo::platform
