// Inside the Linux backend only: URL(string:) on GLib's GUri.
#pragma once

#include <optional>
#include <string_view>

#include "platform/webview.h"

namespace pimorlo::platform::linux_backend {

std::optional<URL> urlFromString(std::string_view text);

}  // namespace pimorlo::platform::linux_backend
