"""PimOrloAudioTap on a desktop without PipeWire, against
`parec -d SINK.monitor --rate 16000 --channels 1 --format s16le` on the same
private PulseAudio server (the `pulseaudio` daemon, a null sink) with the
same playing applications.

CPU, peak RSS and click latency: each round measures the daemon alone, then
our tap, then parec (the order swaps every round), each for the same time,
while a click player and a tone player play. Continuity and RSS growth: both
readers capture one steady tone side by side for the long run. Start loss:
both side by side while short notifications start."""

import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

import proctree
from bench_capture import (RATE, Reader, breaks, breaks_cell, click_latencies, cost_targets, notification,
                           reader_slices, side_by_side, start_losses)
from results import TOP, Skip, Stat, ratio

CLICK_INTERVAL_MS = 250
PAREC = ["parec", "-d", "pimorlo_null_sink.monitor", "--rate", "16000", "--channels", "1", "--format", "s16le"]
TEARDOWN_SECONDS = 1.0
SLICE_SECONDS = 1.0
# Our monitor streams ask the sink for blocks of this length.
FRAGMENT_MS = 10.0

LIMITS = {"End-to-end capture on PulseAudio": (
    "Limits. *CPU and RSS*: parec reads one stream that the server has already mixed, converted to 16 kHz "
    "mono and sent; leaving applications out means one monitor stream per playing stream, converted by the "
    "server to 48 kHz float in the sink's layout, mixed, paced and resampled to 16 kHz in the tap, with the "
    "same libraries as on PipeWire (GLib, libsoxr and the libgomp it pulls in). *Click latency*: parec takes "
    "the sink's mix as the sink renders it (the players keep the sink at 10 ms); ours adds to the same "
    "sink's block (a 10 ms fragment asked for), the pacing delay that rides over the server's bursts and "
    "stalls (50 ms: 35 ms let one continuity run in seven slip beside stress-ng), the mixer's lead (one 10 ms "
    "tick) and the resampler. *Start loss*: a stream's monitor "
    "can be made only once the server has announced the stream, and by then the sink may have rendered "
    "its first block: at most one fragment.")}


class Daemon:
    """The PulseAudio session as the CPU readings of bench_capture see it."""

    def __init__(self, session):
        self.procs = {"pulseaudio": session.proc}


def daemon_cpu(daemon):
    return sum(proctree.cpu_seconds(p.pid) for p in daemon.procs.values())


def idle_slices(daemon, seconds):
    rates = []
    d0, t0 = daemon_cpu(daemon), time.monotonic()
    for _ in range(max(1, round(seconds / SLICE_SECONDS))):
        time.sleep(SLICE_SECONDS)
        d1, t1 = daemon_cpu(daemon), time.monotonic()
        rates.append((d1 - d0) / (t1 - t0))
        d0, t0 = d1, t1
    return rates


