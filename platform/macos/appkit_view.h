// A view the window backend can install: the web view backend's views carry
// their AppKit view through this, beside the seam's own View.
#pragma once

#import <AppKit/AppKit.h>

namespace pimorlo::platform::macos {

class AppKitViewSource {
public:
    virtual ~AppKitViewSource() = default;
    virtual NSView* appKitView() const = 0;
};

}  // namespace pimorlo::platform::macos
