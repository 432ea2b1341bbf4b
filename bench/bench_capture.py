"""PimOrloAudioTap against pw-record in one private PipeWire graph."""

import os

from results import Skip


def run(report, build, args):
    tap = os.path.join(build, "audio_tap", "PimOrloAudioTap")
    if not os.access(tap, os.X_OK):
        raise Skip("PimOrloAudioTap is not built here (the Linux capture backend is not in this tree)")
