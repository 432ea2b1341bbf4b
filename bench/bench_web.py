"""The web shell against surf: time from process start until the page's load
beacon reaches the 127.0.0.1 server, and the whole process tree's PSS once the
page is loaded. Both run in the same private Xvfb with the same environment,
one program at a time, alternating."""

import os
import shutil
import statistics
import time

import proctree
from results import TOP, Skip, Stat, ratio
from web_shell_harness import Failure, Session

LOAD_DEADLINE = 30.0
# GTK 4.8's renderers on Linux (Debian builds it without Vulkan).
RENDERERS = ("gl", "ngl", "cairo")


def _page():
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "page.html")) as f:
        # The harness fills {placeholders}; the page has none, only CSS and JS braces.
        return f.read().replace("{", "{{").replace("}", "}}")


# Nothing but the beacon: what each toolkit's processes cost before any page
# content does.
EMPTY_PAGE = ("<!doctype html><script>addEventListener('load', () => {{ "
              "new Image().src = '/report?loaded=1&' + location.search.slice(1); }});</script>")


def _spread_note(what, ours, surf):
    """Whether the medians' difference stands out of the runs' own spread."""
    lo_o, hi_o = min(ours.values), max(ours.values)
    lo_s, hi_s = min(surf.values), max(surf.values)
    runs = f"(n={len(ours.values)} each)"
    if hi_o < lo_s:
        return f"{what}: every run of ours is below every run of surf {runs}."
    if hi_s < lo_o:
        return f"{what}: every run of surf is below every run of ours {runs}."
    return (f"{what}: the two ranges overlap (ours {ours.fmt(lo_o)}–{ours.fmt(hi_o)}, surf "
            f"{surf.fmt(lo_s)}–{surf.fmt(hi_s)} {ours.unit}); the medians differ by "
            f"{ours.fmt(abs(ours.median - surf.median))} {ours.unit}, within the run-to-run spread.")


def _one(session, program, label, run_id, settle):
    argv_for, extra_env = program
    path = "/empty" if label.endswith("-empty") else "/page"
    url = session.url(f"{path}?who={label}&run={run_id}")
    argv = argv_for(url)
    saved = dict(session.env)
    session.env.update(extra_env)
    start = time.monotonic()
    try:
        proc = session.start_shell(*argv)
    finally:
        session.env.clear()
        session.env.update(saved)
    try:
        deadline = start + LOAD_DEADLINE
        while not session.server.report(who=label, run=str(run_id)):
            if proc.poll() is not None:
                raise Failure(f"{label} exited with {proc.returncode} before the page loaded")
            if time.monotonic() > deadline:
                raise Failure(f"{label}: no load beacon within {LOAD_DEADLINE:.0f} s")
            time.sleep(0.002)
        loaded = time.monotonic() - start
        time.sleep(settle)
        pids = proctree.tree(proc.pid)
        each = {}
        for pid in pids:
            name = proctree.command_name(pid)
            each[name] = each.get(name, 0) + proctree.pss_kib(pid)
        return loaded, sum(each.values()), each
    finally:
        session.stop_shell(proc)


