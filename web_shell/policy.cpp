#include "web_shell/policy.h"

#include <array>

namespace pimorlo::web_shell {
namespace {

using platform::NavigationActionPolicy;
using platform::PermissionDecision;

// The three sets differ on purpose: "::1" keeps navigation in the window, but a
// new window or a device request from it is treated as foreign.
constexpr std::array<std::string_view, 3> navigationLocalHosts{"127.0.0.1", "localhost", "::1"};
constexpr std::array<std::string_view, 2> newWindowLocalHosts{"127.0.0.1", "localhost"};
constexpr std::array<std::string_view, 2> mediaLocalHosts{"127.0.0.1", "localhost"};

template <std::size_t N>
bool isOneOf(std::string_view host, const std::array<std::string_view, N>& names) {
    std::string lowered = lowercasedHost(host);
    for (auto name : names)
        if (lowered == name) return true;
    return false;
}

// Compared as written: a parser that reports "HTTP" has not given a web scheme.
bool isWebScheme(std::optional<std::string_view> scheme) {
    return scheme && (*scheme == "http" || *scheme == "https");
}

// Compared as written, like the web schemes.
bool isSchemeHandedToTheSystem(std::optional<std::string_view> scheme) {
    return scheme && (*scheme == "mailto" || *scheme == "tel");
}

}  // namespace

std::optional<std::int32_t> parseDecimalInt32(std::string_view text) {
    if (text.empty()) return std::nullopt;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
        if (text.empty()) return std::nullopt;
    }
    // Accumulating towards the sign's side reaches -2147483648 without passing
    // through +2147483648, which does not fit.
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        int digit = c - '0';
        value = negative ? value * 10 - digit : value * 10 + digit;
        if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

// Only ASCII letters are folded. That decides exactly as full Unicode
// lower-casing would: the local names are ASCII, and no non-ASCII character
// lower-cases to any of their characters (the Kelvin sign's "k" is not one).
std::string lowercasedHost(std::string_view host) {
    std::string lowered(host);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lowered;
}

NavigationDecision navigationDecision(std::string_view host, std::optional<std::string_view> scheme) {
    if (isOneOf(host, navigationLocalHosts)) return {NavigationActionPolicy::allow, false};
    if (isWebScheme(scheme)) return {NavigationActionPolicy::cancel, true};
    return {NavigationActionPolicy::allow, false};
}

NewWindowDecision newWindowDecision(std::string_view host, std::optional<std::string_view> scheme) {
    if (isOneOf(host, newWindowLocalHosts)) return NewWindowDecision::loadInPlace;
    // Web, mail and phone addresses leave the program: each opens an ordinary
    // application and nothing else, and a mail link aimed at a new window must
    // not silently do nothing. A page must not get to start the handler of any
    // other scheme (file:, custom protocols) by opening a window.
    if (isWebScheme(scheme) || isSchemeHandedToTheSystem(scheme)) return NewWindowDecision::openExternally;
    return NewWindowDecision::ignore;
}

PermissionDecision mediaCaptureDecision(std::string_view host) {
    // Never deny outright: a foreign page's request goes to the user.
    return isOneOf(host, mediaLocalHosts) ? PermissionDecision::grant : PermissionDecision::prompt;
}

bool isLocalWebPage(std::string_view host, std::optional<std::string_view> scheme) {
    return isWebScheme(scheme) && isOneOf(host, navigationLocalHosts);
}

bool mayReloadAfterTermination(std::span<const double> earlierReloads, double now) {
    int recent = 0;
    for (double at : earlierReloads)
        if (now - at < reloadWindow) ++recent;
    return recent < reloadLimit;
}

}  // namespace pimorlo::web_shell
