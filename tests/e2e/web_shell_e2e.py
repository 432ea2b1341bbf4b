#!/usr/bin/env python3
"""End-to-end tests of PimOrloWebView: one case per run, named on the command
line, so that each gets its own X server and its own deadline.

usage: web_shell_e2e.py CASE --shell PATH [--mock-capture-shell PATH]
                        [--close-request PATH] [--artifacts DIR]
"""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_shell_harness import Failure, Session, pixel, wait_until  # noqa: E402

BACKGROUND = (31, 138, 91)

# Five tall targets down the left side, each 140 px high, 150 px apart, so a
# click at (200, menu bar + 150 * i + 70) hits target i.
MAIN = """<!doctype html><html><head><title>E2E main</title><style>
body {{ margin: 0; background: rgb(31, 138, 91); font: 24px sans-serif; }}
.t {{ position: absolute; left: 0; width: 400px; height: 140px; display: block; margin: 0; }}
#text {{ position: absolute; left: 500px; top: 20px; width: 400px; font-size: 24px; }}
</style></head><body>
<a class="t" style="top: 0" href="https://external.invalid/clicked">external link</a>
<a class="t" style="top: 150px" href="/second?via=blank" target="_blank">local blank link</a>
<button class="t" style="top: 300px" onclick="window.open('/second?via=open')">local window.open</button>
<button class="t" style="top: 450px" onclick="window.open('https://external.invalid/popup')">external window.open</button>
<button class="t" style="top: 600px" onclick="window.open('http://[::1]:{port}/v6')">[::1] window.open</button>
<input id="text" onfocus="fetch('/report?focus=text')" oninput="fetch('/report?text=' + encodeURIComponent(this.value))">
<script>
fetch('/report?loaded=main&w=' + innerWidth + '&h=' + innerHeight);
setInterval(() => fetch('/report?tick=main&t=' + Date.now()), 150);
</script></body></html>"""

SECOND = """<!doctype html><html><head><title>E2E second</title></head><body>
<script>fetch('/report?loaded=second&via=' + new URLSearchParams(location.search).get('via'));</script>
</body></html>"""

FRAME_HOST = """<!doctype html><html><head><title>E2E frame host</title></head><body>
<iframe src="https://external.invalid/framed" width="400" height="300"></iframe>
<script>fetch('/report?loaded=framehost');</script></body></html>"""

MEDIA = """<!doctype html><html><head><title>E2E media</title></head><body><script>
navigator.mediaDevices.getUserMedia({{audio: true, video: true}})
  .then(s => fetch('/report?media=granted&kinds=' + s.getTracks().map(t => t.kind).sort().join(',')))
  .catch(e => fetch('/report?media=refused&name=' + e.name));
</script></body></html>"""

PAGES = {"/main": MAIN, "/second": SECOND, "/framehost": FRAME_HOST, "/media": MEDIA}


def check(condition, message):
    if not condition:
        raise Failure(message)


def menu_bar_height(session, window):
    return session.geometry(window)["HEIGHT"] - 760


def launch_main(s, shell, *extra):
    proc = s.start_shell(shell, s.url("/main"), *extra)
    window = s.window_of(proc)
    wait_until(lambda: s.server.report(loaded="main"), 20, "the page to load")
    # Input that arrives before the first frames are drawn can be dropped.
    wait_until(lambda: len([r for r in s.server.reports() if r.get("tick")]) >= 3, 10, "the page to run")
    return proc, window


def ticks_after(s, moment):
    return [r for r in s.server.reports() if r.get("tick") == "main" and int(r["t"]) / 1000 > moment]


