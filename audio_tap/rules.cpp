#include "audio_tap/rules.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pimorlo::audio_tap {
namespace {

// Every needle is ASCII, and no character outside A-Z lower-cases to a
// needle's run of ASCII letters (U+0130 becomes "i" plus a combining dot, the
// Kelvin sign "k", neither of which can complete a needle). So lowering A-Z
// alone matches exactly what full Unicode lower-casing would.
std::string lowercasedForMatching(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

}  // namespace

bool hasCheckSwitch(const std::vector<std::string>& arguments) {
    return std::find(arguments.begin(), arguments.end(), "--check") != arguments.end();
}

bool isSelfOrCompanion(const platform::RunningApplication& application, pid_t ownProcessID) {
    if (application.processID == ownProcessID) return true;
    const std::string bundle = lowercasedForMatching(application.bundleIdentifier.value_or(""));
    const std::string name = lowercasedForMatching(application.applicationName.value_or(""));
    return contains(bundle, kCompanionPrefix) || contains(name, "pim orlo") || contains(name, "pimorlo");
}

std::vector<platform::RunningApplication> applicationsToExclude(
    const std::vector<platform::RunningApplication>& applications, pid_t ownProcessID) {
    std::vector<platform::RunningApplication> excluded;
    for (const auto& application : applications) {
        if (isSelfOrCompanion(application, ownProcessID)) excluded.push_back(application);
    }
    return excluded;
}

platform::StreamConfiguration audioOnlyStreamConfiguration() {
    platform::StreamConfiguration configuration;
    configuration.capturesAudio = true;
    configuration.excludesCurrentProcessAudio = true;
    configuration.sampleRate = 16000;
    configuration.channelCount = 1;
    configuration.width = 2;
    configuration.height = 2;
    configuration.minimumFrameInterval = platform::MediaTime{1, 1};
    configuration.showsCursor = false;
    return configuration;
}

std::optional<std::uint32_t> outputFrameCapacity(double inputRate, std::uint32_t frames) {
    const double rate = std::fmax(inputRate, 1.0);  // a NaN rate counts as 1
    const double ratio = kOutputSampleRate / rate;
    const double rounded = std::ceil(ratio * static_cast<double>(frames));
    constexpr double limit = static_cast<double>(std::numeric_limits<std::uint32_t>::max() - kOutputCapacityMargin);
    if (!(rounded <= limit)) return std::nullopt;
    return static_cast<std::uint32_t>(rounded) + kOutputCapacityMargin;
}

std::optional<std::uint32_t> usableFrameCount(std::int64_t numSamples) {
    if (numSamples <= 0 || numSamples > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(numSamples);
}

Failure contentRequestFailure(const platform::Error& error) {
    if (error.code == kPermissionDeniedCode) {
        return {"ERROR: Screen Recording permission denied (macOS TCC -3801). Grant Screen Recording access in "
                "System Settings -> Privacy & Security.\n",
                2};
    }
    return {"ERROR: ScreenCaptureKit unavailable or permission denied: " + error.localizedDescription + "\n", 2};
}

Failure noDisplayFailure() { return {"ERROR: No shareable display found for ScreenCaptureKit audio tap.\n", 3}; }

Failure attachOutputFailure(const platform::Error& error) {
    return {"ERROR: Failed to attach audio stream output: " + error.localizedDescription + "\n", 4};
}

Failure startFailure(const platform::Error& error) {
    return {"ERROR: Failed to start ScreenCaptureKit audio stream: " + error.localizedDescription + "\n", 5};
}

Failure streamStoppedFailure(const platform::Error& error) {
    return {"ERROR: ScreenCaptureKit stream stopped: " + error.localizedDescription + "\n", 6};
}

}  // namespace pimorlo::audio_tap
