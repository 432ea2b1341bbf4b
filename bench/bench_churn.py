"""Churn soak: PimOrloAudioTap captures one steady tone while a short sound
starts and ends every two seconds, some of them from an application the tap
must leave out ("Pim Orlo Desktop"). Reports breaks in the tone, the short
sounds heard, the tap's resident size, open descriptors and CPU, and the
graph's node and link counts before, during and after the tap.

The tone (1000 Hz) and the two kinds of short sound (3000 Hz from an ordinary
application, 5000 Hz from the excluded one) all repeat every 16 samples at
16 kHz, so over each 10 ms window (160 samples) they are orthogonal: the
tone's phase and level per window are untouched by the short sounds, and each
kind of short sound is found by its own frequency."""

import cmath
import json
import math
import os
import subprocess
import sys
import threading
import time

import proctree
from results import TOP, Skip, Stat

RATE = 16000
WINDOW = 160  # 10 ms, ten periods of the tone
TONE_HZ, ORDINARY_HZ, EXCLUDED_HZ = 1000, 3000, 5000
TONE_LEVEL, BURST_LEVEL = 0.3, 0.2
BURST_SECONDS, BURST_EVERY = 0.5, 2.0
EXCLUDED_EVERY = 3  # every third short sound comes from the excluded application
EXCLUDED_NAME = "Pim Orlo Desktop"
ORDINARY_NAME = "Churn notification"
SETTLE = 2.0



# How to read the two figures that depend on the machine's other load.
LIMITS = {"Churn soak": (
    "Reading the figures. A break here is the tone losing a cycle anywhere between the player and the reader; "
    "with nothing else reading the sink there is no peer to tell the daemon's from ours, so compare the "
    "continuity run of the capture part, where pw-record reads the same graph side by side. A sound split by "
    "a break is heard twice, so a break can show as one ordinary sound more heard than played. Resident size "
    "after 30 s is the allocator settling on the first streams (the arena's scattered free chunks, which "
    "trimming cannot give back); from there to the end is what an hour of streams added.")}

def _basis(hz):
    return [cmath.exp(-2j * math.pi * hz * n / RATE) for n in range(WINDOW)]


class ToneWatch:
    """Reads the tap's standard output as it comes and keeps only what the
    figures need, so an hour costs no more memory than a minute."""

    def __init__(self, proc):
        self.proc = proc
        self.lock = threading.Lock()
        self.frames = 0
        self.breaks = []  # seconds into the capture
        self.heard = {ORDINARY_HZ: 0, EXCLUDED_HZ: 0}
        self.counting = False  # breaks and sounds count once the capture has settled
        self._bases = {hz: _basis(hz) for hz in (TONE_HZ, ORDINARY_HZ, EXCLUDED_HZ)}
        self._last_phase = None
        self._in_break = False
        self._sounding = {ORDINARY_HZ: False, EXCLUDED_HZ: False}
        self._pending = b""
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        step = WINDOW * 2
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                return
            if not chunk:
                return
            data = self._pending + chunk
            whole = len(data) - len(data) % step
            self._pending = data[whole:]
            for offset in range(0, whole, step):
                self._window(memoryview(data)[offset:offset + step].cast("h"))

    def _window(self, samples):
        level = {}
        for hz, basis in self._bases.items():
            z = sum(s * b for s, b in zip(samples, basis)) * 2 / WINDOW / 32768
            level[hz] = z
        with self.lock:
            at = self.frames / RATE
            self.frames += WINDOW
            counting = self.counting
        tone = level[TONE_HZ]
        # A steady tone has the same phase in every window (ten whole periods);
        # a dropped or doubled sample turns it by 22.5 degrees, a gap takes its level.
        broken = abs(tone) < TONE_LEVEL / 2
        if not broken and self._last_phase is not None:
            turn = abs(cmath.phase(tone / self._last_phase))
            broken = turn > math.radians(8)
        if not broken:
            self._last_phase = tone
        if counting and broken and not self._in_break:
            with self.lock:
                self.breaks.append(at)
        self._in_break = broken
        for hz in (ORDINARY_HZ, EXCLUDED_HZ):
            on = abs(level[hz]) > BURST_LEVEL / 4
            if counting and on and not self._sounding[hz]:
                with self.lock:
                    self.heard[hz] += 1
            self._sounding[hz] = on

    def seconds(self):
        with self.lock:
            return self.frames / RATE

    def wait_for_audio(self, timeout=10.0):
        end = time.monotonic() + timeout
        while self.seconds() == 0:
            if self.proc.poll() is not None:
                raise RuntimeError(f"the tap exited with {self.proc.returncode} before any audio")
            if time.monotonic() > end:
                raise RuntimeError(f"the tap: no audio within {timeout:.0f} s")
            time.sleep(0.01)


