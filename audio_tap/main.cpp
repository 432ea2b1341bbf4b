#include "audio_tap/entry.h"
#include "platform/audio.h"
#include "platform/capture.h"
#include "platform/process.h"

int main(int argc, char** argv) {
    using namespace pimorlo;
    // Owned for the whole life of the process; nothing is torn down at exit.
    auto* process = platform::makeDefaultProcess(argc, argv).release();
    auto* capture = platform::makeDefaultCaptureSystem(*process).release();
    auto* audio = platform::makeDefaultAudioToolkit().release();
    return audio_tap::runAudioTapEntry({*process, *capture, *audio});
}
