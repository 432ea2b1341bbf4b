#!/usr/bin/env python3
"""Opens the web shell on a demo page served from 127.0.0.1.

With a display, the window stays until it is closed. Without one, the shell
runs in a private Xvfb for a few seconds and a screenshot is saved.

Then it prints PASS or FAIL with what it checked, and exits 1 on FAIL: the
shell asked for the page; without a display also that its window opened and
the screenshot shows the page's own green-blue background inside it.

usage: demo.py SHELL SCREENSHOT
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_shell_harness import Failure, PageServer, Session, pixel, wait_until  # noqa: E402

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo_page.html")) as f:
    PAGE = f.read().replace("{", "{{").replace("}", "}}")


def shows_page_background(rgb):
    """The demo page's gradient runs from #1f8a5b to #17546f: green and blue
    well above red. A blank (white) or black view is neither."""
    r, g, b = rgb
    return g > r + 40 and b > r + 40


def interactive(shell):
    server = PageServer({"/": PAGE})
    try:
        url = f"http://127.0.0.1:{server.port}/"
        print(f"demo: showing {url}; close the window or press Ctrl+Q to end")
        status = subprocess.run([shell, url, str(os.getpid())]).returncode
        if status != 0:
            return f"the web shell ended with status {status}"
        if not server.saw("/"):
            return f"the web shell never asked for {url}"
        print(f"PASS: the web shell asked for {url} and ended with status 0")
        return None
    finally:
        server.stop()


def headless(shell, screenshot):
    with Session({"/": PAGE}) as s:
        proc = s.start_shell(shell, s.url("/"), str(os.getpid()))
        window = s.window_of(proc)
        wait_until(lambda: s.server.saw("/"), 20, "the page")
        time.sleep(2.0)
        s.screenshot(screenshot)
        print(f"demo: no display, so the window was shown in a private Xvfb; screenshot at {screenshot}")
        # A point well inside the 1040 x 760 web view, under any menu bar.
        geo = s.geometry(window)
        x, y = geo["X"] + 700, geo["Y"] + geo["HEIGHT"] - 160
        rgb = pixel(screenshot, x, y)
        if not shows_page_background(rgb):
            return (f"the screenshot shows rgb{rgb} at ({x}, {y}) inside the window, "
                    "not the page's green-blue background (green and blue 40 above red)")
        print(f"PASS: the window opened, asked for {s.url('/')} and shows the page "
              f"(rgb{rgb} at ({x}, {y}): green and blue 40 above red)")
    return None


def main():
    shell, screenshot = sys.argv[1], os.path.abspath(sys.argv[2])
    try:
        if os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"):
            failure = interactive(shell)
        else:
            failure = headless(shell, screenshot)
    except Failure as e:
        failure = str(e)
    if failure:
        print(f"FAIL: {failure}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
