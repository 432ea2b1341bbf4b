#!/usr/bin/env python3
"""Runs the benchmarks against their peers and writes the results table.

Called by bench/run, which installs and builds first. Each figure is measured
for our program and its peer in the same run, alternating, and reported as
median, min and max over the runs with the ratio of the medians. A missed
target is written into the table; it never makes this script fail. The script
fails only when a benchmark cannot run at all.
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

from results import Report, Skip, verdict  # noqa: E402


def run_text(argv, timeout=10):
    try:
        return subprocess.run(argv, capture_output=True, text=True, timeout=timeout).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return ""


def package_version(name):
    return run_text(["dpkg-query", "-W", "-f=${Version}", name]) or "not installed"


# -- machine and versions -----------------------------------------------------
def busy_line(load_at_start):
    """Says so when the machine was busier than its cores at the start."""
    try:
        load = float(load_at_start.split(",")[0])
    except ValueError:
        return []
    cores = os.cpu_count() or 1
    if load <= cores:
        return []
    return [f"- Busy: the load average was {load:.1f} on {cores} cores when the run started. Figures that depend "
            "on time (CPU-time ratios, latencies, load times, breaks) come from a busy machine and carry more "
            "noise than usual; instruction counts, sizes, counts of objects and quality figures do not depend "
            "on it."]


def machine_lines(load_at_start):
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            mem = f"{int(f.readline().split()[1]) / 1024 / 1024:.1f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    debian = ""
    try:
        with open("/etc/debian_version") as f:
            debian = f.read().strip()
    except OSError:
        pass
    return [
        f"- CPU: {cpu}, {os.cpu_count()} logical cores; memory {mem}",
        f"- System: Debian {debian}, Linux {platform.release()} ({platform.machine()})",
        f"- Load average when the run started: {load_at_start}",
    ]


VERSIONED_PACKAGES = ["g++", "cmake", "libbenchmark-dev", "libsoxr0", "pipewire", "pipewire-bin", "wireplumber",
                      "pulseaudio", "libpulse0",
                      "libwebkitgtk-6.0-4", "libwebkit2gtk-4.1-0", "libgtk-4-1", "surf", "xvfb"]


def source_line():
    """The commit measured, taken when the run starts."""
    commit = run_text(["git", "-C", TOP, "rev-parse", "--short=12", "HEAD"]) or "unknown"
    # BENCHMARKS.md itself is what the run rewrites; any other change is worth stating.
    dirty = run_text(["git", "-C", TOP, "status", "--porcelain", "--untracked-files=no", "--", ".",
                      ":!BENCHMARKS.md"])
    return f"- Source: commit `{commit}`" + (" with local changes" if dirty else "")


def version_lines(sources):
    lines = list(sources)
    lines.append("- Packages: " + ", ".join(f"{p} {package_version(p)}" for p in VERSIONED_PACKAGES))
    return lines


# -- output ---------------------------------------------------------------------
MODULES = {"audio": "bench_audio", "capture": "bench_capture", "pulse": "bench_pulse", "web": "bench_web",
           "churn": "bench_churn"}


def add_limits(report):
    """What was tried against a missed target and what limits it: each part's
    module keeps that as `LIMITS` (section name -> text), added where the
    section has figures, once: a run kept with --save may carry it already."""
    for module in MODULES.values():
        for section, text in getattr(__import__(module), "LIMITS", {}).items():
            if section in report.details or section in report.notes:
                if text not in report.notes.get(section, []):
                    report.note(section, text)


def write_markdown(path, report, runs):
    """`runs`: one dict per run that fed `report` (mode, parts, started, load, elapsed, source, flags)."""
    add_limits(report)
    out = []
    out.append("# Benchmarks")
    out.append("")
    out.append("Each of our programs against the tool a user would otherwise pick, measured in the same run. "
               "This file is written by `bench/run`; run it again to refresh it rather than editing it. "
               "A missed target is marked **MISSED**.")
    out.append("")
    quick = any(r["quick"] for r in runs)
    mode = "quick smoke run (not representative)" if quick else "full run"
    if len(runs) == 1:
        r = runs[0]
        out.append(f"Latest: {mode}, {r['started']} UTC, {r['elapsed'] / 60:.1f} minutes.")
    else:
        out.append(f"Latest: {mode} in {len(runs)} runs on this machine, each with its own private sessions; "
                   "runs whose times overlap ran side by side and saw each other's load:")
        out.append("")
        for r in runs:
            out.append(f"- {r['parts']}: started {r['started']} UTC, {r['elapsed'] / 60:.1f} minutes, "
                       f"load average at its start {r['load']}")
    out.append("")
    out.append("## Machine")
    out.append("")
    out.extend(machine_lines(runs[0]["load"]))
    out.append("- The machine is shared with other work (builds and tests of other branches ran beside this run), "
               "so absolute times carry noise; ours and the peer's runs alternate so both see the same "
               "conditions, and the ratios are the figures to judge.")
    out.extend(busy_line(max((r["load"] for r in runs), key=lambda text: float(text.split(",")[0]))))
    out.append("")
    out.append("## Versions")
    out.append("")
    sources = sorted({r["source"] for r in runs})
    if len(sources) > 1:
        sources = [f"{text} ({', '.join(r['parts'] for r in runs if r['source'] == text)})" for text in sources]
    out.extend(version_lines(sources))
    out.append("")
    out.append("## Targets")
    out.append("")
    out.append("Cells are median (min–max, n = runs). Ratios are ours ÷ peer, from the medians; "
               "for realtime factors, our cost ÷ the peer's.")
    out.append("")
    out.append("| Part | Figure | Ours | Peer | Ratio | Target | Verdict |")
    out.append("|---|---|---|---|---|---|---|")
    for part, what, ours, peer, rtext, ttext, met in report.targets:
        out.append(f"| {part} | {what} | {ours} | {peer} | {rtext} | {ttext} | {verdict(met)} |")
    if report.skipped:
        out.append("")
        for text in report.skipped:
            out.append(f"- Not measured: {text}")
    for part, rows in report.details.items():
        out.append("")
        out.append(f"## {part}")
        out.append("")
        head = report.detail_heads[part]
        out.append("| " + " | ".join(head) + " |")
        out.append("|" + "---|" * len(head))
        for row in rows:
            out.append("| " + " | ".join(row) + " |")
        for text in report.notes.get(part, []):
            out.append("")
            out.append(text)
    for part, texts in report.notes.items():
        if part in report.details:
            continue
        out.append("")
        out.append(f"## {part}")
        for text in texts:
            out.append("")
            out.append(text)
    out.append("")
    out.append("## Commands")
    out.append("")
    for r in runs:
        out.append("    bench/run " + r["flags"])
    out.append("")
    for text in report.commands:
        out.append(f"- `{text}`")
    out.append("")
    with open(path, "w") as f:
        f.write("\n".join(out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--out", help="results file (default: BENCHMARKS.md, or the build directory when --quick)")
    parser.add_argument("--quick", action="store_true", help="a few seconds in all: proves the script works")
    parser.add_argument("--runs", type=int, help="runs per program and figure")
    parser.add_argument("--continuity-minutes", type=float, help="length of the continuity capture")
    parser.add_argument("--churn-minutes", type=float,
                        help="length of the churn soak (default: 60, or 10 with --quick)")
    parser.add_argument("--parts", default="audio,capture,pulse,web,churn",
                        help="comma-separated subset of audio,capture,pulse,web,churn")
    parser.add_argument("--save", metavar="FILE", help="also keep this run's figures in FILE (JSON) for --merge")
    parser.add_argument("--merge", metavar="FILE", nargs="+",
                        help="write one report from runs kept with --save (e.g. the churn soak run beside the "
                             "other parts) instead of measuring")
    args = parser.parse_args()
    if args.merge:
        return merge(args)
    build = os.path.abspath(args.build_dir)
    if args.runs is None:
        args.runs = 1 if args.quick else 7
    if args.continuity_minutes is None:
        args.continuity_minutes = 0.04 if args.quick else 10.0
    if args.churn_minutes is None:
        args.churn_minutes = 10.0 if args.quick else 60.0
    out = args.out or (os.path.join(build, "bench-quick.md") if args.quick else os.path.join(TOP, "BENCHMARKS.md"))

    started = datetime.datetime.now(datetime.timezone.utc)
    load = ", ".join(f"{v:.2f}" for v in os.getloadavg())
    source = source_line()
    begin = time.monotonic()
    report = Report()
    parts = [p.strip() for p in args.parts.split(",") if p.strip()]
    failed = []
    for part in parts:
        module = MODULES[part]
        print(f"bench: {part}", file=sys.stderr, flush=True)
        try:
            __import__(module).run(report, build, args)
        except Skip as e:
            print(f"bench: {part} not measured: {e}", file=sys.stderr)
            report.skipped.append(f"{part} — {e}")
        except Exception as e:  # noqa: BLE001 — reported, then the script fails
            failed.append(f"{part}: {type(e).__name__}: {e}")
            report.skipped.append(f"{part} — it failed: {e}")
    flags = ["--quick"] if args.quick else []
    flags += [f"--runs {args.runs}", f"--continuity-minutes {args.continuity_minutes:g}",
              f"--churn-minutes {args.churn_minutes:g}", f"--parts {args.parts}"]
    run_info = {"quick": args.quick, "parts": args.parts, "started": f"{started:%Y-%m-%d %H:%M}", "load": load,
                "elapsed": time.monotonic() - begin, "source": source, "flags": " ".join(flags)}
    if args.save:
        with open(args.save, "w") as f:
            json.dump({"run": run_info, "report": report.__dict__}, f, indent=1)
        print(f"bench: kept the figures in {args.save}", file=sys.stderr)
    write_markdown(out, report, [run_info])
    print(f"bench: wrote {out}", file=sys.stderr)
    for text in failed:
        print(f"bench: FAILED {text}", file=sys.stderr)
    return 1 if failed else 0


def merge(args):
    """One report from several kept runs, in the order given. A section
    (a part's figures) measured by more than one run is taken from the first
    that has it, so a part measured again can be put in front."""
    report = Report()
    runs = []
    taken = set()
    for path in args.merge:
        with open(path) as f:
            kept = json.load(f)
        part = kept["report"]
        sections = {t[0] for t in part["targets"]} | set(part["details"]) | set(part["notes"])
        fresh = sections - taken
        if not fresh:
            continue
        run = dict(kept["run"])
        if sections - fresh:
            run["parts"] += f" (its {', '.join(sorted(sections - fresh))} figures left for the run above)"
        runs.append(run)
        report.targets += [tuple(t) for t in part["targets"] if t[0] in fresh]
        for name, rows in part["details"].items():
            if name in fresh:
                for row in rows:
                    report.detail(name, part["detail_heads"][name], row)
        for name, texts in part["notes"].items():
            if name in fresh:
                for text in texts:
                    report.note(name, text)
        for text in part["commands"]:
            report.command(text)
        report.skipped += part["skipped"]
        taken |= sections
    out = args.out or os.path.join(TOP, "BENCHMARKS.md")
    write_markdown(out, report, runs)
    print(f"bench: wrote {out} from {len(runs)} runs", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
