// Stand-in: the application object with its delegate, menus, the window with
// its delegate, views and the workspace.
#pragma once

#include <CoreServices/CoreServices.h>
#include <Foundation/Foundation.h>

@interface NSResponder : NSObject
@end

typedef NS_OPTIONS(NSUInteger, NSAutoresizingMaskOptions){
    NSViewNotSizable = 0,
    NSViewWidthSizable = 2,
    NSViewHeightSizable = 16,
};

@interface NSView : NSResponder
@property NSAutoresizingMaskOptions autoresizingMask;
@end

@class NSMenu;

@interface NSMenuItem : NSObject
+ (NSMenuItem*)separatorItem;
@property (strong) NSMenu* submenu;
@end

@interface NSMenu : NSObject
- (instancetype)initWithTitle:(NSString*)title;
- (void)addItem:(NSMenuItem*)newItem;
- (NSMenuItem*)addItemWithTitle:(NSString*)string action:(SEL)selector keyEquivalent:(NSString*)charCode;
@end

typedef NS_OPTIONS(NSUInteger, NSWindowStyleMask){
    NSWindowStyleMaskBorderless = 0,
    NSWindowStyleMaskTitled = 1,
    NSWindowStyleMaskClosable = 2,
    NSWindowStyleMaskMiniaturizable = 4,
    NSWindowStyleMaskResizable = 8,
};

typedef NS_ENUM(NSUInteger, NSBackingStoreType){
    NSBackingStoreRetained = 0,
    NSBackingStoreNonretained = 1,
    NSBackingStoreBuffered = 2,
};

@protocol NSWindowDelegate <NSObject>
@end

@interface NSWindow : NSResponder
- (instancetype)initWithContentRect:(NSRect)contentRect
                          styleMask:(NSWindowStyleMask)style
                            backing:(NSBackingStoreType)backingStoreType
                              defer:(BOOL)flag;
@property (getter=isReleasedWhenClosed) BOOL releasedWhenClosed;
@property (copy) NSString* title;
@property NSSize minSize;
- (void)center;
@property (weak) id<NSWindowDelegate> delegate;
@property (strong) NSView* contentView;
- (void)makeKeyAndOrderFront:(id)sender;
@end

typedef NS_ENUM(NSInteger, NSApplicationActivationPolicy){
    NSApplicationActivationPolicyRegular = 0,
    NSApplicationActivationPolicyAccessory = 1,
    NSApplicationActivationPolicyProhibited = 2,
};

@class NSApplication;

// The platform marks these optional; required here so that a bridge which
// leaves one out, or misspells it, does not pass.
@protocol NSApplicationDelegate <NSObject>
- (void)applicationDidFinishLaunching:(NSNotification*)notification;
- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication*)sender;
@end

@interface NSApplication : NSResponder
@property (class, readonly, strong) NSApplication* sharedApplication;
- (BOOL)setActivationPolicy:(NSApplicationActivationPolicy)activationPolicy;
@property (weak) id<NSApplicationDelegate> delegate;
@property (strong) NSMenu* mainMenu;
// The SDK marks it for deprecation in a release to come; it is deprecated
// here already, so a call that is not fenced fails now and not on that SDK.
- (void)activateIgnoringOtherApps:(BOOL)ignoreOtherApps
    __attribute__((deprecated("This method will be deprecated in a future release. Use NSApp.activate instead.")));
- (void)run;
- (void)terminate:(id)sender;
@end

@interface NSWorkspace : NSObject
@property (class, readonly, strong) NSWorkspace* sharedWorkspace;
- (BOOL)openURL:(NSURL*)url;
@end
