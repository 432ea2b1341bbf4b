#include "platform/linux/url_glib.h"

#include <glib.h>

#include <string>

namespace pimorlo::platform::linux_backend {

std::optional<URL> urlFromString(std::string_view text) {
    const std::string copy(text);
    if (copy.find('\0') != std::string::npos) return std::nullopt;  // GLib would stop at the NUL
    // Left encoded: no decoding step can fail, and a percent-encoded host stays
    // as written rather than turning into a name it only spells.
    GError* error = nullptr;
    GUri* uri = g_uri_parse(copy.c_str(), G_URI_FLAGS_ENCODED, &error);
    if (!uri) {
        g_clear_error(&error);
        return std::nullopt;
    }
    URL url;
    url.absoluteString = copy;
    if (const char* host = g_uri_get_host(uri); host && *host) url.host = host;
    if (const char* scheme = g_uri_get_scheme(uri)) url.scheme = scheme;
    g_uri_unref(uri);
    return url;
}

std::optional<URL> addressFromWebKit(const char* uri) {
    if (!uri) return std::nullopt;
    if (auto parsed = urlFromString(uri)) return parsed;
    // Never GLib's relaxed parsing: it ends a host at ";", so
    // "http://127.0.0.1;evil.example/" would read as local.
    URL url;
    url.absoluteString = uri;
    if (const char* scheme = g_uri_peek_scheme(uri)) url.scheme = scheme;
    return url;
}

}  // namespace pimorlo::platform::linux_backend
