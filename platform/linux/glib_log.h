// The log of GLib, and of every library that logs through it (GTK, GDK, GIO,
// the UI side of WebKit), kept off this process's standard error.
#pragma once

namespace pimorlo::platform::linux_backend {

// Installs, once per process, a log writer that drops every message but one
// that ends the process (an error, or a level G_DEBUG=fatal-warnings or
// fatal-criticals made fatal), which GLib's own writer then writes and ends
// the process with; and print handlers that drop what g_print and g_printerr
// are given. Takes G_MESSAGES_DEBUG out of the environment, so that the
// processes WebKit starts, where no writer of ours runs, print no debug
// messages either; G_DEBUG stays, for them too. Must run before anything
// logs and before any thread starts, before GTK starts; safe to call again.
void keepGLibLogOffStandardStreams();

}  // namespace pimorlo::platform::linux_backend
