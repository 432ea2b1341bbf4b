"""The audio tap's per-buffer path against libsoxr called directly, and the
converter's quality figures, from bench/audio_path_bench.cpp."""

import json
import os
import re
import shutil
import subprocess
import tempfile

from results import TOP, Skip, Stat, ratio

CASES = [("48000Hz_stereo", "48 kHz stereo float"), ("44100Hz_stereo", "44.1 kHz stereo float"),
         ("16000Hz_mono", "16 kHz mono float")]



# What was tried against the targets this part misses, and what limits them.
LIMITS = {"Audio path": (
    "Limits. *CPU time against libsoxr direct*: allocations are gone, the instructions are a few per cent "
    "below the direct loop's and the writes as many; what is left of the time, up to about a tenth at 480 "
    "frames on a quiet machine, is the seam's virtual calls and per-buffer objects in the caches and branch "
    "predictors (see the section without the write system call), and a shared machine's noise moves the ratio "
    "by more than that from run to run. Tried: buffers and formats reused (no allocation per buffer), float "
    "stereo and mono mixed down as they are copied, libsoxr writing 16-bit output itself.")}

def _level(value):
    # The path writes exact zeros when what is left is below half a 16-bit step.
    return "silent (< −96.3)" if value <= -900 else f"{value:.1f}"


def instructions(binary, path, key, frames, seconds):
    """Instructions retired by `seconds` of audio through one path, counted by
    callgrind: exact and unmoved by other work on the machine."""
    rate, channels = {"48000Hz_stereo": (48000, 2), "44100Hz_stereo": (44100, 2), "16000Hz_mono": (16000, 1)}[key]
    with tempfile.TemporaryDirectory() as tmp:
        done = subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=*countedBlocks*",
                               f"--callgrind-out-file={tmp}/out", binary, "--count", path, str(rate), str(channels),
                               str(frames), str(seconds)], capture_output=True, text=True, timeout=600, check=True)
    found = re.search(r"Collected : (\d+)", done.stderr)
    if not found:
        raise RuntimeError("callgrind reported no count")
    counts = json.loads(done.stdout)
    return int(found.group(1)), counts["writes"], counts["allocations"] / counts["blocks"]


