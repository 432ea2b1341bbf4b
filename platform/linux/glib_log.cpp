#include "platform/linux/glib_log.h"

#include <glib.h>

#include <mutex>

namespace pimorlo::platform::linux_backend {
namespace {

// Read once, as GLib set it from G_DEBUG when it was loaded.
GLogLevelFlags alwaysFatal = G_LOG_LEVEL_ERROR;

bool endsTheProcess(GLogLevelFlags level) {
    return (level & (G_LOG_FLAG_FATAL | G_LOG_LEVEL_ERROR | alwaysFatal)) != 0;
}

// A writer set with g_log_set_writer_func takes over more than the writing:
// GTK logs through the structured interface, where the levels G_DEBUG makes
// fatal end the process only in GLib's default writer. So a message that
// ends the process goes there, which writes it and ends the process; the end
// of a process that was asked to stop on criticals says why.
GLogWriterOutput dropUnlessFatal(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    if (endsTheProcess(level)) return g_log_writer_default(level, fields, count, nullptr);
    return G_LOG_WRITER_HANDLED;
}

void dropText(const char*) {}

}  // namespace

void keepGLibLogOffStandardStreams() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        // GLib offers no reading of the mask but setting it; put back at once.
        alwaysFatal = g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK));
        g_log_set_always_fatal(alwaysFatal);
        g_log_set_writer_func(dropUnlessFatal, nullptr, nullptr);
        g_set_print_handler(dropText);
        g_set_printerr_handler(dropText);
        // WebKit's web and network processes inherit this environment and
        // log through GLib's default writer, to the same standard error.
        g_unsetenv("G_MESSAGES_DEBUG");
    });
}

}  // namespace pimorlo::platform::linux_backend
