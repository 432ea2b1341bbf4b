#include "audio_tap/entry.h"

#include <csignal>

#include "audio_tap/rules.h"

namespace pimorlo::audio_tap {
namespace {

std::unique_ptr<platform::SignalSource> stopOnSignal(platform::Process& process, int signo, Globals& globals) {
    auto source = process.makeSignalSource(signo);
    source->setEventHandler([&globals] { globals.runner->stopAndExit(0); });
    source->resume();
    return source;
}

}  // namespace

int runAudioTapEntry(Services services, Globals& globals, ExitGate& exitGate) {
    platform::Process& process = services.process;

    // A reader that goes away must surface as EPIPE on write, not kill us.
    process.ignoreSignal(SIGPIPE);
    if (hasCheckSwitch(process.arguments())) {
        exitGate.exit(0);
        return 0;
    }

    globals.runner = AudioTapRunner::make(services, exitGate);

    // Ignored first so a delivery between here and the sources' start is lost
    // rather than fatal; the sources still report deliveries.
    process.ignoreSignal(SIGTERM);
    process.ignoreSignal(SIGINT);
    globals.termSource = stopOnSignal(process, SIGTERM, globals);
    globals.intSource = stopOnSignal(process, SIGINT, globals);

    globals.runner->start();
    process.runMainLoop();
    return 0;
}

int runAudioTapEntry(Services services) {
    static auto* globals = new Globals;  // never torn down: threads may still use it at exit
    static auto* exitGate = new ExitGate(services.process);
    return runAudioTapEntry(services, *globals, *exitGate);
}

}  // namespace pimorlo::audio_tap