def run(report, build, args):
    binary = os.path.join(build, "bench", "audio_path_bench")
    if not os.access(binary, os.X_OK):
        raise Skip("audio_path_bench is not built here (the Linux audio toolkit is not in this tree)")
    rel = os.path.relpath(binary, TOP)
    min_time = "0.01" if args.quick else "0.5"
    argv = [binary, "--benchmark_format=json", f"--benchmark_repetitions={args.runs}",
            f"--benchmark_min_time={min_time}"]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=600, check=True)
    rtf = {}
    for b in json.loads(done.stdout)["benchmarks"]:
        if b.get("run_type") == "iteration" and "realtime" in b:
            rtf.setdefault(b["run_name"], []).append(b["realtime"])
    quality = json.loads(subprocess.run([binary, "--quality"], capture_output=True, text=True, timeout=120,
                                        check=True).stdout)
    report.command(f"{rel} --benchmark_repetitions={args.runs} --benchmark_min_time={min_time}")
    report.command(f"{rel} --quality")
    counted = shutil.which("valgrind") is not None
    count_seconds = 2 if args.quick else 20
    if counted:
        report.command(f"valgrind --tool=callgrind --toggle-collect='*countedBlocks*' {rel} --count ours|soxr "
                       f"RATE CHANNELS FRAMES {count_seconds}")

    part = "Audio path"
    head = ["Input", "Block", "Ours (× realtime)", "libsoxr direct (× realtime)", "Our cost ÷ direct cost (time)",
            "Instructions, ours ÷ direct", "write(2) calls per s of audio, ours / direct",
            "Allocations per buffer, ours / direct"]
    for key, label in CASES:
        for frames in (480, 1024):
            ours = Stat(rtf.get(f"ours/{key}/{frames}", []), "×", 0)
            bare = Stat(rtf.get(f"soxr/{key}/{frames}", []), "×", 0)
            cost = ratio(bare.median, ours.median)
            icount = writes = allocs = "—"
            iratio = float("nan")
            # The smoke run counts only the rows with targets: each count is a valgrind run.
            if counted and (key == "48000Hz_stereo" or not args.quick):
                mine, my_writes, my_allocs = instructions(binary, "ours", key, frames, count_seconds)
                theirs, their_writes, their_allocs = instructions(binary, "soxr", key, frames, count_seconds)
                allocs = f"{my_allocs:.2f} / {their_allocs:.2f}"
                iratio = ratio(mine, theirs)
                icount = f"{iratio:.2f}× ({mine / count_seconds / 1e6:.2f} vs {theirs / count_seconds / 1e6:.2f} M per s of audio)"
                writes = f"{my_writes / count_seconds:.0f} / {their_writes / count_seconds:.0f}"
            report.detail(part, head, [label, f"{frames} frames", ours.cell(), bare.cell(), f"{cost:.2f}×", icount,
                                       writes, allocs])
            if key == "48000Hz_stereo":
                report.target(part, f"per-buffer path, 48 kHz stereo, {frames} frames (× realtime)", ours.cell(),
                              "—", "—", "≥ 1000× realtime", ours.median >= 1000)
                report.target(part, f"our cost ÷ libsoxr direct, 48 kHz stereo, {frames} frames (CPU time)",
                              ours.cell(), bare.cell(), f"{cost:.2f}×", "≤ 1.1×", cost <= 1.1)
                if counted and my_allocs >= 0:
                    report.target(part, f"allocations per buffer in steady state, 48 kHz stereo, {frames} frames",
                                  f"{my_allocs:.2f}", f"{their_allocs:.2f}", "—", "0", my_allocs == 0)
                if counted:
                    report.target(part, f"our cost ÷ libsoxr direct, 48 kHz stereo, {frames} frames (instructions)",
                                  f"{mine / count_seconds / 1e6:.2f} M / s of audio",
                                  f"{theirs / count_seconds / 1e6:.2f} M / s of audio", f"{iratio:.2f}×", "≤ 1.1×",
                                  iratio <= 1.1)
    head2 = ["Input", "Block", "Ours without write(2) (× realtime)", "libsoxr direct without write(2) (× realtime)",
             "Our cost ÷ direct cost (time)"]
    for frames in (480, 1024):
        ours = Stat(rtf.get(f"ours_unwritten/48000Hz_stereo/{frames}", []), "×", 0)
        bare = Stat(rtf.get(f"soxr_unwritten/48000Hz_stereo/{frames}", []), "×", 0)
        report.detail("Audio path without the write system call", head2,
                      ["48 kHz stereo float", f"{frames} frames", ours.cell(), bare.cell(),
                       f"{ratio(bare.median, ours.median):.2f}×"])
    report.note("Audio path without the write system call",
                "The same two paths with `write(2)` left out (everything else, the count of calls included, "
                "stays): what is left of the difference in time once the number of writes no longer counts. "
                "With equal instruction counts, the rest is the seam's per-buffer objects and virtual calls "
                "(formats, buffers, the converter's input block): in callgrind's cache and branch simulation "
                "ours has indirect-branch mispredictions and instruction-cache misses on every buffer where "
                "the direct loop has almost none.")
    a9, a10 = quality["alias_9000_dbfs"], quality["alias_10000_dbfs"]
    leak = max(a9, a10)
    report.target(part, "alias leak of 0 dBFS tones at 9 and 10 kHz (dBFS at 7 and 6 kHz)",
                  f"{_level(a9)} / {_level(a10)}", "—", "—", "≤ −90 dBFS", leak <= -90)
    gain = quality["gain_7000_db"]
    report.target(part, "gain at 7 kHz", f"{gain:+.3f} dB", "—", "—", "within ±0.1 dB", abs(gain) <= 0.1)
    thdn = quality["thdn_997_db"]
    report.target(part, "THD+N, 997 Hz at −1 dBFS", f"{thdn:.1f} dB", "—", "—", "≥ 96 dB", thdn >= 96)
    report.target(part, "delay of a click through the converter, minimum phase in 1024-point DFTs (peer: libsoxr's default HQ)",
                  f"{quality['held_back_ms']:.1f} ms (up to {quality['held_back_max_ms']:.1f} ms)",
                  f"{quality['linear_phase_held_back_ms']:.1f} ms (up to "
                  f"{quality['linear_phase_held_back_max_ms']:.1f} ms)",
                  f"{ratio(quality['held_back_ms'], quality['linear_phase_held_back_ms']):.2f}×", "reported", True)
    report.note(part, "Realtime factor: seconds of audio handled per second of CPU time, one thread, by Google "
                "Benchmark over one second of programme-like audio (two tones and noise near −6 dBFS) cut into "
                "consecutive blocks; each repetition is one run. *Ours* is `AudioTapRunner::"
                "streamDidOutputSampleBuffer` with the Linux audio toolkit: the copy out of the sample buffer, "
                "the mix-down, the conversion to 16 kHz mono 16-bit and the `write(2)` to `/dev/null`. *libsoxr "
                "direct* is what a program calling the library itself does for the same job: the same mix-down, "
                "`soxr_process` with the same recipe (`SOXR_HQ` with minimum phase and DFTs of at most 1024 points, "
                "float in, undithered 16-bit "
                "out) and the write. At 16 kHz in, the toolkit passes samples through without libsoxr, so there "
                "our path is cheaper than calling the library. Times are CPU time on a shared machine and move "
                "with its load; " + (f"the instruction counts (callgrind, {count_seconds} s of audio after one "
                                     "second of warm-up, only the per-buffer calls counted) do not; allocations are every call of "
                                     "malloc and its kin in the process over the same counted blocks. The time "
                                     "includes the kernel's side of `write(2)`: the audio tap writes what each "
                                     "sample buffer yields as it comes, one call per buffer, and the direct loop "
                                     "writes whatever libsoxr released, so each makes as many calls as the "
                                     "table's write column says." if counted else
                                     "instruction counts need valgrind, which is not installed here."))
    report.note(part, "Quality is measured on what our path writes for 48 kHz stereo float in 480-frame blocks, "
                "over one second after one second of settling, with a least-squares fit of the tone: alias leak "
                "is the level at the folded frequency (“silent” when the output is exactly zero there); THD+N "
                "is the tone against everything else in 0–8 kHz after removing DC. The delay of a click is how "
                "long a sound waits in the converter: clicks 12007 frames apart (so they fall at every place in "
                "a block), from the end of the 480-frame block that carries one to the end of the block after "
                "which the output holds its peak, mean and largest over a minute. libsoxr works in DFT blocks of "
                "its own and releases output a block at a time, which with its default sizes set most of the "
                "delay; ours caps them at 1024 points. The peer is the same library with its default HQ recipe "
                f"(linear phase, default DFT sizes). Library: {quality.get('soxr_version', 'libsoxr')}.")
