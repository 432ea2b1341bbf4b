#!/usr/bin/env python3
"""End-to-end tests of PimOrloWebView: one case per run, named on the command
line, so that each gets its own X server and its own deadline.

usage: web_shell_e2e.py CASE --shell PATH [--mock-capture-shell PATH]
                        [--close-request PATH] [--nested-loop-quit PATH]
                        [--artifacts DIR]
"""

import argparse
import functools
import os
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_shell_harness import Failure, Reply, Session, pixel, wait_until  # noqa: E402

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
addEventListener('resize', () => fetch('/report?resized=main&w=' + innerWidth + '&h=' + innerHeight));
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


def ticking(name):
    """Script for a page that reports its load and then ticks, each report
    naming this one document, so a test can tell that the page it loaded is
    the page still running."""
    return f"""<script>
const doc = String(Math.random()).slice(2);
fetch('/report?loaded={name}&doc=' + doc);
setInterval(() => fetch('/report?tick={name}&doc=' + doc + '&t=' + Date.now()), 150);
</script>"""


# A stray "%" that GLib's strict parser refuses, in a sub-frame, a script's
# window and a main-frame navigation, all to the foreign server.
PERCENT = """<!doctype html><html><head><title>E2E percent</title></head><body>
<iframe src="http://127.0.0.2:{fport}/framed?%" width="300" height="200"></iframe>
<script>
window.open('http://127.0.0.2:{fport}/popup?%');
setTimeout(() => location.href = 'http://127.0.0.2:{fport}/page?%', 600);
</script>""" + ticking("percent") + "</body></html>"

# A meta refresh, a server redirect and a form post, each to the foreign server.
AWAY = """<!doctype html><html><head><title>E2E away</title>
<meta http-equiv="refresh" content="0;url=http://127.0.0.2:{fport}/refreshed"></head><body>
<form id="f" method="post" action="http://127.0.0.2:{fport}/posted"><input name="a" value="b"></form>
<script>
setTimeout(() => location.href = '/redirect', 1200);
setTimeout(() => document.getElementById('f').submit(), 2400);
</script>""" + ticking("away") + "</body></html>"

MARKER = "pimorlo-download-" + os.urandom(6).hex()

DOWNLOADS = """<!doctype html><html><head><title>E2E downloads</title></head><body>
<a id="dl" href="/plain-file" download="{marker}.txt">save</a>
<script>
// Two seconds apart: a second apart, on a loaded machine, the last request
// once never came.
setTimeout(() => location.href = '/attachment-bin', 300);
setTimeout(() => location.href = '/attachment-html', 2300);
setTimeout(() => document.getElementById('dl').click(), 4300);
</script>""".replace("{marker}", MARKER) + ticking("downloads") + "</body></html>"

# Addresses the view may load but cannot: no handler serves them, or nothing
# listens. Then a mail address aimed at a new window.
MAIL = """<!doctype html><html><head><title>E2E mail</title></head><body>
<script>
setTimeout(() => location.href = 'mailto:someone@example.com', 300);
setTimeout(() => location.href = 'tel:+15550100', 900);
setTimeout(() => location.href = 'x-pimorlo-custom:thing', 1500);
setTimeout(() => location.href = 'http://127.0.0.1:{cport}/nobody', 2100);
setTimeout(() => window.open('mailto:other@example.com'), 2700);
</script>""" + ticking("mail") + "</body></html>"

OPENER = """<!doctype html><html><head><title>E2E opener</title></head><body>
<script>setTimeout(() => window.open('/second?via=script'), 300);</script>""" + ticking("opener") + "</body></html>"

# A field whose page takes every Ctrl key for itself, beside nothing else.
KEYS = """<!doctype html><html><head><title>E2E keys</title><style>
body {{ margin: 0; background: rgb(31, 138, 91); }}
#guarded {{ position: absolute; left: 100px; top: 20px; width: 400px; font-size: 24px; }}
</style></head><body>
<input id="guarded" onfocus="fetch('/report?focus=guarded')"
       oninput="fetch('/report?guarded=' + encodeURIComponent(this.value))">
<script>
document.getElementById('guarded').addEventListener('keydown', e => {{
  if (!e.ctrlKey || e.key === 'Control' || e.key === 'Shift') return;
  e.preventDefault();
  fetch('/report?key=' + encodeURIComponent(e.key) + '&shift=' + e.shiftKey);
}});
</script>""" + ticking("keys") + "</body></html>"

