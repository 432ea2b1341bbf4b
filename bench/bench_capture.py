"""PimOrloAudioTap against `pw-record --rate 16000 --channels 1 --format s16 -`
in one private PipeWire graph (pipewire, WirePlumber, pipewire-pulse, a null
sink) with the same playing applications.

CPU, peak RSS and click latency: each round measures the daemons alone, then
our tap, then pw-record (the order swaps every round), each for the same
time, while a click player and a tone player play. Continuity and RSS growth:
both readers capture one steady tone side by side for the long run."""

import array
import math
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import proctree
from results import TOP, Skip, Stat, ratio

RATE = 16000
CLICK_INTERVAL_MS = 250
# The start-loss phase runs the graph at this quantum, so a cycle is known.
START_QUANTUM = 1024
CYCLE_MS = START_QUANTUM * 1000.0 / 48000
# The sink's monitor, named: what the sink plays is what our tap hears.
PW_RECORD = ["pw-record", "--target", "pimorlo_null_sink", "-P", "{ stream.capture.sink = true }", "--rate", "16000",
             "--channels", "1", "--format", "s16", "-"]
# After a reader ends, the session manager and the daemon tear its node and
# links down; the daemons' idle rate is read only after this.
TEARDOWN_SECONDS = 2.0
# CPU is read in slices of this length; their median is the rate, so that a
# slice in which something else charged time to the process (a shared,
# virtualised machine does) moves the figure no more than any other slice.
SLICE_SECONDS = 1.0


# What was tried against the targets this part misses, and what limits them.
LIMITS = {"End-to-end capture": (
    "Limits. *CPU*: leaving applications out means taking each playing stream apart before the daemon mixes "
    "it: one capture node per stream and a clock node that mixes them, in our realtime thread, where pw-record "
    "reads one node on a monitor the daemon has already mixed; the split by thread above shows it. While "
    "streams play, the clock node also takes one channel of their sink's monitor through a passive link, only "
    "so that PipeWire runs it on that sink's driver and the sink's streams are copied rather than resampled; "
    "its share of the figure was not measured apart (a shorter run without it, 3 rounds on the same machine "
    "earlier in the day, read 1.80× for the reader against pw-record beside it). Our other "
    "threads: PipeWire's loop thread resamples the mix (woken once per 10 ms block of it, so once a cycle at "
    "this quantum) and the sample handler's queue converts and writes; GLib's main thread and its worker sleep. "
    "libsoxr is asked at run time for one thread: /proc/PID/task lists no OpenMP thread. Tried and kept: "
    "capture nodes as wide as their stream (two inputs for a stereo stream, not eight), the mix resampled "
    "where its ring holds it rather than copied out first. *Peak RSS* (smaps of both on this machine, two "
    "players, Debian 12): anonymous memory and heap 2.6 MiB against 0.95 MiB (three more threads' stacks, the "
    "extra nodes' converter buffers, the mix's rings; 3.3 MiB with eight-input nodes), file pages of libraries "
    "pw-record does not load: GLib and pcre2 for the main loop 0.8 MiB, libpulse and the X11 and xcb libraries "
    "it pulls in 0.8 MiB (linked for the PulseAudio backend, loaded on PipeWire too), libsoxr 0.2 MiB and the "
    "libgomp it pulls in 0.3 MiB (loaded, never started), and our binary 0.4 MiB more than pw-cat (with the C++ "
    "runtime linked in). Tried before: smaller thread stacks (only 8 to 36 KiB of each is resident: nothing to "
    "gain), fewer malloc arenas (larger), a mix ring sized for its reader and buffers touched only where used "
    "(kept), the C++ runtime linked statically (kept, 0.7 MiB less). Not yet tried: loading libpulse only when "
    "no PipeWire answers, and running the main queue, timers and signals on PipeWire's loop instead of GLib's. "
    "*Click latency*: "
    "the mixer keeps one spare cycle of lead for a node or player that runs a cycle late; without it a click "
    "came in 21.6 ms here (43.0 ms with it, in the same conditions). Measured again with the rate loop keeping a "
    "stream on the clock's driver at a ratio of exactly 1: with `stress-ng --cpu 2` beside the two-driver "
    "end-to-end test (load 6 to 7), the tap's tone had a hole that pw-record on the sink's monitor did not have "
    "in 2 runs of 2 without the spare and in 1 of 2 with it, so it stays.")}