def case_page_loads(args):
    with Session(PAGES) as s:
        proc, window = launch_main(s, args.shell)
        loaded = s.server.report(loaded="main")
        check((loaded["w"], loaded["h"]) == ("1040", "760"), f"page sees {loaded['w']}x{loaded['h']}, not 1040x760")
        geo = s.geometry(window)
        check(geo["WIDTH"] == 1040 and 760 < geo["HEIGHT"] < 820, f"window is {geo}")
        check(geo["X"] == (1280 - 1040) // 2 and geo["Y"] == (1024 - geo["HEIGHT"]) // 2, f"window not centred: {geo}")
        time.sleep(1.0)  # let the page paint
        shot = s.screenshot(os.path.join(args.artifacts, "web-shell-window.png"))
        inside = pixel(shot, geo["X"] + 700, geo["Y"] + menu_bar_height(s, window) + 600)
        check(all(abs(a - b) <= 8 for a, b in zip(inside, BACKGROUND)),
              f"window shows {inside}, not the page's {BACKGROUND}")
        outside = pixel(shot, 5, 5)
        check(outside != inside, "the screenshot is one colour")
        check(proc.poll() is None, "the web shell ended by itself")
        check(s.opened() == [], f"opened {s.opened()}")


def case_external_link(args):
    with Session(PAGES) as s:
        proc, window = launch_main(s, args.shell)
        top = menu_bar_height(s, window)
        s.click(window, 200, top + 70)
        wait_until(lambda: s.opened(), 10, "the fake browser")
        clicked = time.time()
        check(s.opened() == ["https://external.invalid/clicked"], f"opened {s.opened()}")
        wait_until(lambda: len(ticks_after(s, clicked + 0.5)) >= 3, 10, "the page to keep running after the click")
        check(proc.poll() is None, "the web shell ended")


def case_external_iframe(args):
    with Session(PAGES) as s:
        proc = s.start_shell(args.shell, s.url("/framehost"))
        s.window_of(proc)
        wait_until(lambda: s.server.report(loaded="framehost"), 20, "the page to load")
        wait_until(lambda: s.opened(), 10, "the fake browser")
        check(s.opened() == ["https://external.invalid/framed"], f"opened {s.opened()}")


def case_local_new_windows_load_in_place(args):
    with Session(PAGES) as s:
        for target, via in ((1, "blank"), (2, "open")):
            s.server.clear()
            proc, window = launch_main(s, args.shell)
            s.click(window, 200, menu_bar_height(s, window) + 150 * target + 70)
            wait_until(lambda: s.server.report(loaded="second", via=via), 10, f"the {via} page in place")
            check(len(s.windows_named(".")) >= 1 and s.windows_named("^E2E") == [], "a second window appeared")
            check(s.opened() == [], f"opened {s.opened()}")
            s.key(window, "ctrl+q")
            s.wait_exit(proc, 10)


def case_foreign_new_windows_go_to_browser(args):
    with Session(PAGES) as s:
        proc, window = launch_main(s, args.shell)
        top = menu_bar_height(s, window)
        s.click(window, 200, top + 450 + 70)
        wait_until(lambda: len(s.opened()) == 1, 10, "the fake browser for the https window")
        s.click(window, 200, top + 600 + 70)
        wait_until(lambda: len(s.opened()) == 2, 10, "the fake browser for the [::1] window")
        check(s.opened() == ["https://external.invalid/popup", f"http://[::1]:{s.server.port}/v6"],
              f"opened {s.opened()}")
        check(not s.server.report(loaded="second"), "the page was replaced")
        check(not s.server.saw("/v6"), "the [::1] address was loaded")
        check(proc.poll() is None, "the web shell ended")


def case_ctrl_q_quits(args):
    with Session(PAGES) as s:
        proc, window = launch_main(s, args.shell)
        s.key(window, "ctrl+q")
        s.wait_exit(proc, 10)


def case_closing_window_quits(args):
    with Session(PAGES) as s:
        proc, window = launch_main(s, args.shell)
        subprocess.run([args.close_request, window], env=s.env, check=True, timeout=10)
        s.wait_exit(proc, 10)


def case_editing_shortcuts(args):
    with Session(PAGES) as s:
        proc, window = launch_main(s, args.shell)
        top = menu_bar_height(s, window)

        def focus_field():
            s.click(window, 700, top + 35)
            return s.server.report(focus="text")
        wait_until(focus_field, 10, "the text field to take focus")
        s.type_text(window, "abc")
        wait_until(lambda: s.server.report(text="abc"), 10, "the typed text")
        steps = [("ctrl+a", None), ("ctrl+x", ""), ("ctrl+z", "abc"), ("ctrl+shift+z", ""), ("ctrl+v", "abc"),
                 ("ctrl+v", "abcabc")]
        for keys, expected in steps:
            before = len(s.server.reports())
            s.key(window, keys)
            if expected is not None:
                wait_until(lambda: any(r.get("text") == expected for r in s.server.reports()[before:]), 10,
                           f"{expected!r} after {keys}")
            else:
                time.sleep(0.3)
        check(proc.poll() is None, "the web shell ended")


def case_parent_exit_ends_shell(args):
    with Session(PAGES) as s:
        parent = subprocess.Popen(["sleep", "60"])
        try:
            proc, _ = launch_main(s, args.shell, str(parent.pid))
            time.sleep(2.5)  # a few ticks with the parent alive
            check(proc.poll() is None, "the web shell ended while its parent lived")
            parent.kill()
            parent.wait(timeout=5)
            gone = time.monotonic()
            s.wait_exit(proc, 4)
            took = time.monotonic() - gone
            # One 2-second period at most, plus slack for a busy machine.
            check(took <= 3.0, f"the web shell took {took:.2f} s to notice")
        finally:
            parent.kill()
            parent.wait(timeout=5)


def case_unwatched_parent_ids(args):
    with Session(PAGES) as s:
        procs = [s.start_shell(args.shell, s.url("/main"), pid) for pid in ("0", "1", "-1", "-4242")]
        for proc in procs:
            s.window_of(proc)
        time.sleep(4.5)
        for pid, proc in zip(("0", "1", "-1", "-4242"), procs):
            check(proc.poll() is None, f"the web shell with parent {pid} ended")


def case_missing_parent_ends_shell(args):
    with Session(PAGES) as s:
        finished = subprocess.Popen(["true"])
        finished.wait(timeout=5)
        proc = s.start_shell(args.shell, s.url("/main"), str(finished.pid))
        s.window_of(proc)
        s.wait_exit(proc, 6)
        took = time.monotonic() - proc.started
        check(1.9 <= took <= 3.5, f"ended {took:.2f} s after launch, not about 2 s")


def case_local_media_granted(args):
    with Session(PAGES) as s:
        proc = s.start_shell(args.mock_capture_shell, s.url("/media"))
        s.window_of(proc)
        result = wait_until(lambda: s.server.report(media="granted") or s.server.report(media="refused"), 20,
                            "the media request's outcome")
        check(result.get("media") == "granted" and result.get("kinds") == "audio,video", f"media: {result}")
        check(s.windows_named("^Camera and microphone$") == [], "a permission dialog appeared")


def case_foreign_media_asks(args):
    """A page on [::1] is local for navigation only: its request for devices
    goes to the user, and the user's Allow is what grants it."""
    with Session(PAGES, ipv6=True) as s:
        proc = s.start_shell(args.mock_capture_shell, s.url("/media", ipv6=True))
        s.window_of(proc)
        wait_until(lambda: s.windows_named("^Camera and microphone$"), 20, "the permission dialog")
        time.sleep(1.0)
        check(not s.server.report(media="granted") and not s.server.report(media="refused"),
              "the page got an answer before the user gave one")
        # GTK may keep more than one X window under the dialog's name; the
        # one that takes clicks is the last made.
        dialog = s.windows_named("^Camera and microphone$")[-1]
        geo = s.geometry(dialog)
        s.click(dialog, geo["WIDTH"] * 3 // 4, geo["HEIGHT"] - 12)  # "Allow", the right-hand button
        result = wait_until(lambda: s.server.report(media="granted") or s.server.report(media="refused"), 10,
                            "the media request's outcome")
        check(result == {"media": "granted", "kinds": "audio,video"}, f"media: {result}")
        check(s.windows_named("^Camera and microphone$") == [], "the dialog stayed open")
        check(proc.poll() is None, "the web shell ended")


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--shell", required=True)
    parser.add_argument("--mock-capture-shell")
    parser.add_argument("--close-request")
    parser.add_argument("--artifacts", default=".")
    args = parser.parse_args()
    os.makedirs(args.artifacts, exist_ok=True)
    try:
        CASES[args.case](args)
    except Failure as failure:
        print(f"FAIL {args.case}: {failure}", file=sys.stderr)
        return 1
    print(f"PASS {args.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
