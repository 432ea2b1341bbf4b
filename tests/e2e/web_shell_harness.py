#!/usr/bin/env python3
"""Runs PimOrloWebView for real inside a private display server.

Each session owns everything it starts: an Xvfb found through -displayfd, or a
headless weston on a socket in the session's own XDG_RUNTIME_DIR; a 127.0.0.1
web server on a free port that logs every request, and if asked a "foreign"
one on 127.0.0.2; a fake default application for web, mail and phone
addresses, registered through a private XDG_DATA_HOME/XDG_CONFIG_HOME, that
appends each address it is given to a file; and the web shell's whole process
group. Everything is waited for with a deadline and stopped on the way out.
"""

import http.server
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse


class Failure(Exception):
    pass


def wait_until(predicate, timeout, what):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise Failure(f"timed out after {timeout:.1f} s waiting for {what}")
        time.sleep(0.05)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True


class Reply:
    """A response other than a plain page: any status, headers and body, sent
    after `delay` seconds."""

    def __init__(self, status=200, headers=None, body="", delay=0.0):
        self.status = status
        self.headers = headers or {}
        self.body = body
        self.delay = delay


class PageServer:
    """Serves `pages` (path → HTML or a Reply, with {port}, {port6} and
    {fport} filled in) to GET and POST alike and records every request's
    path. /report?… answers 204 and is recorded too."""

    def __init__(self, pages, family=socket.AF_INET, host="127.0.0.1"):
        self.pages = pages
        self.requests = []
        self.lock = threading.Lock()
        self.placeholders = {}
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                with owner.lock:
                    owner.requests.append(self.path)
                path = urllib.parse.urlsplit(self.path).path
                if path == "/report":
                    self.send_response(204)
                    self.send_header("Cache-Control", "no-store")
                    self.end_headers()
                    return
                page = owner.pages.get(path)
                if page is None:
                    self.send_error(404)
                    return
                reply = page if isinstance(page, Reply) else Reply(
                    headers={"Content-Type": "text/html; charset=utf-8"}, body=page)
                if reply.delay:
                    time.sleep(reply.delay)
                body = reply.body.format(**owner.placeholders).encode()
                self.send_response(reply.status)
                for name, value in reply.headers.items():
                    self.send_header(name, value.format(**owner.placeholders))
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                if length:
                    self.rfile.read(length)
                self.do_GET()

            def log_message(self, *args):
                pass

        class Server(_Server):
            address_family = family

        self.httpd = Server((host, 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def reports(self):
        """The query of every /report request, parsed, in order."""
        with self.lock:
            paths = list(self.requests)
        out = []
        for p in paths:
            parts = urllib.parse.urlsplit(p)
            if parts.path == "/report":
                out.append(dict(urllib.parse.parse_qsl(parts.query, keep_blank_values=True)))
        return out

    def report(self, **match):
        for r in self.reports():
            if all(r.get(k) == v for k, v in match.items()):
                return r
        return None

    def clear(self):
        with self.lock:
            self.requests.clear()

    def saw(self, path_prefix):
        with self.lock:
            return any(p.startswith(path_prefix) for p in self.requests)

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


HANDED_SCHEMES = ("http", "https", "mailto", "tel")


def _runtime_dir(root):
    runtime = os.path.join(root, "runtime")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    os.chmod(runtime, 0o700)
    return runtime


def _shell_environment(root, display):
    """What the web shell is given: a private home and XDG directories with
    the fake browser as default for web, mail and phone addresses, software
    GL, and the settings WebKit needs when run as root in a container.
    `display` holds the display server's variables, GDK_BACKEND among them;
    nothing else of this process's environment is passed on."""
    home = os.path.join(root, "home")
    data = os.path.join(root, "data")
    config = os.path.join(root, "config")
    runtime = _runtime_dir(root)
    for d in (home, os.path.join(data, "applications"), config, os.path.join(root, "cache")):
        os.makedirs(d, exist_ok=True)
    opened = os.path.join(root, "opened.txt")
    browser = os.path.join(root, "fake-browser")
    with open(browser, "w") as f:
        f.write(f"#!/bin/sh\nprintf '%s\\n' \"$1\" >> '{opened}'\n"
                # What the shell chose for its own drawing must not reach the
                # programs it opens.
                f"printf 'GSK_RENDERER=%s GDK_DEBUG=%s GDK_DISABLE=%s\\n' \"${{GSK_RENDERER-unset}}\" "
                f"\"${{GDK_DEBUG-unset}}\" \"${{GDK_DISABLE-unset}}\" >> '{opened}.env'\n")
    os.chmod(browser, 0o755)
    with open(os.path.join(data, "applications", "pimorlo-fake-browser.desktop"), "w") as f:
        f.write("[Desktop Entry]\nType=Application\nName=Fake Browser\n"
                f"Exec={browser} %u\n"
                "MimeType=" + "".join(f"x-scheme-handler/{s};" for s in HANDED_SCHEMES) + "\n")
    with open(os.path.join(config, "mimeapps.list"), "w") as f:
        f.write("[Default Applications]\n" + "".join(
            f"x-scheme-handler/{s}=pimorlo-fake-browser.desktop\n" for s in HANDED_SCHEMES))
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": home,
        **display,
        "XDG_DATA_HOME": data,
        "XDG_DATA_DIRS": data + ":/usr/local/share:/usr/share",
        "XDG_CONFIG_HOME": config,
        "XDG_CONFIG_DIRS": config,
        "XDG_CACHE_HOME": os.path.join(root, "cache"),
        "XDG_RUNTIME_DIR": runtime,
        "LIBGL_ALWAYS_SOFTWARE": "1",
        "GTK_A11Y": "none",
        "NO_AT_BRIDGE": "1",
        "GSETTINGS_BACKEND": "memory",
        # No session bus: nothing may be started on one, nothing left behind.
        "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(runtime, "no-bus"),
        "LANG": "C.UTF-8",
    }
    if not _sandbox_usable():
        # WebKit's bubblewrap sandbox cannot set itself up as root or in a
        # container without user namespaces; the pages here are the tests' own.
        env["WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS"] = "1"
    return env, opened


def _sandbox_usable():
    if os.geteuid() == 0 or not shutil.which("bwrap"):
        return False
    try:
        probe = subprocess.run(["bwrap", "--ro-bind", "/", "/", "--unshare-all", "true"],
                               capture_output=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return probe.returncode == 0



def end_group(proc):
    """Ends a display server and its process group: TERM, then KILL past 10 s."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(timeout=10)
    except ProcessLookupError:
        pass
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(timeout=10)

class Session:
    """One private display server, web server and fake browser.

    display="x11" runs Xvfb with no window manager, so no title bar is drawn;
    display="wayland" runs weston's headless backend, where GTK draws the
    title bar itself. xdotool works under X11 only."""

    def __init__(self, pages, ipv6=False, screen="1280x1024x24", foreign_pages=None, display="x11", desktop=False):
        self.root = tempfile.mkdtemp(prefix="pimorlo-e2e-")
        self.shells = []
        self.xvfb = None
        self.weston = None
        self.bus = None
        self.server = None
        self.server6 = None
        self.foreign = None
        try:
            if display == "wayland":
                display_env = self._start_weston(screen)
            else:
                self._start_xvfb(screen)
                display_env = {"DISPLAY": self.display, "GDK_BACKEND": "x11"}
            self.env, self.opened_file = _shell_environment(self.root, display_env)
            if desktop:
                self._start_session_bus()
            self.home = self.env["HOME"]
            # The shells' working directory: a file written relative to it
            # shows up here, not in the test's own directory.
            self.cwd = os.path.join(self.root, "cwd")
            os.makedirs(self.cwd)
            self.server = PageServer(pages)
            placeholders = {"port": self.server.port, "port6": 0, "fport": 0}
            if ipv6:
                self.server6 = PageServer(pages, socket.AF_INET6, "::1")
                self.server6.requests = self.server.requests  # one log
                self.server6.lock = self.server.lock
                placeholders["port6"] = self.server6.port
            if foreign_pages is not None:
                # Another loopback address: as foreign to the policy as any
                # public host, and able to tell whether it was ever asked.
                self.foreign = PageServer(foreign_pages, host="127.0.0.2")
                placeholders["fport"] = self.foreign.port
            for server in (self.server, self.server6, self.foreign):
                if server:
                    server.placeholders = placeholders
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _start_xvfb(self, screen):
        read_end, write_end = os.pipe()
        try:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp", "-noreset"],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
            os.close(write_end)
            write_end = -1
            text = b""
            end = time.monotonic() + 15
            while not text.endswith(b"\n"):
                left = end - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise Failure("Xvfb did not report its display")
                chunk = os.read(read_end, 32)
                if not chunk:
                    raise Failure("Xvfb exited before reporting its display")
                text += chunk
            self.display = ":" + text.decode().strip()
        finally:
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)

    def _start_session_bus(self):
        """A session bus of its own, as a desktop session has, with
        accessibility on: GTK then finds the accessibility bus through it, and
        GSettings its usual backend. The bus's own messages go to its log."""
        read_end, write_end = os.pipe()
        log = open(os.path.join(self.root, "session-bus.log"), "w")
        try:
            self.bus = subprocess.Popen(
                ["dbus-daemon", "--session", "--nofork", "--nopidfile", f"--print-address={write_end}"],
                pass_fds=(write_end,), env={k: v for k, v in self.env.items() if not k.startswith("DBUS_")},
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
            os.close(write_end)
            write_end = -1
            text = b""
            end = time.monotonic() + 15
            while not text.endswith(b"\n"):
                left = end - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    raise Failure("the session bus did not report its address")
                chunk = os.read(read_end, 256)
                if not chunk:
                    raise Failure("the session bus exited before reporting its address")
                text += chunk
        finally:
            log.close()
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = text.decode().strip()
        for name in ("GTK_A11Y", "NO_AT_BRIDGE", "GSETTINGS_BACKEND"):
            self.env.pop(name, None)

    def shell_output(self, index=0):
        """What the index-th shell started wrote to standard output and error."""
        with open(os.path.join(self.root, f"shell-{index}.log")) as f:
            return f.read()

    def _start_weston(self, screen):
        width, height = screen.split("x")[:2]
        runtime = _runtime_dir(self.root)
        name = "wayland-pimorlo"
        log = open(os.path.join(self.root, "weston.log"), "w")
        self.weston = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", f"--socket={name}", f"--width={width}",
             f"--height={height}", "--idle-time=0", "--no-config"],
            env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": runtime, "HOME": self.root},
            stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
        log.close()

        def listening():
            if self.weston.poll() is not None:
                raise Failure(f"weston exited with {self.weston.returncode}")
            return os.path.exists(os.path.join(runtime, name + ".lock")) and \
                os.path.exists(os.path.join(runtime, name))
        wait_until(listening, 15, "weston's socket")
        self.display = name
        return {"WAYLAND_DISPLAY": name, "GDK_BACKEND": "wayland"}

    def files_under(self, top):
        """Every file below `top`, as paths relative to it."""
        found = set()
        for parent, _, names in os.walk(top):
            for n in names:
                found.add(os.path.relpath(os.path.join(parent, n), top))
        return found

    def files_containing(self, marker):
        """Files anywhere in the session's directory whose name or content
        holds `marker`."""
        hits = []
        needle = marker.encode()
        for parent, _, names in os.walk(self.root):
            for n in names:
                path = os.path.join(parent, n)
                if not os.path.isfile(path):  # sockets, FIFOs
                    continue
                if marker in n:
                    hits.append(path)
                    continue
                try:
                    with open(path, "rb") as f:
                        if needle in f.read(1 << 22):
                            hits.append(path)
                except OSError:
                    pass
        return hits

    def url(self, path, ipv6=False):
        if ipv6:
            return f"http://[::1]:{self.server6.port}{path}"
        return f"http://127.0.0.1:{self.server.port}{path}"

    def start_shell(self, binary, *args):
        log = open(os.path.join(self.root, f"shell-{len(self.shells)}.log"), "w")
        if os.sep in binary:  # a path relative to the caller's directory, not the shell's
            binary = os.path.abspath(binary)
        proc = subprocess.Popen([binary, *args], env=self.env, cwd=self.cwd, stdout=log, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        log.close()
        proc.started = time.monotonic()
        self.shells.append(proc)
        return proc

    def web_processes(self, proc):
        """The process ids of WebKit's web content processes below `proc`,
        sandboxed or not (a sandbox may give them a session of their own, so
        they are found by their parents)."""
        parents, programs = {}, {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    programs[int(entry)] = os.path.basename(f.read().split(b"\0")[0])
            except OSError:
                continue
            parents[int(entry)] = int(stat[stat.rindex(")") + 2:].split()[1])

        def below_shell(pid):
            for _ in range(16):
                pid = parents.get(pid, 0)
                if pid == proc.pid:
                    return True
                if pid <= 1:
                    return False
            return False
        return [pid for pid, program in programs.items() if program == b"WebKitWebProcess" and below_shell(pid)]

    def xdotool(self, *args, timeout=10):
        done = subprocess.run(["xdotool", *args], env={**self.env}, capture_output=True, text=True, timeout=timeout)
        return done

    def window_of(self, proc, name="^Pim Orlo$", timeout=20):
        def find():
            if proc.poll() is not None:
                raise Failure(f"the web shell exited with {proc.returncode} before its window appeared")
            found = self.xdotool("search", "--onlyvisible", "--pid", str(proc.pid), "--name", name)
            ids = found.stdout.split()
            return ids[0] if ids else None
        return wait_until(find, timeout, f"a window named {name!r}")

    def windows_named(self, name):
        return self.xdotool("search", "--onlyvisible", "--name", name).stdout.split()

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return {k: int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")}

    def click(self, window, x, y):
        """A real pointer click at window-relative (x, y)."""
        self.xdotool("mousemove", "--window", window, str(x), str(y))
        self.xdotool("click", "1")

    # Real key presses through XTEST on the focused window: GTK ignores the
    # synthetic events that xdotool's --window option sends.
    def key(self, window, *keys):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", "--clearmodifiers", *keys)

    def type_text(self, window, text):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("type", "--delay", "50", text)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", path], env=self.env,
                       check=True, timeout=30, capture_output=True)
        return path

    def opened(self):
        try:
            with open(self.opened_file) as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []

    def opened_environment(self):
        """The drawing variables each program the shell opened was given."""
        try:
            with open(self.opened_file + ".env") as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []

    def wait_exit(self, proc, timeout):
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"the web shell still runs after {timeout:.1f} s")

    def stop_shell(self, proc):
        for sig, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                break
            try:
                proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                continue
            # The main process is gone; its helpers may still be on their way.
            end = time.monotonic() + grace
            while time.monotonic() < end:
                try:
                    os.killpg(proc.pid, 0)
                except ProcessLookupError:
                    return
                time.sleep(0.05)

    def close(self):
        for proc in self.shells:
            self.stop_shell(proc)
        for server in (self.server, self.server6, self.foreign):
            if server:
                server.stop()
        # The session bus and what it started (the accessibility bus) end
        # with it; then the display servers.
        for server in (self.bus, self.weston, self.xvfb):
            if server:
                end_group(server)
        shutil.rmtree(self.root, ignore_errors=True)


def pixel(png, x, y):
    """(r, g, b) of one pixel, through ImageMagick."""
    out = subprocess.run(["convert", png, "-format", f"%[fx:int(255*p{{{x},{y}}}.r)],"
                          f"%[fx:int(255*p{{{x},{y}}}.g)],%[fx:int(255*p{{{x},{y}}}.b)]", "info:"],
                         capture_output=True, text=True, check=True, timeout=30).stdout
    return tuple(int(v) for v in out.strip().split(","))
