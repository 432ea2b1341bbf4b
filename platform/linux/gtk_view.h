// Inside the Linux backend only: a view that a GTK window can hold.
#pragma once

#include <gtk/gtk.h>

namespace pimorlo::platform::linux_backend {

class GtkBackedView {
public:
    virtual ~GtkBackedView() = default;
    virtual GtkWidget* widget() const = 0;
};

// The action group through which menu actions reach the focused content: an
// item whose selector is "undo:" activates "responder.undo" on the focused
// widget or the nearest ancestor that offers it.
inline constexpr const char* responderActionGroup = "responder";

}  // namespace pimorlo::platform::linux_backend
