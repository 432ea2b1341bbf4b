#!/usr/bin/env python3
"""A private PulseAudio server: the `pulseaudio` daemon with a configuration
of its own (the native protocol on a socket in a fresh runtime directory,
and one or more null sinks), no PipeWire in that directory, and none of the
user's configuration, cookie or ALSA devices.

Used as a context manager by the end-to-end tests. Every process it starts is
stopped by its pid, and the directory is removed, whatever happens."""

import os
import shutil
import signal
import subprocess
import tempfile
import time

SINK_NAME = "pimorlo_null_sink"

STEREO = "front-left,front-right"
SURROUND_51 = "front-left,front-right,front-center,lfe,rear-left,rear-right"


def daemon_script(socket, sinks):
    """The daemon's whole start-up script: nothing is loaded but the native
    protocol and the null sinks (the first is the default)."""
    lines = ["load-module module-native-protocol-unix socket=%s auth-anonymous=1" % socket]
    for name, positions in sinks:
        lines.append("load-module module-null-sink sink_name=%s channels=%d channel_map=%s"
                     % (name, positions.count(",") + 1, positions))
    if sinks:
        lines.append("set-default-sink %s" % sinks[0][0])
    # As on a desktop, an idle sink sleeps and wakes for the first stream
    # that plays: with the latency its readers ask for then, not the
    # two-second block a null sink renders ahead while nobody asks.
    lines.append("load-module module-suspend-on-idle timeout=1")
    return "\n".join(lines) + "\n"


def _wait(predicate, deadline, what):
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise RuntimeError("private PulseAudio server: timed out waiting for " + what)


class PulseSession:
    """`with PulseSession() as s:` starts the daemon; `s.env` is the
    environment for its clients. `pipewire_dir` is an existing runtime
    directory to start it in (where a private PipeWire runs too)."""

    def __init__(self, sink=True, sinks=None, runtime=None, base_env=None):
        self.sinks = (sinks or [(SINK_NAME, STEREO)]) if sink else []
        self.runtime = runtime
        self.base_env = base_env
        self.proc = None
        self.dir = None
        self.env = None
        self.log = None

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self, timeout=10.0):
        self.dir = tempfile.mkdtemp(prefix="pimorlo-pa-")
        runtime = self.runtime or os.path.join(self.dir, "runtime")
        home = os.path.join(self.dir, "home")
        for d in (runtime, home):
            os.makedirs(d, mode=0o700, exist_ok=True)
        os.makedirs(os.path.join(runtime, "pulse"), mode=0o700, exist_ok=True)
        socket = os.path.join(runtime, "pulse", "native")
        script = os.path.join(self.dir, "daemon.pa")
        with open(script, "w") as f:
            f.write(daemon_script(socket, self.sinks))
        base = self.base_env if self.base_env is not None else os.environ
        env = {k: v for k, v in base.items()
               if not k.startswith(("PIPEWIRE_", "PULSE_", "DBUS_", "WIREPLUMBER_", "DISPLAY", "WAYLAND_"))}
        env.update(XDG_RUNTIME_DIR=runtime, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
        self.env = env
        self.socket = socket
        self.log = open(os.path.join(self.dir, "daemon.log"), "w")
        # -n: no default script; -F: ours; no exit when idle; the user's
        # daemon.conf is not read (its HOME is ours), and --disallow-module-loading
        # is not set so the tests may load modules as a desktop does.
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--system=no", "--disable-shm=no", "--log-target=stderr", "-F", script],
            env=env, stdout=self.log, stderr=self.log, stdin=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + timeout
        _wait(self._answers, deadline, "the daemon's socket")
        _wait(self._sinks_asleep, deadline, "the sinks to sleep")

    def _answers(self):
        if self.proc.poll() is not None:
            raise RuntimeError("private PulseAudio server exited with %s: %s" % (self.proc.returncode, self.log_text()))
        if not os.path.exists(self.socket):
            return False
        return subprocess.run(["pactl", "info"], env=self.env, capture_output=True, timeout=5).returncode == 0

    def _sinks_asleep(self):
        states = [line.split("\t")[-1] for line in self.pactl("list", "short", "sinks").splitlines()]
        return all(state == "SUSPENDED" for state in states)

    def sink_states(self):
        """[(state, latency in microseconds)] of every sink."""
        states = []
        for line in self.pactl("list", "sinks").splitlines():
            line = line.strip()
            if line.startswith("State: "):
                states.append([line.split(": ", 1)[1], 0])
            elif line.startswith("Latency: ") and states:
                states[-1][1] = int(line.split()[1])
        return states

    def settle(self, timeout=6.0):
        """Waits until no sink holds more than 100 ms rendered ahead. A
        reader that connects wakes a sleeping sink before its own latency
        counts: the sink then renders ahead by the most it may (a null sink
        two seconds) and the start of what plays meanwhile comes that late."""
        _wait(lambda: all(state == "SUSPENDED" or latency < 100000 for state, latency in self.sink_states()),
              time.monotonic() + timeout, "the sinks to settle")

    def log_text(self):
        try:
            with open(os.path.join(self.dir, "daemon.log")) as f:
                return f.read()
        except OSError:
            return ""

    def pactl(self, *args, check=True):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True, timeout=10,
                              check=check).stdout

    def kill(self, sig=signal.SIGKILL):
        p = self.proc
        if p and p.poll() is None:
            p.send_signal(sig)
            if sig in (signal.SIGKILL, signal.SIGTERM):
                try:
                    p.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait(timeout=5)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.kill(signal.SIGTERM)
        self.proc = None
        if self.log:
            self.log.close()
            self.log = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None
