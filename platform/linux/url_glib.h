// Inside the Linux backend only: URL(string:) on GLib's GUri.
#pragma once

#include <optional>
#include <string_view>

#include "platform/webview.h"

namespace pimorlo::platform::linux_backend {

std::optional<URL> urlFromString(std::string_view text);

// An address WebKit hands over, read for the policy: none only when WebKit
// gives none. An address the strict parser refuses (WebKit keeps a stray "%"
// as written) has no host, so it is never local, and the scheme it starts
// with, so a web address is still recognised as one.
std::optional<URL> addressFromWebKit(const char* uri);

}  // namespace pimorlo::platform::linux_backend