# A page on [::1] (local for navigation, not for devices) that starts a load
# of a local page, which the server holds back, and asks for devices while it
# is pending.
MEDIA_PENDING = """<!doctype html><html><head><title>E2E media pending</title></head><body><script>
location.href = 'http://127.0.0.1:{port}/slow';
setTimeout(() => {{
  try {{
    navigator.mediaDevices.getUserMedia({{audio: true, video: true}})
      .then(s => fetch('/report?media=granted'))
      .catch(e => fetch('/report?media=refused&name=' + e.name));
  }} catch (e) {{ fetch('/report?media=unavailable&name=' + e.name); }}
}}, 500);
</script></body></html>"""

# A print request that needs no click, then a page that goes on running.
PRINT = """<!doctype html><html><head><title>E2E print</title></head><body>
<script>setTimeout(() => {{
  fetch('/report?print=asked');
  window.print();
  fetch('/report?print=returned');
}}, 300);</script>""" + ticking("print") + "</body></html>"

# A local page that moves on to another local page at once, so that the page
# last committed is not the one the shell started with.
HOP = """<!doctype html><html><head><title>E2E hop</title></head><body>
<script>location.href = '/landing';</script></body></html>"""
LANDING = """<!doctype html><html><head><title>E2E landing</title></head><body>""" + ticking("landing") + \
    "</body></html>"

# Pages whose web process ends as soon as they are shown: WebKit ends a web
# process that is redirected from a web page to a file: address, in the main
# frame and in a sub-frame alike.
FILE_REDIRECT = """<!doctype html><html><head><title>E2E file redirect</title></head><body>
<script>setTimeout(() => location.href = '/to-file', 200);</script>""" + ticking("fileredirect") + "</body></html>"
FILE_FRAME = """<!doctype html><html><head><title>E2E file frame</title></head><body>
<iframe src="/to-file" width="300" height="200"></iframe>""" + ticking("fileframe") + "</body></html>"

# Pages that open one of WebKit's own dialogs: a control filling the top left
# of the view that a click opens, or a script dialog opened at once.
def dialog_page(name, control="", script=""):
    return ("""<!doctype html><html><head><title>E2E dialog</title><style>
body {{ margin: 0; background: rgb(31, 138, 91); }}
#control {{ position: absolute; left: 0; top: 0; width: 400px; height: 300px; font-size: 24px; }}
</style></head><body>""" + control + "<script>" + script + "</script>" + ticking(name) + "</body></html>")


def script_dialog(call):
    return f"""setTimeout(() => {{{{
  fetch('/report?dialog=asked');
  {call};
  fetch('/report?dialog=returned');
}}}}, 300);"""


# The file input reports what the page was given: each file's name and text.
FILE_INPUT = """<input id="control" type="file" multiple onchange="
  Promise.all([...this.files].map(f => f.text().then(t => f.name + ':' + t)))
    .then(all => fetch('/report?picked=' + encodeURIComponent(all.join('|'))))"
  oncancel="fetch('/report?picked=cancelled')">"""

DIALOG_PAGES = {
    "file_chooser": dialog_page("file", control=FILE_INPUT),
    "colour_chooser": dialog_page("colour", control='<input id="control" type="color">'),
    "select_popup": dialog_page("select", control='<select id="control"><option>one</option><option>two</option></select>'),
    "context_menu": dialog_page("menu"),
    "alert": dialog_page("alert", script=script_dialog("alert('E2E alert')")),
    "confirm": dialog_page("confirm", script=script_dialog("confirm('E2E confirm')")),
    "prompt": dialog_page("prompt", script=script_dialog("prompt('E2E prompt', 'answer')")),
}

FOREIGN = {path: "<!doctype html><title>foreign</title>" for path in
           ("/framed", "/popup", "/page", "/refreshed", "/redirected", "/posted")}