class Player:
    """bench/pulse_player, stopped by pid; for clicks, the time of each click."""

    def __init__(self, binary, env, *args):
        import threading
        self.proc = subprocess.Popen([binary, *args], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        self.clicks = []
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for line in self.proc.stdout:
            try:
                self.clicks.append(int(line))
            except ValueError:
                pass

    def stop(self):
        proctree.terminate(self.proc)
        self.thread.join(timeout=5)
        self.proc.stdout.close()


def run(report, build, args):
    tap = os.path.join(build, "audio_tap", "PimOrloAudioTap")
    player = os.path.join(build, "bench", "pulse_player")
    if not os.access(tap, os.X_OK):
        raise Skip("PimOrloAudioTap is not built here")
    if not os.access(player, os.X_OK):
        raise Skip("bench/pulse_player is not built here (libpulse-dev missing)")
    if not any(os.access(os.path.join(d, "pulseaudio"), os.X_OK) for d in os.environ.get("PATH", "").split(":")):
        raise Skip("the pulseaudio daemon is not installed")
    sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
    from pulsesession import PulseSession

    seconds = 1.0 if args.quick else 20.0
    settle = 0.3 if args.quick else 1.0
    readers = {"ours": [tap], "parec": PAREC}
    cpu = {k: [] for k in readers}
    cpu_total = {k: [] for k in readers}
    daemon_extra = {k: [] for k in readers}
    hwm = {k: [] for k in readers}
    latency = {k: [] for k in readers}
    latency_windows = {k: [] for k in readers}
    long_seconds = args.continuity_minutes * 60
    budget = args.runs * 2 * (2 * seconds + settle + TEARDOWN_SECONDS + 15) + seconds + 120

    with PulseSession() as session:
        env = session.env
        daemon = Daemon(session)
        players = [Player(player, env, "clicks", str(CLICK_INTERVAL_MS), str(budget)),
                   Player(player, env, "tone", "440", "0.1", str(budget))]
        try:
            time.sleep(settle)
            idle_before = idle_slices(daemon, seconds)
            for i in range(args.runs):
                order = list(readers.items()) if i % 2 == 0 else list(reversed(readers.items()))
                for label, argv in order:
                    r = Reader(argv, env)
                    try:
                        r.wait_for_audio()
                        # The tap's start wakes the sink; it settles before the window.
                        if label == "ours":
                            session.settle()
                        time.sleep(settle)
                        window = reader_slices(r, daemon, seconds)
                        peak = proctree.status_kib(r.proc.pid, "VmHWM")
                    finally:
                        r.stop()
                    time.sleep(TEARDOWN_SECONDS)
                    idle_after = idle_slices(daemon, seconds)
                    minutes_per_second = window.frames / RATE / 60 / window.elapsed
                    if abs(window.frames - RATE * window.elapsed) > 0.05 * RATE * window.elapsed + 2 * RATE:
                        raise RuntimeError(f"{label} delivered {window.frames / window.elapsed:.0f} frames/s, "
                                           f"not {RATE}: its CPU per minute of audio would mean nothing")
                    cpu[label].append(statistics.median(window.reader) / minutes_per_second)
                    cpu_total[label].append(window.reader_total / (window.frames / RATE / 60))
                    daemon_extra[label].append((statistics.median(window.daemons) -
                                                statistics.median(idle_before + idle_after)) / minutes_per_second)
                    hwm[label].append(peak / 1024)
                    found = click_latencies(r, window.first_frame, list(players[0].clicks))
                    latency[label].extend(found)
                    if found:
                        latency_windows[label].append(statistics.median(found))
                    idle_before = idle_after
        finally:
            for p in players:
                p.stop()

        # The long capture: both readers side by side on one steady tone.
        tone = Player(player, env, "tone", "1000", "0.3", str(long_seconds + 60))
        gaps = {}
        try:
            long_readers, rss, rate = side_by_side(readers, env, long_seconds, settle)
        finally:
            tone.stop()
        captured = 0.0
        for k, r in long_readers.items():
            s = r.samples()
            # Past the first five seconds (the tone and the readers start
            # there, parec in two-second fragments) and a second before the end.
            gaps[k] = breaks(s, 5 * RATE, len(s) - RATE)
            captured = (len(s) - 6 * RATE) / RATE / 60

        # Start loss: both side by side while short notifications start (parec
        # keeps the sink awake).
        notifications = 4 if args.quick else 20
        start_readers = {}
        try:
            with tempfile.TemporaryDirectory(prefix="pimorlo-bench-") as tmp:
                sound = notification(tmp)
                for label, argv in readers.items():
                    start_readers[label] = Reader(argv, env)
                for r in start_readers.values():
                    r.wait_for_audio()
                session.settle()
                for _ in range(notifications):
                    subprocess.run(["paplay", sound], env=env, timeout=10, stdin=subprocess.DEVNULL,
                                   capture_output=True)
                    time.sleep(1.6)
                time.sleep(3.0)  # parec's last fragment
        finally:
            for r in start_readers.values():
                r.stop()
        start_loss = {k: start_losses(r.samples(), notifications) for k, r in start_readers.items()}

    part = "End-to-end capture on PulseAudio"
    ours_s, peer_s = Stat(start_loss["ours"], "ms", 1), Stat(start_loss["parec"], "ms", 1)
    report.target(part, "start of a new stream missing (median)", ours_s.cell(), peer_s.cell(), "—",
                  f"≤ parec's + one fragment ({FRAGMENT_MS:g} ms)",
                  len(ours_s.values) == notifications and ours_s.median <= peer_s.median + FRAGMENT_MS)
    ours_cpu, peer_cpu, ours_d, peer_d, ours_m, peer_m = cost_targets(report, part, "parec", "daemon's",
                                                                        cpu, daemon_extra, hwm)
    ours_l, peer_l = Stat(latency["ours"], "ms", 1), Stat(latency["parec"], "ms", 1)
    r_l = ratio(ours_l.median, peer_l.median)
    report.target(part, "click latency", ours_l.cell(), peer_l.cell(), f"{r_l:.2f}×", "≤ 1.0× parec",
                  len(ours_l.values) >= 1 and r_l <= 1.0)
    report.target(part, f"breaks (dropped or doubled samples) over {args.continuity_minutes:g} min",
                  breaks_cell(gaps["ours"]), breaks_cell(gaps["parec"]), "—", "0", not gaps["ours"])
    growth = rss["ours"][1] - rss["ours"][0]
    report.target(part, f"RSS growth over {args.continuity_minutes:g} min",
                  f"{rss['ours'][0]:.1f} → {rss['ours'][1]:.1f} MiB",
                  f"{rss['parec'][0]:.1f} → {rss['parec'][1]:.1f} MiB", "—", "no growth (< 0.1 MiB)", growth < 0.1)

    head = ["Reader", "CPU s / min of audio", "CPU s / min, whole windows", "Daemon's extra CPU s / min",
            "Click latency by window (medians)", "Peak RSS", "Click latency", f"Breaks in {args.continuity_minutes:g} min",
            "Output rate over the long run", "RSS start → end"]
    for label, name in (("ours", "PimOrloAudioTap"), ("parec", "parec")):
        report.detail(part, head, [name, Stat(cpu[label], "s", 3).cell(), Stat(cpu_total[label], "s", 3).cell(),
                                   Stat(daemon_extra[label], "s", 3).cell(),
                                   ", ".join(f"{v:.1f}" for v in latency_windows[label]) + " ms",
                                   Stat(hwm[label], "MiB", 1).cell(), Stat(latency[label], "ms", 1).cell(),
                                   breaks_cell(gaps[label]), f"{rate[label]:.1f} frames/s",
                                   f"{rss[label][0]:.1f} → {rss[label][1]:.1f} MiB"])
    report.note(part, "One private PulseAudio server (the `pulseaudio` daemon with the native protocol and a null "
                "sink, idle sinks asleep, as `tests/e2e/pulsesession.py` starts it; no PipeWire) for the whole part. "
                f"Playing throughout the first phase: `bench/pulse_player` clicking every {CLICK_INTERVAL_MS} ms "
                "and a second one playing a 440 Hz tone, both 48 kHz stereo float asking for 10 ms of latency. "
                f"The daemon is measured alone for {seconds:g} s; then, {args.runs} times, each reader (the order "
                f"swaps every round) for {seconds:g} s after {settle:g} s of settling, followed by the daemon alone "
                f"again. CPU is the process's CPU clock read in {SLICE_SECONDS:g} s slices, the median slice's "
                "rate per minute of audio delivered; the daemon's extra is its CPU above its idle rate. Peak RSS "
                "is `VmHWM`. Click latency runs from the player handing the block that holds the click to the "
                "server (plus the click's offset in it) to the arrival, in this script's reading thread, of the "
                "chunk holding the click's first sample.")
    report.note(part, f"Long run: both readers side by side for {args.continuity_minutes:g} min "
                f"({captured:.1f} min analysed each) on one 1000 Hz tone at 0.3 full scale; a break is a place where "
                "the tone stops repeating every 16 samples (a dropped or doubled sample, or a gap). Start loss: both "
                f"readers side by side while {notifications} notifications start by `paplay`, 1.6 s apart "
                "(125 ms at 1000 Hz then 125 ms at 3000 Hz; the milliseconds missing are 125 "
                "less how much of the first half arrived). "
                f"Ours: {', '.join(f'{v:.0f}' for v in start_loss['ours'])} ms; "
                f"parec: {', '.join(f'{v:.0f}' for v in start_loss['parec'])} ms.")
    report.command(f"{os.path.relpath(tap, TOP)}")
    report.command(shlex.join(PAREC))
    report.command(f"{os.path.relpath(player, TOP)} clicks {CLICK_INTERVAL_MS} SECONDS")
    report.command(f"{os.path.relpath(player, TOP)} tone 1000 0.3 SECONDS")
