// A runner on the scripted platform, with shortcuts to bring it to capture.
#pragma once

#include <gtest/gtest.h>

#include "audio_tap/exit_gate.h"
#include "audio_tap/runner.h"
#include "tests/scripted/scripted_platform.h"

namespace pimorlo::audio_tap {

inline platform::ShareableContent contentWithDisplays(std::uint32_t count,
                                                      std::vector<platform::RunningApplication> apps = {}) {
    platform::ShareableContent content;
    for (std::uint32_t i = 0; i < count; ++i) content.displays.push_back({100 + i, nullptr});
    content.applications = std::move(apps);
    return content;
}

// A scripted platform with its own runner. Tests that walk a table of cases
// or race threads make one per case.
struct Rig {
    ~Rig() {
        // A start completion still pending holds the runner, which holds the
        // stream that holds the completion.
        for (auto& stream : p.capture.streams) stream->completeStart();
    }

    // Brings the runner to a running capture and returns its stream.
    std::shared_ptr<scripted::ScriptedStream> capture() {
        runner->start();
        p.capture.answer(contentWithDisplays(1));
        auto stream = p.capture.streams.back();
        stream->completeStart();
        return stream;
    }

    void deliver(scripted::SampleBufferSpec spec = {},
                 platform::StreamOutputType type = platform::StreamOutputType::audio) {
        scripted::ScriptedSampleBuffer buffer(spec);
        runner->streamDidOutputSampleBuffer(buffer, type);
    }

    scripted::ScriptedPlatform p;
    ExitGate gate{p.process};
    std::shared_ptr<AudioTapRunner> runner = AudioTapRunner::make({p.process, p.capture, p.audio}, gate);
};

class RunnerTest : public ::testing::Test, protected Rig {};

}  // namespace pimorlo::audio_tap