def graph(env):
    """Counts of the graph's nodes and links, and of the tap's own nodes."""
    out = subprocess.run(["pw-dump"], env=env, capture_output=True, text=True, timeout=30, check=True).stdout
    objects = json.loads(out)
    nodes = [o for o in objects if o.get("type") == "PipeWire:Interface:Node"]
    links = [o for o in objects if o.get("type") == "PipeWire:Interface:Link"]
    ours = [n for n in nodes
            if str(((n.get("info") or {}).get("props") or {}).get("node.name", "")).startswith("PimOrloAudioTap")]
    return {"nodes": len(nodes), "links": len(links), "tap_nodes": len(ours)}


def open_fds(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


def run(report, build, args):
    tap_binary = os.path.join(build, "audio_tap", "PimOrloAudioTap")
    player = os.path.join(build, "bench", "signal_player")
    if not os.access(tap_binary, os.X_OK):
        raise Skip("PimOrloAudioTap is not built here (the Linux capture backend is not in this tree)")
    if not os.access(player, os.X_OK):
        raise Skip("bench/signal_player is not built here (libpipewire-0.3-dev missing)")
    sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
    from pwsession import Session

    minutes = args.churn_minutes
    seconds = minutes * 60
    quiet = subprocess.DEVNULL
    with Session() as session:
        env = session.env
        tone = subprocess.Popen([player, "tone", str(TONE_HZ), str(TONE_LEVEL), str(seconds + 120)], env=env,
                                stdin=quiet, stdout=quiet, stderr=quiet, start_new_session=True)
        sounds = []
        tap = None
        try:
            time.sleep(1.0)
            before = graph(env)
            tap = subprocess.Popen([tap_binary], env=env, stdin=quiet, stdout=subprocess.PIPE, stderr=quiet,
                                   start_new_session=True)
            watch = ToneWatch(tap)
            watch.wait_for_audio()
            time.sleep(SETTLE)
            with watch.lock:
                watch.counting = True
            rss0, fds0 = proctree.status_kib(tap.pid, "VmRSS"), open_fds(tap.pid)
            cpu0, t0 = proctree.cpu_seconds(tap.pid), time.monotonic()
            played = {ORDINARY_HZ: 0, EXCLUDED_HZ: 0}
            peak = {"nodes": 0, "links": 0, "tap_nodes": 0, "live": 0}
            next_sample = t0 + min(30.0, seconds / 2)
            rss_settled = None  # after the first sounds: growth from there on is what keeps growing
            k = 0
            while time.monotonic() - t0 < seconds - BURST_EVERY:
                due = t0 + k * BURST_EVERY
                time.sleep(max(0.0, due - time.monotonic()))
                excluded = k % EXCLUDED_EVERY == EXCLUDED_EVERY - 1
                hz = EXCLUDED_HZ if excluded else ORDINARY_HZ
                sounds.append(subprocess.Popen(
                    [player, "--name", EXCLUDED_NAME if excluded else ORDINARY_NAME, "burst", str(hz),
                     str(BURST_LEVEL), str(BURST_SECONDS)], env=env, stdin=quiet, stdout=quiet, stderr=quiet,
                    start_new_session=True))
                played[hz] += 1
                k += 1
                sounds = [p for p in sounds if p.poll() is None]
                if tap.poll() is not None:
                    raise RuntimeError(f"the tap exited with {tap.returncode} during the soak")
                if time.monotonic() >= next_sample:
                    if rss_settled is None:
                        rss_settled = proctree.status_kib(tap.pid, "VmRSS")
                    # While it runs: no more than the streams that are live need.
                    now = graph(env)
                    now["live"] = len(sounds)
                    if now["nodes"] - now["live"] > peak["nodes"] - peak["live"]:
                        peak = now
                    next_sample += 60
            for p in sounds:
                p.wait(timeout=10)
            time.sleep(1.0)
            running = graph(env)
            rss1, fds1 = proctree.status_kib(tap.pid, "VmRSS"), open_fds(tap.pid)
            cpu1, t1 = proctree.cpu_seconds(tap.pid), time.monotonic()
            with watch.lock:
                watch.counting = False
                breaks = list(watch.breaks)
                heard = dict(watch.heard)
            proctree.terminate(tap)
            watch.thread.join(timeout=5)
            tap.stdout.close()
            tap = None
            time.sleep(1.0)
            after = graph(env)
        finally:
            for p in sounds:
                proctree.terminate(p)
            if tap is not None:
                proctree.terminate(tap)
                tap.stdout.close()
            proctree.terminate(tone)

    part = "Churn soak"
    cpu_per_minute = (cpu1 - cpu0) / ((t1 - t0) / 60)
    report.target(part, f"breaks in the tone over {minutes:g} min with {k} short sounds", str(len(breaks)), "—",
                  "—", "0", not breaks)
    settled = rss_settled if rss_settled is not None else rss0
    report.target(part, f"resident size, start → after {min(30.0, seconds / 2):g} s → end",
                  f"{rss0 / 1024:.1f} → {settled / 1024:.1f} → {rss1 / 1024:.1f} MiB", "—", "—",
                  "flat (< 0.5 MiB growth)", rss1 - rss0 < 512)
    report.target(part, "open file descriptors, start → end", f"{fds0} → {fds1}", "—", "—", "flat", fds1 <= fds0)
    report.target(part, "graph after the tap ends against before it started (nodes / links)",
                  f"{after['nodes']} / {after['links']}", f"{before['nodes']} / {before['links']}", "—", "equal",
                  (after["nodes"], after["links"]) == (before["nodes"], before["links"]))
    report.target(part, "excluded short sounds heard", f"{heard[EXCLUDED_HZ]} of {played[EXCLUDED_HZ]}", "—", "—",
                  "0", heard[EXCLUDED_HZ] == 0)
    report.target(part, "ordinary short sounds heard", f"{heard[ORDINARY_HZ]} of {played[ORDINARY_HZ]}", "—", "—",
                  "all", heard[ORDINARY_HZ] == played[ORDINARY_HZ])
    report.target(part, "tap CPU per minute", f"{cpu_per_minute:.3f} s", "—", "—", "reported", True)

    head = ["Moment", "Nodes", "Links", "The tap's nodes", "Short sounds playing"]
    report.detail(part, head, ["before the tap, the tone playing", str(before["nodes"]), str(before["links"]),
                               str(before["tap_nodes"]), "0"])
    if peak["nodes"]:
        report.detail(part, head, ["while it runs, most nodes beyond the live short sounds (sampled each minute)",
                                   str(peak["nodes"]), str(peak["links"]), str(peak["tap_nodes"]),
                                   str(peak["live"])])
    report.detail(part, head, ["at the end, the tap still running", str(running["nodes"]), str(running["links"]),
                               str(running["tap_nodes"]), "0"])
    report.detail(part, head, ["after the tap ended", str(after["nodes"]), str(after["links"]),
                               str(after["tap_nodes"]), "0"])
    where = ", ".join(f"{b:.1f} s" for b in breaks[:5]) + (", …" if len(breaks) > 5 else "")
    report.note(part, f"One private PipeWire session (pipewire, WirePlumber, pipewire-pulse, a null sink). "
                f"`bench/signal_player` plays a {TONE_HZ} Hz tone at {TONE_LEVEL} full scale throughout; the tap "
                f"starts after it and counts from {SETTLE:g} s later, for {(t1 - t0) / 60:.1f} min. Every "
                f"{BURST_EVERY:g} s a new player plays a {BURST_SECONDS:g} s sound at {BURST_LEVEL} full scale "
                f"(10 ms fades) and exits: each is a new client and stream. Every {EXCLUDED_EVERY}rd comes from "
                f"“{EXCLUDED_NAME}” at {EXCLUDED_HZ} Hz, which the tap must leave out; the others from "
                f"“{ORDINARY_NAME}” at {ORDINARY_HZ} Hz. The output is read in 10 ms windows: a break is a window "
                "where the tone's phase turns by more than 8° (a dropped or doubled sample turns it by 22.5°) or "
                "its level halves; a sound is heard when its frequency reaches a quarter of its level. Resident "
                "size is `VmRSS`, descriptors are `/proc/PID/fd`, CPU is all threads' time on a CPU, graph counts "
                "come from `pw-dump`. The tap's own nodes are its clock, the one it keeps made in advance for the "
                "next stream and one per captured stream: 3 with only the tone playing." +
                (f" Breaks at {where}." if breaks else ""))
    rel = os.path.relpath(player, TOP)
    report.command(f"{rel} tone {TONE_HZ} {TONE_LEVEL} SECONDS")
    report.command(f"{rel} --name '{ORDINARY_NAME}' burst {ORDINARY_HZ} {BURST_LEVEL} {BURST_SECONDS:g}")
    report.command(f"{rel} --name '{EXCLUDED_NAME}' burst {EXCLUDED_HZ} {BURST_LEVEL} {BURST_SECONDS:g}")
    report.command("pw-dump")