def run(report, build, args):
    ours = os.path.join(build, "web_shell", "PimOrloWebView")
    surf = shutil.which("surf")
    if not os.access(ours, os.X_OK):
        raise Skip("PimOrloWebView is not built here (GTK 4 and WebKitGTK 6.0 not found)")
    if not surf:
        raise Failure("surf is not installed (scripts/setup installs it)")
    programs = {
        "ours": (lambda url: (ours, url), {}),
        # -N: no web inspector, like ours; everything else stays at surf's defaults.
        "surf": (lambda url: (surf, "-N", url), {}),
    }
    if not args.quick:
        # Not targets: ours again under each of GTK's renderers, chosen by the
        # user's environment, to show what the default it picks is worth.
        for renderer in RENDERERS:
            programs[f"ours-{renderer}"] = (lambda url: (ours, url), {"GSK_RENDERER": renderer})
        # WebKit's own compositor in the web process, which the shell leaves
        # off without a GPU; and both programs on a page with nothing on it.
        programs["ours-composited"] = (lambda url: (ours, url), {"WEBKIT_FORCE_COMPOSITING_MODE": "1"})
        programs["ours-empty"] = programs["ours"]
        programs["surf-empty"] = programs["surf"]
    settle = 0.3 if args.quick else 1.0
    times = {k: [] for k in programs}
    pss = {k: [] for k in programs}
    trees = {k: {} for k in programs}
    with Session({"/page": _page(), "/empty": EMPTY_PAGE}) as session:
        # One load each that is not counted: both then start from a warm file cache.
        if not args.quick:
            for label, program in programs.items():
                _one(session, program, label, "warm", settle)
        for i in range(args.runs):
            order = list(programs.items()) if i % 2 == 0 else list(reversed(programs.items()))
            for label, program in order:
                t, p, names = _one(session, program, label, i, settle)
                times[label].append(t * 1000)
                pss[label].append(p / 1024)
                for name, kib in names.items():
                    trees[label].setdefault(name, []).append(kib / 1024)
        sandboxed = "WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS" not in session.env

    part = "Web shell"
    t_ours, t_surf = Stat(times["ours"], "ms", 0), Stat(times["surf"], "ms", 0)
    m_ours, m_surf = Stat(pss["ours"], "MiB", 1), Stat(pss["surf"], "MiB", 1)
    r_t, r_m = ratio(t_ours.median, t_surf.median), ratio(m_ours.median, m_surf.median)
    report.target(part, "time to load beacon", t_ours.cell(), t_surf.cell(), f"{r_t:.2f}×", "≤ 1.0× surf",
                  r_t <= 1.0)
    report.target(part, "process tree PSS, page loaded", m_ours.cell(), m_surf.cell(), f"{r_m:.2f}×",
                  "≤ 1.0× surf", r_m <= 1.0)
    head = ["Program", "Time to load beacon", "Tree PSS", "PSS by process (medians)"]

    def split(label):
        return ", ".join(f"{name} {statistics.median(v):.1f} MiB" for name, v in sorted(trees[label].items()))
    report.detail(part, head, ["PimOrloWebView", t_ours.cell(), m_ours.cell(), split("ours")])
    report.detail(part, head, ["surf", t_surf.cell(), m_surf.cell(), split("surf")])
    others = [(f"ours-{r}", f"PimOrloWebView with `GSK_RENDERER={r}` (not a target)") for r in RENDERERS]
    others += [("ours-composited", "PimOrloWebView with `WEBKIT_FORCE_COMPOSITING_MODE=1` (not a target)"),
               ("ours-empty", "PimOrloWebView, empty page (not a target)"),
               ("surf-empty", "surf, empty page (not a target)")]
    for label, title in others:
        if label in programs:
            report.detail(part, head, [title, Stat(times[label], "ms", 0).cell(), Stat(pss[label], "MiB", 1).cell(),
                                       split(label)])
    report.note(part, "The page (`bench/page.html`: styles, a list built by script, a form) comes from a 127.0.0.1 "
                "server; its `load` handler requests `/report`, and the time runs from just before the program is "
                "started until that request arrives. PSS is the sum of `Pss` in `/proc/<pid>/smaps_rollup` over "
                f"the started process and every process below it or in its session, {settle:.1f} s after the "
                "beacon: the UI process plus WebKit's web and network processes. Both run in one private Xvfb "
                "(1280×1024×24) with software GL, no session bus and a private home, one at a time, "
                "alternating; " + ("" if args.quick else "one uncounted load of each comes first; ") +
                ("WebKit's sandbox is on." if sandboxed else
                 "WebKit's sandbox is off for ours (root or no user namespaces here), and surf's WebKitGTK 4.1 "
                 "does not sandbox by default.") +
                " With no GPU render node and software GL, ours draws through GTK's cairo renderer by default; "
                "the rows under each `GSK_RENDERER` show the alternatives it was chosen from, measured in the same "
                "run (GTK 4.8 as Debian builds it has no Vulkan renderer). Under `gl` and `ngl` the UI process "
                "carries Mesa's software rasteriser. For the same reason the web view paints without WebKit's GL "
                "compositor there (`WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER`): in the web process that compositor "
                "too would run on the software rasteriser; the `WEBKIT_FORCE_COMPOSITING_MODE=1` row shows it on. "
                "surf keeps WebKit's default.")
    report.note(part, " ".join([_spread_note("Time to load", t_ours, t_surf),
                                _spread_note("Tree PSS", m_ours, m_surf)]))
    if "ours-empty" in programs:
        t_oe, t_se = Stat(times["ours-empty"], "ms", 0), Stat(times["surf-empty"], "ms", 0)
        report.note(part, f"On a page with nothing but the beacon (`/empty`) ours loads in {t_oe.cell()} and surf in "
                    f"{t_se.cell()}: the time the toolkits themselves take to bring up a window and WebKit's "
                    "processes, before the page adds anything. Ours is GTK 4 with WebKitGTK 6.0, surf GTK 3 with "
                    "WebKitGTK 4.1; the by-process rows show where each spends its memory.")
    report.command(f"{os.path.relpath(ours, TOP)} http://127.0.0.1:PORT/page?who=ours&run=N")
    for renderer in RENDERERS:
        report.command(f"GSK_RENDERER={renderer} {os.path.relpath(ours, TOP)} "
                       f"http://127.0.0.1:PORT/page?who=ours-{renderer}&run=N")
    report.command(f"WEBKIT_FORCE_COMPOSITING_MODE=1 {os.path.relpath(ours, TOP)} "
                   "http://127.0.0.1:PORT/page?who=ours-composited&run=N")
    report.command(f"{surf} -N http://127.0.0.1:PORT/page?who=surf&run=N")
