// The web shell's process entry: the command line into the start-up values,
// then the application with its one delegate and the event loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "web_shell/window_delegate.h"

namespace pimorlo::web_shell {

inline constexpr const char* defaultPageAddress = "http://127.0.0.1:18788/app";

struct StartupValues {
    std::vector<std::string> args;
    std::string urlString;
    std::int32_t parentPID = 0;
    platform::URL targetURL;
};

// Entry 1 is the page address, entry 2 the parent id; later entries are
// ignored, and anything missing or unreadable falls back silently.
StartupValues readStartupValues(std::vector<std::string> args, const platform::WebKit& webKit);

// Runs the web shell; returns 0 if the event loop ever returns.
int webShellMain(std::vector<std::string> args, const WebShellPlatform& platform);

}  // namespace pimorlo::web_shell
