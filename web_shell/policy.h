// The web shell's pure rules: reading the parent process id, and the three
// answers that keep the window on the local machine.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/webview.h"

namespace pimorlo::web_shell {

// Radix-10 into a signed 32-bit integer: an optional single sign, then ASCII
// digits only; nothing else, no clamping, no wrapping.
std::optional<std::int32_t> parseDecimalInt32(std::string_view text);

// Lower-cases a host name for comparison with the local names.
std::string lowercasedHost(std::string_view host);

struct NavigationDecision {
    platform::NavigationActionPolicy policy = platform::NavigationActionPolicy::allow;
    bool openExternally = false;
};

// A navigation with an address: allowed for a local host; a web address
// elsewhere (scheme exactly "http" or "https") is opened externally and
// cancelled; anything else is allowed. Hosts are raw, empty when absent.
NavigationDecision navigationDecision(std::string_view host, std::optional<std::string_view> scheme);

enum class NewWindowDecision { loadInPlace, openExternally, ignore };

// A request for a new window with an address: a local page replaces the
// current one, a web address elsewhere and a mailto: or tel: address go to the
// system's default application, and any other address is dropped (no window
// is made for anything).
NewWindowDecision newWindowDecision(std::string_view host, std::optional<std::string_view> scheme);

platform::PermissionDecision mediaCaptureDecision(std::string_view host);

// A page the window shows as its own: a web address (scheme exactly "http"
// or "https") on a host that navigation keeps in the window.
bool isLocalWebPage(std::string_view host, std::optional<std::string_view> scheme);

// Loading the page again after its web process ended is allowed at most
// `reloadLimit` times within any `reloadWindow` seconds: a page that ends its
// process as soon as it is shown must not keep the shell loading it.
// `earlierReloads` are the times of the reloads already made and `now` the
// time of this one, in seconds of one monotonic clock.
inline constexpr int reloadLimit = 3;
inline constexpr double reloadWindow = 60.0;
bool mayReloadAfterTermination(std::span<const double> earlierReloads, double now);

}  // namespace pimorlo::web_shell