def stop_reader(proc, thread):
    """Ends a child that a reader thread drains: TERM, then KILL past 5 s."""
    proctree.terminate(proc)
    thread.join(timeout=5)
    proc.stdout.close()


class Reader:
    """A program writing 16 kHz mono s16 to its standard output, read by a
    thread that notes when each chunk arrived."""

    def __init__(self, argv, env):
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        self.data = bytearray()
        self.arrivals = []  # (monotonic ns, whole frames received by then)
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                return
            if not chunk:
                return
            now = time.monotonic_ns()
            with self.lock:
                self.data += chunk
                self.arrivals.append((now, len(self.data) // 2))

    def frames(self):
        with self.lock:
            return len(self.data) // 2

    def wait_for_audio(self, timeout=10.0):
        end = time.monotonic() + timeout
        while self.frames() == 0:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{self.proc.args[0]} exited with {self.proc.returncode} before any audio")
            if time.monotonic() > end:
                raise RuntimeError(f"{self.proc.args[0]}: no audio within {timeout:.0f} s")
            time.sleep(0.01)

    def samples(self):
        with self.lock:
            raw = bytes(self.data[:len(self.data) // 2 * 2])
        a = array.array("h")
        a.frombytes(raw)
        if sys.byteorder != "little":
            a.byteswap()
        return a

    def stop(self):
        stop_reader(self.proc, self.thread)


class Player:
    """bench/signal_player, stopped by pid; for clicks, the time of each click."""

    def __init__(self, binary, env, *args, seconds):
        self.proc = subprocess.Popen([binary, *args, str(seconds)], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
        self.clicks = []
        self.cycles = []  # (monotonic ns, frames at 48 kHz) each time the graph's cycle changed length
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for line in self.proc.stdout:
            words = line.split()
            try:
                if len(words) == 3 and words[0] == b"cycle":
                    self.cycles.append((int(words[2]), int(words[1])))
                elif len(words) == 1:
                    self.clicks.append(int(words[0]))
            except ValueError:
                pass

    def cycles_between(self, start_ns, end_ns):
        """Cycle lengths (frames) the graph ran at from start_ns to end_ns."""
        seen = set()
        current = None
        for at, frames in list(self.cycles):
            if at <= start_ns:
                current = frames
            elif at <= end_ns:
                seen.add(frames)
        if current is not None:
            seen.add(current)
        return seen

    def stop(self):
        stop_reader(self.proc, self.thread)


def daemon_cpu(session):
    return sum(proctree.cpu_seconds(p.pid) for p in session.procs.values())


def idle_slices(session, seconds):
    """The daemons' CPU rate (s per s) in each slice of `seconds` with no reader."""
    rates = []
    d0, t0 = daemon_cpu(session), time.monotonic()
    for _ in range(max(1, round(seconds / SLICE_SECONDS))):
        time.sleep(SLICE_SECONDS)
        d1, t1 = daemon_cpu(session), time.monotonic()
        rates.append((d1 - d0) / (t1 - t0))
        d0, t0 = d1, t1
    return rates


class Window:
    """A reader's measured window: frames delivered, and CPU rates (s per s)
    of the reader and of the daemons in each slice."""

    def __init__(self):
        self.first_frame = 0
        self.frames = 0
        self.elapsed = 0.0
        self.start_ns = self.end_ns = 0
        self.reader = []
        self.daemons = []
        self.reader_total = 0.0
        self.realtime = 0.0  # CPU seconds of the reader's realtime threads over the window
        self.other = 0.0  # and of its other threads


def reader_slices(reader, session, seconds):
    w = Window()
    pid = reader.proc.pid
    w.start_ns = time.monotonic_ns()
    threads0 = proctree.thread_cpu(pid)
    f0, c0, d0, t0 = reader.frames(), proctree.cpu_seconds(pid), daemon_cpu(session), time.monotonic()
    w.first_frame, start_cpu, start_t = f0, c0, t0
    for _ in range(max(1, round(seconds / SLICE_SECONDS))):
        time.sleep(SLICE_SECONDS)
        c1, d1, t1 = proctree.cpu_seconds(pid), daemon_cpu(session), time.monotonic()
        w.reader.append((c1 - c0) / (t1 - t0))
        w.daemons.append((d1 - d0) / (t1 - t0))
        c0, d0, t0 = c1, d1, t1
    w.frames = reader.frames() - f0
    w.elapsed = time.monotonic() - start_t
    w.reader_total = proctree.cpu_seconds(pid) - start_cpu
    for tid, (realtime, spent) in proctree.thread_cpu(pid).items():
        spent -= threads0.get(tid, (realtime, 0.0))[1]
        if realtime:
            w.realtime += spent
        else:
            w.other += spent
    w.end_ns = time.monotonic_ns()
    return w


def check_monitor_link(env):
    """pw-record must read the null sink's monitor, as our tap hears that sink."""
    deadline = time.monotonic() + 5
    while True:
        links = subprocess.run(["pw-link", "-l"], env=env, capture_output=True, text=True, timeout=10).stdout
        fed = []
        port = None
        for line in links.splitlines():
            line = line.strip()
            if not line.startswith("|"):
                port = line
            elif line.startswith("|-> pw-record:"):
                fed.append(port)
        if fed and all(port.startswith("pimorlo_null_sink:monitor_") for port in fed):
            return
        if time.monotonic() > deadline:
            raise RuntimeError(f"pw-record is not fed by the sink's monitor: {fed or 'no link'}")
        time.sleep(0.1)


def click_latencies(reader, first_frame, clicks):
    """Milliseconds from each click's hand-over to the arrival of the chunk
    holding its first sample, for clicks found in the reader's stream."""
    s = reader.samples()
    with reader.lock:
        arrivals = list(reader.arrivals)
    threshold = int(0.08 * 32768)
    out = []
    last = -RATE
    a = 0
    c = 0
    for j in range(max(first_frame, 1), len(s)):
        if abs(s[j] - s[j - 1]) <= threshold or j - last < RATE // 10:
            continue
        last = j
        while a < len(arrivals) and arrivals[a][1] <= j:
            a += 1
        if a == len(arrivals):
            break
        arrived = arrivals[a][0]
        while c + 1 < len(clicks) and clicks[c + 1] <= arrived:
            c += 1
        if c < len(clicks) and clicks[c] <= arrived:
            ms = (arrived - clicks[c]) / 1e6
            if ms < CLICK_INTERVAL_MS:
                out.append(ms)
    return out


def side_by_side(readers, env, seconds, settle):
    """Every reader at once for `seconds`, after `settle`: the readers (stopped,
    their samples kept), each one's RSS in MiB from a few seconds in to the
    end, and the frames per second it delivered meanwhile."""
    running = {}
    rss = {}
    rate = {}
    try:
        time.sleep(settle)
        for label, argv in readers.items():
            running[label] = Reader(argv, env)
        for r in running.values():
            r.wait_for_audio()
        warm = min(5.0, seconds / 4)
        time.sleep(warm)
        start = {k: (r.frames(), time.monotonic(), proctree.status_kib(r.proc.pid, "VmRSS"))
                 for k, r in running.items()}
        time.sleep(max(0.0, seconds - warm))
        for k, r in running.items():
            f0, t0, rss0 = start[k]
            rss[k] = (rss0 / 1024, proctree.status_kib(r.proc.pid, "VmRSS") / 1024)
            rate[k] = (r.frames() - f0) / (time.monotonic() - t0)
    finally:
        for r in running.values():
            r.stop()
    return running, rss, rate


def breaks(samples, start, end):
    """Frames at which a tone repeating every 16 samples at 16 kHz stops
    repeating: each is a dropped or doubled sample (or more)."""
    tolerance = 300
    events = []
    last = -1000
    head = samples[start + 16:end]
    tail = samples[start:end - 16]
    for i, (x, y) in enumerate(zip(head, tail)):
        if abs(x - y) > tolerance:
            if i - last > 64:
                events.append(start + 16 + i)
            last = i
    return events


def tone_level(samples, hz, start, length):
    """Amplitude (full scale 1.0) of the tone at `hz` in samples[start:start+length]."""
    w = 2 * math.pi * hz / RATE
    re = im = 0.0
    for i, x in enumerate(samples[start:start + length]):
        re += x * math.cos(w * (start + i))
        im -= x * math.sin(w * (start + i))
    return 2 * math.hypot(re, im) / length / 32768.0


def start_losses(samples, count):
    """Milliseconds missing from the start of each of `count` notifications:
    125 ms at 1000 Hz, then 125 ms at 3000 Hz. How much of the first half
    arrived tells how much of the start is missing, whatever the end does."""
    losses = []
    at = 0
    for _ in range(count):
        first = next((i for i in range(at, len(samples)) if abs(samples[i]) > 0.1 * 32768), None)
        if first is None:
            break
        high = next((i for i in range(first, len(samples), 8) if tone_level(samples, 3000, i, 32) > 0.15), None)
        if high is None:
            break
        losses.append(max(0.0, 125.0 - (high - first) * 1000.0 / RATE))
        at = high + RATE // 4
    return losses


def notification(directory):
    path = os.path.join(directory, "notification.wav")
    parts = []
    for name, hz in (("low", 1000), ("high", 3000)):
        part = os.path.join(directory, name + ".wav")
        subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-e", "floating-point", "-b", "32", part,
                        "synth", "0.125", "sine", str(hz), "vol", "0.3"], check=True, timeout=30)
        parts.append(part)
    subprocess.run(["sox", *parts, path], check=True, timeout=30)
    return path


def breaks_cell(events):
    if not events:
        return "0"
    where = ", ".join(f"{e / RATE:.1f} s" for e in events[:5])
    return f"{len(events)} (at {where}{', …' if len(events) > 5 else ''})"


def cost_targets(report, part, peer, daemons, cpu, daemon, hwm):
    """The three cost rows every capture part reports against its peer: the
    reader's CPU, the reader's with what it made the sound server spend, and
    peak RSS. Returns the Stats, which the part's tables show too."""
    ours_cpu, peer_cpu = Stat(cpu["ours"], "s", 3), Stat(cpu[peer], "s", 3)
    ours_d, peer_d = Stat(daemon["ours"], "s", 3), Stat(daemon[peer], "s", 3)
    ours_m, peer_m = Stat(hwm["ours"], "MiB", 1), Stat(hwm[peer], "MiB", 1)
    r_cpu = ratio(ours_cpu.median, peer_cpu.median)
    report.target(part, "CPU s per minute of audio, the reader", ours_cpu.cell(), peer_cpu.cell(), f"{r_cpu:.2f}×",
                  f"≤ 1.0× {peer}", r_cpu <= 1.0)
    r_total = ratio(ours_cpu.median + ours_d.median, peer_cpu.median + peer_d.median)
    report.target(part, f"CPU s per minute of audio, reader + {daemons} extra",
                  f"{ours_cpu.median + ours_d.median:.3f} s", f"{peer_cpu.median + peer_d.median:.3f} s",
                  f"{r_total:.2f}×", f"≤ 1.0× {peer}", r_total <= 1.0)
    r_m = ratio(ours_m.median, peer_m.median)
    report.target(part, "peak RSS", ours_m.cell(), peer_m.cell(), f"{r_m:.2f}×", f"≤ 1.0× {peer}", r_m <= 1.0)
    return ours_cpu, peer_cpu, ours_d, peer_d, ours_m, peer_m


def run(report, build, args):
    tap = os.path.join(build, "audio_tap", "PimOrloAudioTap")
    player = os.path.join(build, "bench", "signal_player")
    if not os.access(tap, os.X_OK):
        raise Skip("PimOrloAudioTap is not built here (the Linux capture backend is not in this tree)")
    if not os.access(player, os.X_OK):
        raise Skip("bench/signal_player is not built here (libpipewire-0.3-dev missing)")
    sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
    from pwsession import Session

    seconds = 1.0 if args.quick else 20.0
    settle = 0.3 if args.quick else 1.0
    readers = {"ours": [tap], "pw-record": PW_RECORD}
    cpu = {k: [] for k in readers}
    cpu_total = {k: [] for k in readers}
    cpu_realtime = {k: [] for k in readers}
    cpu_other = {k: [] for k in readers}
    cycles = {k: set() for k in readers}
    latency_windows = {k: [] for k in readers}
    daemon = {k: [] for k in readers}
    hwm = {k: [] for k in readers}
    latency = {k: [] for k in readers}
    rounds_total = args.runs
    long_seconds = args.continuity_minutes * 60
    budget = rounds_total * 2 * (2 * seconds + settle + TEARDOWN_SECONDS + 15) + seconds + long_seconds + 120

    with Session() as session:
        env = session.env
        players = [Player(player, env, "clicks", str(CLICK_INTERVAL_MS), seconds=budget),
                   Player(player, env, "tone", "440", "0.1", seconds=budget)]
        try:
            time.sleep(settle)
            # Daemons alone, then each reader, each followed by the daemons
            # alone again once its teardown has settled: a reader's window is
            # compared with the idle windows on either side of it.
            idle_before = idle_slices(session, seconds)
            for i in range(rounds_total):
                order = list(readers.items()) if i % 2 == 0 else list(reversed(readers.items()))
                for label, argv in order:
                    r = Reader(argv, env)
                    try:
                        r.wait_for_audio()
                        if label == "pw-record":
                            check_monitor_link(env)
                        time.sleep(settle)
                        window = reader_slices(r, session, seconds)
                        cycles[label] |= players[0].cycles_between(window.start_ns, window.end_ns)
                        peak = proctree.status_kib(r.proc.pid, "VmHWM")
                    finally:
                        r.stop()
                    time.sleep(TEARDOWN_SECONDS)
                    idle_after = idle_slices(session, seconds)
                    minutes_per_second = window.frames / RATE / 60 / window.elapsed
                    # 2 %, beyond what arrives in chunks at either end of the window.
                    if abs(window.frames - RATE * window.elapsed) > 0.02 * RATE * window.elapsed + 2048:
                        raise RuntimeError(f"{label} delivered {window.frames / window.elapsed:.0f} frames/s, "
                                           f"not {RATE}: its CPU per minute of audio would mean nothing")
                    cpu[label].append(statistics.median(window.reader) / minutes_per_second)
                    cpu_total[label].append(window.reader_total / (window.frames / RATE / 60))
                    cpu_realtime[label].append(window.realtime / (window.frames / RATE / 60))
                    cpu_other[label].append(window.other / (window.frames / RATE / 60))
                    daemon[label].append((statistics.median(window.daemons) -
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
        tone = Player(player, env, "tone", "1000", "0.3", seconds=long_seconds + 60)
        gaps = {}
        try:
            long_readers, rss, rate = side_by_side(readers, env, long_seconds, settle)
        finally:
            tone.stop()
        for k, r in long_readers.items():
            s = r.samples()
            # A second's margin at each end: the tone and the readers start and stop there.
            gaps[k] = breaks(s, RATE, len(s) - RATE)
            captured = (len(s) - 2 * RATE) / RATE / 60

        # Start loss: both readers side by side while short notifications start,
        # through pipewire-pulse and natively in turn.
        notifications = 4 if args.quick else 20
        subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-quantum", str(START_QUANTUM)], env=env,
                       capture_output=True, timeout=10)
        start_readers = {}
        try:
            with tempfile.TemporaryDirectory(prefix="pimorlo-bench-") as tmp:
                sound = notification(tmp)
                for label, argv in readers.items():
                    start_readers[label] = Reader(argv, env)
                for r in start_readers.values():
                    r.wait_for_audio()
                time.sleep(settle)
                for i in range(notifications):
                    subprocess.run(["paplay" if i % 2 == 0 else "pw-play", sound], env=env, timeout=10,
                                   stdin=subprocess.DEVNULL, capture_output=True)
                    time.sleep(0.4)
        finally:
            for r in start_readers.values():
                r.stop()
            subprocess.run(["pw-metadata", "-n", "settings", "0", "clock.force-quantum", "0"], env=env,
                           capture_output=True, timeout=10)
        start_loss = {k: start_losses(r.samples(), notifications) for k, r in start_readers.items()}

    part = "End-to-end capture"
    ours_s, peer_s = Stat(start_loss["ours"], "ms", 1), Stat(start_loss["pw-record"], "ms", 1)
    report.target(part, "start of a new stream missing (median)", ours_s.cell(), peer_s.cell(), "—",
                  f"≤ pw-record's + one cycle ({CYCLE_MS:.1f} ms)",
                  len(ours_s.values) == notifications and ours_s.median <= peer_s.median + CYCLE_MS)
    ours_cpu, peer_cpu, ours_d, peer_d, ours_m, peer_m = cost_targets(report, part, "pw-record", "daemons'",
                                                                        cpu, daemon, hwm)
    ours_l, peer_l = Stat(latency["ours"], "ms", 1), Stat(latency["pw-record"], "ms", 1)
    r_l = ratio(ours_l.median, peer_l.median)
    # One cycle of the graph as it ran while the clicks were measured; where
    # the readers made it run at different lengths, the longest.
    click_cycles = cycles["ours"] | cycles["pw-record"]
    click_cycle_ms = max(click_cycles) * 1000.0 / 48000 if click_cycles else float("nan")
    # pw-record holds a whole number of cycles more or less from one start to
    # the next and keeps it for the run: the target is set against its best
    # window, so a run that caught it holding more does not make ours look better.
    peer_best = min(latency_windows["pw-record"], default=float("nan"))
    report.target(part, "click latency", ours_l.cell(), peer_l.cell(), f"{r_l:.2f}×",
                  f"≤ pw-record's best window ({peer_best:.1f} ms) − one cycle ({click_cycle_ms:.1f} ms)",
                  len(ours_l.values) >= 1 and ours_l.median <= peer_best - click_cycle_ms)
    report.target(part, f"breaks (dropped or doubled samples) over {args.continuity_minutes:g} min",
                  breaks_cell(gaps["ours"]), breaks_cell(gaps["pw-record"]), "—", "0", not gaps["ours"])
    growth = rss["ours"][1] - rss["ours"][0]
    report.target(part, f"RSS growth over {args.continuity_minutes:g} min",
                  f"{rss['ours'][0]:.1f} → {rss['ours'][1]:.1f} MiB",
                  f"{rss['pw-record'][0]:.1f} → {rss['pw-record'][1]:.1f} MiB", "—", "no growth (< 0.1 MiB)",
                  growth < 0.1)

    head = ["Reader", "CPU s / min of audio", "CPU s / min, whole windows",
            "of which its realtime thread / its other threads", "Daemons' extra CPU s / min",
            "Graph cycle while it read", "Click latency by window (medians)", "Peak RSS", "Click latency",
            f"Breaks in {args.continuity_minutes:g} min", "Output rate over the long run", "RSS start → end"]
    for label, name in (("ours", "PimOrloAudioTap"), ("pw-record", "pw-record")):
        report.detail(part, head, [name, Stat(cpu[label], "s", 3).cell(), Stat(cpu_total[label], "s", 3).cell(),
                                   f"{Stat(cpu_realtime[label], 's', 3).median:.3f} / "
                                   f"{Stat(cpu_other[label], 's', 3).median:.3f} s",
                                   Stat(daemon[label], "s", 3).cell(),
                                   ", ".join(f"{c} frames" for c in sorted(cycles[label])) or "—",
                                   ", ".join(f"{v:.1f}" for v in latency_windows[label]) + " ms",
                                   Stat(hwm[label], "MiB", 1).cell(), Stat(latency[label], "ms", 1).cell(),
                                   breaks_cell(gaps[label]), f"{rate[label]:.1f} frames/s",
                                   f"{rss[label][0]:.1f} → {rss[label][1]:.1f} MiB"])
    report.note(part, f"One private PipeWire session (pipewire, WirePlumber, pipewire-pulse, a null sink as the "
                f"default sink) for the whole part. Playing throughout the first phase: `bench/signal_player` "
                f"clicking every {CLICK_INTERVAL_MS} ms and a second one playing a 440 Hz tone, both 48 kHz stereo "
                f"float, each at the realtime priority pw-play runs at. The daemons are measured alone for "
                f"{seconds:g} s; then, {rounds_total} times, each reader "
                f"(the order swaps every round) for {seconds:g} s after {settle:g} s of settling, followed by the "
                f"daemons alone again for {seconds:g} s from {TEARDOWN_SECONDS:g} s after it ended, once its "
                "teardown has settled. CPU is time on a CPU, all threads, those that ended included (the "
                "process's CPU clock), read in "
                f"{SLICE_SECONDS:g} s slices: the figure is the median slice's rate per minute of audio the reader "
                "delivered, so that a few slices swollen by the shared machine's other load do not make the figure "
                "(the whole windows' totals are in the table beside it). The daemons' extra is the CPU "
                "of pipewire, WirePlumber and pipewire-pulse above their idle rate (the median slice of the idle "
                "windows either side). pw-record is given the null sink by name with `stream.capture.sink`, so it "
                "reads the sink's monitor, which is what our tap hears (its links are checked before it is "
                "measured). The graph's cycle is the length the click player was asked for. Peak RSS is `VmHWM`. "
                "Click latency runs from the graph asking the "
                "player for the buffer that starts with the click (CLOCK_MONOTONIC in its process callback) to "
                "the arrival, in this script's reading thread, of the chunk holding the click's first sample; "
                "n counts clicks. pw-record's latency stays for a whole window at one of a few values a cycle "
                "apart (how much it holds from its start), so its target is its best window's median. By thread: "
                "pw-record runs one node on the sink's monitor, whose mix the daemon has already made; our tap "
                "leaves applications out, so it takes each playing stream apart before it is mixed, with one "
                "capture node per stream and a clock node that mixes them, all in its realtime thread; its "
                "other threads resample the mix (PipeWire's loop thread) and write it (the sample handler's "
                "queue).")
    report.note(part, f"Long run: both readers side by side for {args.continuity_minutes:g} min "
                f"({captured:.1f} min analysed each) on one 1000 Hz tone at 0.3 full scale. At 16 kHz that tone "
                "repeats every 16 samples; a break is a place where it stops repeating (more than 300 LSB off), "
                "that is, a dropped or doubled sample or a gap; its time counts from the reader's first sample. "
                f"RSS is `VmRSS` {min(5.0, long_seconds / 4):g} s after the start and at the end. pw-record sums "
                "the two channels into its mono channel, so its levels are twice ours; nothing here depends on level.")
    report.command(f"{os.path.relpath(tap, TOP)}")
    report.command(shlex.join(PW_RECORD))
    report.command(f"{os.path.relpath(player, TOP)} clicks {CLICK_INTERVAL_MS} SECONDS")
    report.command(f"{os.path.relpath(player, TOP)} tone 440 0.1 SECONDS")
    report.command(f"{os.path.relpath(player, TOP)} tone 1000 0.3 SECONDS")
    report.note(part, f"Start loss: both readers side by side while {notifications} notifications start, one every "
                f"0.65 s or so, by `paplay` and `pw-play` in turn, with the graph held at {START_QUANTUM}-frame "
                f"cycles ({CYCLE_MS:.1f} ms). Each notification is 125 ms at 1000 Hz then 125 ms at 3000 Hz; the "
                "milliseconds missing from its start are 125 less how much of the first half arrived (±1 ms for "
                "where the thresholds fall). pw-record takes the sink's monitor, which has every notification "
                f"whole once the sink plays it. Ours: {', '.join(f'{v:.0f}' for v in start_loss['ours'])} ms; "
                f"pw-record: {', '.join(f'{v:.0f}' for v in start_loss['pw-record'])} ms.")
