// How this process joins PipeWire: libpipewire set up once, its own log kept
// off standard error, and the client configuration that gives the capture's
// data thread realtime priority on the installed release.
#pragma once

#include <string_view>

namespace pimorlo::platform::linux_backend {

// Sets libpipewire up once per process, with its log routed to a logger that
// writes nothing. Safe to call from any thread, any number of times.
void initPipeWire();

// The `config.name` for a context whose data thread runs realtime work, on
// the libpipewire release given ("0.3.65", "1.4.2") or the one in use.
const char* realtimeClientConfig(std::string_view libraryVersion);
const char* realtimeClientConfig();

}  // namespace pimorlo::platform::linux_backend