PAGES = {"/main": MAIN, "/second": SECOND, "/framehost": FRAME_HOST, "/media": MEDIA,
         "/percent": PERCENT, "/away": AWAY, "/downloads": DOWNLOADS, "/mail": MAIL, "/opener": OPENER,
         "/keys": KEYS, "/mediapending": MEDIA_PENDING, "/print": PRINT, "/hop": HOP, "/landing": LANDING,
         "/fileredirect": FILE_REDIRECT, "/fileframe": FILE_FRAME,
         "/to-file": Reply(302, {"Location": "file:///etc/hostname"}),
         "/redirect": Reply(302, {"Location": "http://127.0.0.2:{fport}/redirected"}),
         "/slow": Reply(headers={"Content-Type": "text/html"}, body=SECOND, delay=20),
         "/attachment-bin": Reply(headers={"Content-Type": "application/octet-stream",
                                           "Content-Disposition": f'attachment; filename="{MARKER}.bin"'},
                                  body=MARKER),
         "/attachment-html": Reply(headers={"Content-Type": "text/html",
                                            "Content-Disposition": f'attachment; filename="{MARKER}.html"'},
                                   body=f"<p>{MARKER}</p>"),
         "/plain-file": Reply(headers={"Content-Type": "text/plain"}, body=MARKER),
         **{"/dialog-" + kind: page for kind, page in DIALOG_PAGES.items()}}


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


def launch_ticking(s, shell, name):
    """Starts the shell on the page `name` and waits until it runs; its
    document id."""
    proc = s.start_shell(shell, s.url("/" + name))
    loaded = wait_until(lambda: s.server.report(loaded=name), 20, f"the {name} page to load")
    return proc, loaded["doc"]


def check_still_running(s, proc, name, doc, until):
    """The one document `doc` of page `name` still ticks after the wall-clock
    time `until`, and was never loaded again or replaced."""
    wait_until(lambda: any(r.get("tick") == name and int(r["t"]) / 1000 > until for r in s.server.reports()),
               until - time.time() + 10, f"the {name} page to keep running")
    docs = {r["doc"] for r in s.server.reports() if r.get("loaded") == name or r.get("tick") == name}
    check(docs == {doc}, f"the {name} page was loaded again: documents {docs}")
    check(proc.poll() is None, "the web shell ended")


def check_foreign_untouched(s):
    with s.foreign.lock:
        seen = list(s.foreign.requests)
    check(seen == [], f"the foreign server was asked for {seen}")


