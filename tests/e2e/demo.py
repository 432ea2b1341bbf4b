#!/usr/bin/env python3
"""Opens the web shell on a demo page served from 127.0.0.1.

With a display, the window stays until it is closed. Without one, the shell
runs in a private Xvfb for a few seconds and a screenshot is saved.

usage: demo.py SHELL SCREENSHOT
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_shell_harness import PageServer, Session, wait_until  # noqa: E402

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo_page.html")) as f:
    PAGE = f.read().replace("{", "{{").replace("}", "}}")


def main():
    shell, screenshot = sys.argv[1], os.path.abspath(sys.argv[2])
    if os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"):
        server = PageServer({"/": PAGE})
        try:
            url = f"http://127.0.0.1:{server.port}/"
            print(f"demo: showing {url}; close the window or press Ctrl+Q to end")
            return subprocess.run([shell, url, str(os.getpid())]).returncode
        finally:
            server.stop()
    with Session({"/": PAGE}) as s:
        proc = s.start_shell(shell, s.url("/"), str(os.getpid()))
        s.window_of(proc)
        wait_until(lambda: s.server.saw("/"), 20, "the page")
        time.sleep(2.0)
        s.screenshot(screenshot)
        print(f"demo: no display, so the window was shown in a private Xvfb; screenshot at {screenshot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
