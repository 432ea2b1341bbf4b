#!/usr/bin/env python3
"""A private, headless PipeWire session: pipewire, WirePlumber and
pipewire-pulse with one or more null sinks (each its own driver), in a fresh
runtime/config/state directory.

Used as a context manager by the end-to-end tests, and from the command line
(`pwsession.py run -- CMD...`) by the demo. Every process it starts is stopped
by its pid, and the directory is removed, whatever happens."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SINK_NAME = "pimorlo_null_sink"

STEREO = "FL,FR"
SURROUND_51 = "FL,FR,FC,LFE,RL,RR"

NULL_SINK = """
    { factory = adapter
      args = {
          factory.name     = support.null-audio-sink
          node.name        = "%(name)s"
          node.description = "Null sink %(name)s"
          media.class      = "Audio/Sink"
          audio.position   = "%(positions)s"
          priority.session = %(priority)d
          monitor.channel-volumes = true%(extra)s
      }
    }
"""


def pipewire_fragment(sinks):
    """The daemon's objects: one null sink per (name, positions) or (name,
    positions, {property: value}); the first is the default (highest
    priority)."""
    def sink(i, name, positions, props=None):
        extra = "".join("\n          %s = %s" % kv for kv in (props or {}).items())
        return NULL_SINK % {"name": name, "positions": positions, "priority": 2000 - 10 * i, "extra": extra}

    objects = "".join(sink(i, *sink_props) for i, sink_props in enumerate(sinks))
    return "context.objects = [\n%s]\n" % objects


# WirePlumber up to 0.4 reads these Lua fragments, from 0.5 the SPA-JSON one:
# no sound cards, cameras or Bluetooth, and no flatpak portal.
WIREPLUMBER_MAIN = """
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
default_access.properties["enable-flatpak-portal"] = false
"""

WIREPLUMBER_BLUETOOTH = "bluez_monitor.enabled = false\n"

WIREPLUMBER_PROFILE = """
wireplumber.profiles = {
  main = {
    hardware.audio = disabled
    hardware.bluetooth = disabled
    hardware.video-capture = disabled
    support.portal-permissionstore = disabled
  }
}
"""


def _wait(predicate, deadline, what):
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise RuntimeError("private PipeWire session: timed out waiting for " + what)


class Session:
    """`with Session() as s:` starts the daemons; `s.env` is the environment
    for clients of the session."""

    def __init__(self, pulse=True, sink=True, sinks=None):
        self.pulse = pulse
        self.sink = sink
        self.sinks = sinks or [(SINK_NAME, STEREO)]
        self.procs = {}
        self.dir = None
        self.env = None

    # -- lifecycle -----------------------------------------------------------
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
        self.dir = tempfile.mkdtemp(prefix="pimorlo-pw-")
        runtime = os.path.join(self.dir, "runtime")
        config = os.path.join(self.dir, "config")
        state = os.path.join(self.dir, "state")
        for d in (runtime, config, state):
            os.makedirs(d, mode=0o700)
        os.chmod(runtime, 0o700)
        if self.sink:
            os.makedirs(os.path.join(config, "pipewire", "pipewire.conf.d"))
            with open(os.path.join(config, "pipewire", "pipewire.conf.d", "50-null-sink.conf"), "w") as f:
                f.write(pipewire_fragment(self.sinks))
        for sub, name, text in (("main.lua.d", "60-headless.lua", WIREPLUMBER_MAIN),
                                ("bluetooth.lua.d", "60-headless.lua", WIREPLUMBER_BLUETOOTH),
                                ("wireplumber.conf.d", "60-headless.conf", WIREPLUMBER_PROFILE)):
            os.makedirs(os.path.join(config, "wireplumber", sub))
            with open(os.path.join(config, "wireplumber", sub, name), "w") as f:
                f.write(text)

        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("PIPEWIRE_", "PULSE_", "DBUS_", "WIREPLUMBER_"))}
        env.update(XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=config, XDG_STATE_HOME=state,
                   PULSE_SERVER="unix:" + os.path.join(runtime, "pulse", "native"),
                   PIPEWIRE_LOG_SYSTEMD="false")
        self.env = env
        self.log = open(os.path.join(self.dir, "daemons.log"), "w")
        deadline = time.monotonic() + timeout

        self._spawn("pipewire", ["pipewire"])
        _wait(lambda: os.path.exists(os.path.join(runtime, "pipewire-0")), deadline, "the pipewire socket")
        # WirePlumber exits (status 69) when started before the socket exists.
        self._spawn("wireplumber", ["wireplumber"])
        if self.sink:
            _wait(self._default_sink_ready, deadline, "the default sink")
        if self.pulse:
            self.start_pulse(deadline)

    def start_pulse(self, deadline=None):
        deadline = deadline or time.monotonic() + 10
        socket = os.path.join(self.env["XDG_RUNTIME_DIR"], "pulse", "native")
        self._spawn("pipewire-pulse", ["pipewire-pulse"])
        _wait(lambda: os.path.exists(socket) and self._pulse_answers(), deadline, "the pulse socket")

    def restart_pulse(self):
        """Stops pipewire-pulse (its clients go with it) and starts it again."""
        self.kill("pipewire-pulse", signal.SIGTERM)
        self.start_pulse()

    def _pulse_answers(self):
        return subprocess.run(["pactl", "info"], env=self.env, capture_output=True, timeout=5).returncode == 0

    def _spawn(self, name, argv):
        self.procs[name] = subprocess.Popen(argv, env=self.env, stdout=self.log, stderr=self.log,
                                            stdin=subprocess.DEVNULL, start_new_session=True)

    def _default_sink_ready(self):
        for name, p in self.procs.items():
            if p.poll() is not None:
                raise RuntimeError("private PipeWire session: %s exited with %s" % (name, p.returncode))
        r = subprocess.run(["pw-metadata", "0", "default.audio.sink"], env=self.env,
                           capture_output=True, text=True, timeout=5)
        return self.sinks[0][0] in r.stdout

    def kill(self, name, sig=signal.SIGKILL):
        p = self.procs.get(name)
        if p and p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=5)

    def stop(self):
        for name in ("pipewire-pulse", "wireplumber", "pipewire"):
            if name in self.procs:
                self.kill(name, signal.SIGTERM)
        self.procs.clear()
        if getattr(self, "log", None):
            self.log.close()
            self.log = None
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None


def main(argv):
    if len(argv) < 3 or argv[1] != "run" or "--" not in argv:
        print("usage: pwsession.py run -- COMMAND [ARGS...]", file=sys.stderr)
        return 2
    command = argv[argv.index("--") + 1:]
    with Session() as session:
        child = subprocess.Popen(command, env=session.env)
        try:
            return child.wait()
        except KeyboardInterrupt:
            child.send_signal(signal.SIGINT)
            return child.wait()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
