// The audio tap's decisions as plain functions of plain values.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/capture.h"

namespace pimorlo::audio_tap {

// The companion application's bundle-identifier prefix.
inline constexpr std::string_view kCompanionPrefix = "com.pimorlo.companion";
inline constexpr std::string_view kAudioQueueLabel = "com.pimorlo.companion.pimorlo.audiotap";

inline constexpr double kOutputSampleRate = 16000.0;
inline constexpr std::uint32_t kOutputChannels = 1;
inline constexpr std::uint32_t kOutputCapacityMargin = 64;

// "--check" anywhere in the argument list, program name included, exact match.
bool hasCheckSwitch(const std::vector<std::string>& arguments);

// Whether an application's audio stays out of the capture: the tap itself,
// and the companion application by bundle identifier or by name.
bool isSelfOrCompanion(const platform::RunningApplication& application, pid_t ownProcessID);

// The applications to exclude, in the content's own order.
std::vector<platform::RunningApplication> applicationsToExclude(
    const std::vector<platform::RunningApplication>& applications, pid_t ownProcessID);

// Audio only, 16 kHz mono, with the smallest video the platform allows.
platform::StreamConfiguration audioOnlyStreamConfiguration();

// Frames the converter may produce from `frames` input frames at `inputRate`,
// with a margin; empty when that does not fit an unsigned 32-bit count.
std::optional<std::uint32_t> outputFrameCapacity(double inputRate, std::uint32_t frames);

// The frame count of a sample buffer as the audio path takes it: empty for
// none, a negative count, or one that does not fit a signed 32-bit integer.
std::optional<std::uint32_t> usableFrameCount(std::int64_t numSamples);

// The one line written to standard error for each failed step, and its status.
struct Failure {
    std::string message;
    int status;
};

inline constexpr long kPermissionDeniedCode = -3801;

Failure contentRequestFailure(const platform::Error& error);
Failure noDisplayFailure();
Failure attachOutputFailure(const platform::Error& error);
Failure startFailure(const platform::Error& error);
Failure streamStoppedFailure(const platform::Error& error);

}  // namespace pimorlo::audio_tap
