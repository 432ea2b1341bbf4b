// Must not compile, one case at a time (-DCASE=...): what the real SDK's
// umbrella headers reject, which the stand-ins must reject as well.
#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>
#import <WebKit/WebKit.h>

#include <memory>

#include "platform/webview.h"
#include "platform/window.h"

#if CASE == 1
// WebKit's legacy classes are global.
using pimorlo::platform::WebView;
void keep(std::weak_ptr<WebView> view);
#elif CASE == 2
// So are MacTypes' classic types.
using pimorlo::platform::Rect;
Rect frame();
#elif CASE == 3
// AssertMacros' unprefixed macros rewrite any later call of the same name.
struct Probe {
    bool check(int value) const;
};
#elif CASE == 4
// Marked for deprecation; a call must be fenced.
void bringForward() { [NSApplication.sharedApplication activateIgnoringOtherApps:YES]; }
#endif
