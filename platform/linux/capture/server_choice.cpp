#include "platform/linux/capture/server_choice.h"

namespace pimorlo::platform::linux_backend {

bool askPulseAudio(const ServerAnswer& pipewire) { return !pipewire.answered || !pipewire.hasDisplays; }

std::optional<SoundServer> chooseServer(const ServerAnswer& pipewire, const ServerAnswer& pulseaudio) {
    if (pipewire.answered && pipewire.hasDisplays) return SoundServer::pipewire;
    if (pulseaudio.answered) {
        if (!pipewire.answered) return SoundServer::pulseaudio;
        // PipeWire answered without a sink: pipewire-pulse would only say
        // the same again, a PulseAudio of its own may have them.
        if (pulseaudio.hasDisplays && !pulseaudio.onPipeWire) return SoundServer::pulseaudio;
    }
    if (pipewire.answered) return SoundServer::pipewire;
    return std::nullopt;
}

std::string neitherAnswered(const ServerAnswer& pipewire, const ServerAnswer& pulseaudio) {
    return pipewire.error + "; " + pulseaudio.error;
}

}  // namespace pimorlo::platform::linux_backend