def case_page_loads(args):
    with Session(PAGES) as s:
        proc, window = launch_main(s, args.shell)
        loaded = s.server.report(loaded="main")
        check((loaded["w"], loaded["h"]) == ("1040", "760"), f"page sees {loaded['w']}x{loaded['h']}, not 1040x760")
        geo = s.geometry(window)
        check(geo["WIDTH"] == 1040 and 760 < geo["HEIGHT"] < 820, f"window is {geo}")
        check(geo["X"] == (1280 - 1040) // 2 and geo["Y"] == (1024 - geo["HEIGHT"]) // 2, f"window not centred: {geo}")
        # The first paint can lag the page's scripts by seconds on a loaded
        # machine; what counts is that the window comes to show the page.
        shot = os.path.join(args.artifacts, "web-shell-window.png")
        shown = []

        def painted():
            s.screenshot(shot)
            shown.append(pixel(shot, geo["X"] + 700, geo["Y"] + menu_bar_height(s, window) + 600))
            return all(abs(a - b) <= 8 for a, b in zip(shown[-1], BACKGROUND))
        try:
            wait_until(painted, 15, "the page to be painted")
        except Failure:
            raise Failure(f"window shows {shown[-1]}, not the page's {BACKGROUND}")
        inside = shown[-1]
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
        unset = "GSK_RENDERER=unset GDK_DEBUG=unset GDK_DISABLE=unset"
        check(s.opened_environment() == [unset], f"the browser was given {s.opened_environment()}")
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
        code = s.wait_exit(proc, 10)
        # The delegate and its window outlive the event loop; the process
        # must still end in order, not on a signal.
        check(code == 0, f"the web shell ended with {code}")


def case_closing_window_quits(args):
    with Session(PAGES) as s:
        proc, window = launch_main(s, args.shell)
        subprocess.run([args.close_request, window], env=s.env, check=True, timeout=10)
        code = s.wait_exit(proc, 10)
        check(code == 0, f"the web shell ended with {code}")


def case_quiet_on_a_desktop_session(args):
    """Started as a desktop starts it, with a session bus and accessibility
    on, the shell shows its page, is closed, and has written nothing: no
    message of its own, GTK's, GLib's or WebKit's, not even with GLib's debug
    messages asked for, which WebKit's own processes would print."""
    with Session(PAGES, desktop=True) as s:
        s.env["G_MESSAGES_DEBUG"] = "all"
        proc, window = launch_main(s, args.shell)
        time.sleep(1.0)
        subprocess.run([args.close_request, window], env=s.env, check=True, timeout=10)
        code = s.wait_exit(proc, 10)
        check(code == 0, f"the web shell ended with {code}")
        written = s.shell_output()
        check(written == "", f"the web shell wrote:\n{written}")


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
        steps = [("ctrl+a", None), ("ctrl+x", ""), ("ctrl+z", "abc"), ("ctrl+shift+z", ""), ("ctrl+v", "abc")]
        for keys, expected in steps:
            before = len(s.server.reports())
            s.key(window, keys)
            if expected is not None:
                wait_until(lambda: any(r.get("text") == expected for r in s.server.reports()[before:]), 10,
                           f"{expected!r} after {keys}")
            else:
                time.sleep(0.3)
        # Each key ran its command once: a key that both WebKit and the shell
        # acted on would have pasted twice. (A second paste is not tried:
        # WebKitGTK at times leaves the pasted text selected a moment later,
        # more often on a loaded machine, and pasting again replaces it.)
        time.sleep(1.0)
        values = [r["text"] for r in s.server.reports() if "text" in r]
        check(values[-1] == "abc", f"the field went {values}")
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
        # The watch starts when the window is made, once GTK and WebKit are
        # up; on a loaded machine that alone can take seconds. So the end is
        # timed from the window, which the test sees only after the watch has
        # started, and never comes before one period after launch.
        shown = time.monotonic()
        s.wait_exit(proc, 6)
        ended = time.monotonic()
        check(ended - proc.started >= 1.9, f"ended {ended - proc.started:.2f} s after launch, before the first tick")
        check(ended - shown <= 3.0, f"ended {ended - shown:.2f} s after the window appeared, not at the first tick")


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


def case_stray_percent_held(args):
    with Session(PAGES, foreign_pages=FOREIGN) as s:
        proc, doc = launch_ticking(s, args.shell, "percent")
        expected = sorted(f"http://127.0.0.2:{s.foreign.port}{path}?%" for path in ("/framed", "/popup", "/page"))
        wait_until(lambda: len(s.opened()) >= 3, 15, "three addresses handed to the browser")
        check(sorted(s.opened()) == expected, f"opened {s.opened()}")
        check_still_running(s, proc, "percent", doc, time.time() + 1.0)
        check_foreign_untouched(s)


def case_foreign_redirect_refresh_post_held(args):
    with Session(PAGES, foreign_pages=FOREIGN) as s:
        proc, doc = launch_ticking(s, args.shell, "away")
        expected = sorted(f"http://127.0.0.2:{s.foreign.port}{path}" for path in
                          ("/refreshed", "/redirected", "/posted"))
        wait_until(lambda: len(s.opened()) >= 3, 15, "three addresses handed to the browser")
        check(sorted(s.opened()) == expected, f"opened {s.opened()}")
        check_still_running(s, proc, "away", doc, time.time() + 1.0)
        check_foreign_untouched(s)


def case_downloads_write_nothing(args):
    with Session(PAGES) as s:
        proc, doc = launch_ticking(s, args.shell, "downloads")
        for path in ("/attachment-bin", "/attachment-html", "/plain-file"):
            wait_until(lambda: s.server.saw(path), 15, f"the request for {path}")
        # Whatever WebKit would save, it saves within moments of the response.
        check_still_running(s, proc, "downloads", doc, time.time() + 2.0)
        check(s.files_under(s.home) == set(), f"files in the home directory: {s.files_under(s.home)}")
        check(s.files_containing(MARKER) == [], f"downloaded: {s.files_containing(MARKER)}")
        check(s.opened() == [], f"opened {s.opened()}")


def case_failed_loads_keep_the_page(args):
    with Session(PAGES) as s:
        # A port that was free a moment ago: nothing answers there.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            s.server.placeholders["cport"] = probe.getsockname()[1]
        proc, doc = launch_ticking(s, args.shell, "mail")
        wait_until(lambda: s.opened(), 15, "the mail window handed to the system")
        check_still_running(s, proc, "mail", doc, time.time() + 1.5)
        # Navigation leaves mail and phone addresses to the view; only the
        # new window goes to the system.
        check(s.opened() == ["mailto:other@example.com"], f"opened {s.opened()}")


def case_script_opened_local_window(args):
    with Session(PAGES) as s:
        proc, _ = launch_ticking(s, args.shell, "opener")
        wait_until(lambda: s.server.report(loaded="second", via="script"), 15, "the script's window in place")
        check(s.opened() == [], f"opened {s.opened()}")
        check(proc.poll() is None, "the web shell ended")


def case_page_keys_first(args):
    with Session(PAGES) as s:
        proc = s.start_shell(args.shell, s.url("/keys"))
        window = s.window_of(proc)
        wait_until(lambda: s.server.report(loaded="keys"), 20, "the page to load")
        wait_until(lambda: len([r for r in s.server.reports() if r.get("tick")]) >= 3, 10, "the page to run")
        top = s.geometry(window)["HEIGHT"] - 760

        def focus_field():
            s.click(window, 300, top + 35)
            return s.server.report(focus="guarded")
        wait_until(focus_field, 10, "the guarded field to take focus")
        s.type_text(window, "abc")
        wait_until(lambda: s.server.report(guarded="abc"), 10, "the typed text")
        s.key(window, "shift+Home")  # the whole text selected, for Cut to take
        for keys, key, shift in (("ctrl+x", "x", "false"), ("ctrl+c", "c", "false"), ("ctrl+v", "v", "false"),
                                 ("ctrl+a", "a", "false"), ("ctrl+z", "z", "false"), ("ctrl+shift+z", "Z", "true")):
            s.key(window, keys)
            wait_until(lambda: s.server.report(key=key, shift=shift), 10, f"the page to see {keys}")
        time.sleep(1.0)
        values = [r["guarded"] for r in s.server.reports() if "guarded" in r]
        check(values[-1] == "abc", f"the field changed after the page took the keys: {values}")
        # Quitting is the shell's own key, whatever the page does with it.
        s.key(window, "ctrl+q")
        s.wait_exit(proc, 10)
        check(not s.server.report(key="q"), "the page saw Ctrl+Q")


def case_window_follows_resize(args):
    with Session(PAGES) as s:
        proc, window = launch_main(s, args.shell)
        top = menu_bar_height(s, window)
        s.xdotool("windowsize", "--sync", window, "900", "700")
        wait_until(lambda: s.server.report(resized="main", w="900", h=str(700 - top)), 10,
                   f"the page to follow to 900x{700 - top}")
        s.server.clear()
        # Asked for less than the minimum, the page follows down to 720x560
        # and no further.
        s.xdotool("windowsize", window, "500", "400")
        wait_until(lambda: s.server.report(resized="main"), 10, "the page to follow the shrinking window")
        time.sleep(1.5)
        sizes = [(int(r["w"]), int(r["h"])) for r in s.server.reports() if r.get("resized")]
        check(sizes[-1] == (720, 560) and all(w >= 720 and h >= 560 for w, h in sizes),
              f"the page went {sizes}, not down to 720x560")
        check(proc.poll() is None, "the web shell ended")


def case_page_loads_wayland(args):
    """Under a Wayland compositor GTK draws the title bar itself; the page
    still gets its full size."""
    with Session(PAGES, display="wayland") as s:
        proc = s.start_shell(args.shell, s.url("/main"))
        loaded = wait_until(lambda: s.server.report(loaded="main"), 30, "the page to load under Wayland")
        check((loaded["w"], loaded["h"]) == ("1040", "760"), f"page sees {loaded['w']}x{loaded['h']}, not 1040x760")
        wait_until(lambda: len([r for r in s.server.reports() if r.get("tick")]) >= 3, 10, "the page to run")
        check(proc.poll() is None, "the web shell ended")


def case_media_decided_on_committed_page(args):
    """The committed page is on [::1] and asks while a local page is pending:
    the pending page's host must not decide. Depending on how far the pending
    load has got, WebKit either asks the shell, which must then ask the user,
    or refuses the request itself; it must never be granted."""
    with Session(PAGES, ipv6=True) as s:
        proc = s.start_shell(args.mock_capture_shell, s.url("/mediapending", ipv6=True))
        s.window_of(proc)
        wait_until(lambda: s.server.saw("/slow"), 20, "the local load to start")
        wait_until(lambda: s.windows_named("^Camera and microphone$") or s.server.reports(), 15,
                   "the media request's outcome")
        check(not s.server.report(media="granted"), "granted without asking, on the pending page's host")
        check(not s.server.report(media="unavailable"), "the page had no media devices")
        if not s.windows_named("^Camera and microphone$"):
            refused = s.server.report(media="refused")
            check(refused is not None and refused.get("name") == "TypeError",
                  f"neither a permission dialog nor WebKit's own refusal: {s.server.reports()}")
        check(proc.poll() is None, "the web shell ended")


def end_and_time(s, args, proc, window, focused, parent, how):
    """Ends the shell one way, the parent's end, the quit key pressed in the
    `focused` window or the close request of the shell's `window`, and
    returns how long it took."""
    asked = time.monotonic()
    if how == "parent":
        parent.kill()
        parent.wait(timeout=5)
    elif how == "quit":
        s.key(focused, "ctrl+q")
    else:
        subprocess.run([args.close_request, window], env=s.env, check=True, timeout=10)
    try:
        code = s.wait_exit(proc, 8)
    except Failure as failure:
        raise Failure(f"{failure} ({how})")
    took = time.monotonic() - asked
    check(code == 0, f"the web shell ended with {code} ({how})")
    return took


def check_dialog_holds_nothing(args, shell, page, wait_for_dialog, ipv6=False):
    """With whatever the page opened on screen, each ending still ends the
    shell: the parent watch within one 2-second period, the quit key and the
    close request at once (3 s each, with slack for a busy machine).
    `wait_for_dialog` names what is open and the window that has the
    keyboard."""
    with Session(PAGES, ipv6=ipv6) as s:
        for how in ("parent", "quit", "close"):
            parent = subprocess.Popen(["sleep", "60"])
            try:
                s.server.clear()
                proc = s.start_shell(shell, s.url(page, ipv6=ipv6), str(parent.pid))
                window = s.window_of(proc)
                seen, focused = wait_for_dialog(s, window)
                took = end_and_time(s, args, proc, window, focused, parent, how)
                print(f"{how}: ended {took:.2f} s after it was asked with {seen} open")
                check(took <= 3.0, f"the web shell took {took:.2f} s to end ({how}) with {seen} open")
                # Its web process can outlive it for a moment, and a page
                # held in a script dialog runs on once that dialog goes:
                # nothing of this round may report into the next.
                s.stop_shell(proc)
            finally:
                parent.kill()
                parent.wait(timeout=5)
        return s.files_under(s.home), s.files_under(s.cwd)


def case_print_request_holds_nothing(args):
    """window.print() opens nothing, writes nothing and holds no ending, as a
    WKWebView does for an application that implements no printing."""
    dialogs = []

    def print_requested(s, window):
        wait_until(lambda: s.server.report(print="asked"), 20, "the print request")
        wait_until(lambda: s.server.report(print="returned"), 10, "window.print() to return")
        time.sleep(1.0)  # whatever the request opens is on screen by now
        dialogs.extend(s.windows_named("^Print$"))
        return "the print request", dialogs[-1] if dialogs else window
    home, cwd = check_dialog_holds_nothing(args, args.shell, "/print", print_requested)
    check(dialogs == [], "a print dialog appeared")
    check(home == set() and cwd == set(), f"files written: home {home}, working directory {cwd}")


def case_media_prompt_holds_nothing(args):
    def prompt_shown(s, window):
        # GTK may keep more than one X window under the dialog's name; the
        # one that takes input is the last made.
        dialog = wait_until(lambda: s.windows_named("^Camera and microphone$"), 20, "the permission dialog")[-1]
        return "the permission dialog", dialog
    check_dialog_holds_nothing(args, args.mock_capture_shell, "/media", prompt_shown, ipv6=True)


def shell_windows(s, proc):
    """The shell's visible X windows, its own window among them."""
    return s.xdotool("search", "--onlyvisible", "--pid", str(proc.pid), "--name", "").stdout.split()


def clicked_open(focus_dialog, button="1"):
    """Opens the page's control (or its context menu) with a real click and
    waits for the window it brings up; the quit key goes to that window, or
    to the page's own where the dialog is a popup that takes no focus of its
    own."""
    def open_dialog(s, proc, window):
        wait_until(lambda: len([r for r in s.server.reports() if r.get("tick")]) >= 3, 20, "the page to run")
        before = set(shell_windows(s, proc))
        s.xdotool("mousemove", "--window", window, "200", str(menu_bar_height(s, window) + 150))
        s.xdotool("click", button)
        opened = wait_until(lambda: [w for w in shell_windows(s, proc) if w not in before], 15,
                            "a window for the page's control")
        # GTK may map more than one X window for one dialog; the one that
        # takes input is the last made.
        return opened[-1] if focus_dialog else window
    return open_dialog


def script_dialog_open(s, proc, window):
    """A script dialog is drawn inside the view: the page's script stays
    stopped in the call while it is up."""
    wait_until(lambda: s.server.report(dialog="asked"), 20, "the script dialog")
    time.sleep(1.0)
    check(not s.server.report(dialog="returned"), "the script dialog returned by itself")
    return window


# What WebKit opens over a page, how it is opened and where the keyboard is
# while it is up. Each is a case of its own, "<name>_holds_nothing".
WEBKIT_DIALOGS = {
    "file_chooser": ("the file chooser", clicked_open(True)),
    "colour_chooser": ("the colour chooser", clicked_open(True)),
    "select_popup": ("the select popup", clicked_open(False)),
    "context_menu": ("the context menu", clicked_open(False, button="3")),
    "alert": ("an alert", script_dialog_open),
    "confirm": ("a confirm", script_dialog_open),
    "prompt": ("a prompt", script_dialog_open),
}


def webkit_dialog_holds_nothing(args, kind):
    """WebKit's own dialogs and popups hold no ending either: whichever is
    up, the parent watch, the quit key and the window's close request each
    end the shell."""
    seen, open_dialog = WEBKIT_DIALOGS[kind]

    def dialog_open(s, window):
        proc = s.shells[-1]
        return seen, open_dialog(s, proc, window)
    check_dialog_holds_nothing(args, args.shell, "/dialog-" + kind, dialog_open)


def case_file_chooser_answers_the_page(args):
    """The page gets the file chosen, and a chooser closed without a choice
    answers too: the page hears of it, and the next click opens a chooser
    again."""
    with Session(PAGES) as s:
        # The only file in the home folder, which the chooser's Alt+Home
        # shows: its first row, whatever folder the chooser opened in.
        # (Typing a path races the location entry's completion.)
        with open(os.path.join(s.home, "chosen.txt"), "w") as f:
            f.write("chosen-content")
        proc = s.start_shell(args.shell, s.url("/dialog-file_chooser"))
        window = s.window_of(proc)
        wait_until(lambda: len([r for r in s.server.reports() if r.get("tick")]) >= 3, 20, "the page to run")

        def open_chooser():
            s.click(window, 200, menu_bar_height(s, window) + 150)
            return wait_until(lambda: s.windows_named("^Select Files$"), 15, "the file chooser")[-1]
        chooser = open_chooser()
        for attempt in range(3):
            s.key(chooser, "alt+Home")
            time.sleep(1.0)
            s.xdotool("mousemove", "--window", chooser, "300", "87")
            s.xdotool("click", "--repeat", "2", "1")
            try:
                wait_until(lambda: not s.windows_named("^Select Files$"), 5, "the chooser to take the file")
                break
            except Failure:
                if attempt == 2:
                    raise
        got = wait_until(lambda: [r for r in s.server.reports() if "picked" in r], 10, "the page to get the file")
        check(got == [{"picked": "chosen.txt:chosen-content"}], f"the page got {got}")

        chooser = open_chooser()
        s.key(chooser, "Escape")
        wait_until(lambda: not s.windows_named("^Select Files$"), 10, "the chooser to close on Escape")
        wait_until(lambda: s.server.report(picked="cancelled"), 10, "the page to be told nothing was chosen")
        open_chooser()
        check(proc.poll() is None, "the web shell ended")


def case_nested_loop_holds_no_end(args):
    """A library's modal dialog may run a main loop of its own, as GTK's
    print dialog does: asked to end from inside one, the window backend ends
    the process at once."""
    with Session(PAGES) as s:
        proc = s.start_shell(args.nested_loop_quit)
        code = s.wait_exit(proc, 5)
        took = time.monotonic() - proc.started
        check(code == 0, f"ended with {code}: {'the nested loop returned first' if code == 3 else 'not in order'}")
        check(took <= 3.0, f"ended {took:.2f} s after it started")


def case_killed_web_process_gives_the_page_back(args):
    """The page last committed comes back when its web process is killed;
    the shell goes on as before."""
    with Session(PAGES) as s:
        proc = s.start_shell(args.shell, s.url("/hop"))
        first = wait_until(lambda: s.server.report(loaded="landing"), 20, "the landing page to load")
        doomed = wait_until(lambda: s.web_processes(proc), 10, "a web process")
        for pid in doomed:
            os.kill(pid, signal.SIGKILL)
        killed = time.monotonic()
        again = wait_until(lambda: [r for r in s.server.reports() if r.get("loaded") == "landing"
                                    and r["doc"] != first["doc"]], 10, "the landing page to come back")
        took = time.monotonic() - killed
        print(f"the page came back {took:.2f} s after its web process was killed")
        check(took <= 3.0, f"the page came back {took:.2f} s after its web process was killed")
        doc = again[0]["doc"]
        until = time.time() + 1.0
        wait_until(lambda: any(r.get("tick") == "landing" and r["doc"] == doc and int(r["t"]) / 1000 > until
                               for r in s.server.reports()), 10, "the page to keep running")
        docs = {r["doc"] for r in s.server.reports() if r.get("loaded") == "landing"}
        check(docs == {first["doc"], doc}, f"the landing page was loaded as {docs}")
        with s.server.lock:
            hops = [p for p in s.server.requests if p == "/hop"]
        check(len(hops) == 1, "the start page was loaded again, not the page last shown")
        check(proc.poll() is None, "the web shell ended")
        check(s.opened() == [], f"opened {s.opened()}")


def case_process_ending_page_reloads_a_few_times(args):
    """A page whose web process ends each time it is shown is loaded again
    a few times, not for ever; the shell stays responsive throughout."""
    with Session(PAGES) as s:
        proc = s.start_shell(args.shell, s.url("/landing"))
        window = s.window_of(proc)

        def shown():
            return len([r for r in s.server.reports() if r.get("loaded") == "landing"])
        for times in range(1, 5):
            wait_until(lambda: shown() >= times, 15, f"the page to be shown {times} times")
            for pid in wait_until(lambda: s.web_processes(proc), 10, "the page's web process"):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        time.sleep(6.0)
        check(shown() == 4, f"the page was shown {shown()} times, not once and three times again")
        s.key(window, "ctrl+q")
        check(s.wait_exit(proc, 10) == 0, "the web shell did not end in order")


def case_file_address_leaves_a_page_running(args):
    """A local page that sends its main frame or a sub-frame to a file:
    address is still running a moment later: WebKitGTK 2.54 refuses the load
    and the page goes on; 2.50 ends the web process, and the shell loads the
    page again."""
    with Session(PAGES) as s:
        for name in ("fileredirect", "fileframe"):
            proc = s.start_shell(args.shell, s.url("/" + name))
            window = s.window_of(proc)
            first = wait_until(lambda: s.server.report(loaded=name), 20, f"the {name} page to load")
            wait_until(lambda: s.server.saw("/to-file"), 10, f"the {name} page to go to the file: address")
            since = time.time()

            def running():
                for r in s.server.reports():
                    if r.get("loaded") == name and r["doc"] != first["doc"]:
                        return "loaded again"
                    if r.get("tick") == name and r["doc"] == first["doc"] and int(r["t"]) / 1000 > since + 1.0:
                        return "went on"
                return None
            print(f"the {name} page {wait_until(running, 5, f'the {name} page to be running')}")
            time.sleep(3.0)
            with s.server.lock:
                loads = len([p for p in s.server.requests if p == "/" + name])
            check(loads <= 4, f"the {name} page was loaded {loads} times")
            s.server.clear()
            s.key(window, "ctrl+q")
            check(s.wait_exit(proc, 10) == 0, "the web shell did not end in order")


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}
CASES.update({f"{kind}_holds_nothing": functools.partial(webkit_dialog_holds_nothing, kind=kind)
              for kind in WEBKIT_DIALOGS})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--shell", required=True)
    parser.add_argument("--mock-capture-shell")
    parser.add_argument("--close-request")
    parser.add_argument("--nested-loop-quit")
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
