"""Figures over several runs and the report they go into."""

import os
import statistics

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Skip(Exception):
    """A part that cannot be measured on this build (its program is not built)."""


class Stat:
    def __init__(self, values, unit, digits=1):
        self.values = list(values)
        self.unit = unit
        self.digits = digits

    @property
    def median(self):
        return statistics.median(self.values) if self.values else float("nan")

    def fmt(self, v):
        return f"{v:.{self.digits}f}"

    def cell(self):
        if not self.values:
            return "—"
        if len(self.values) == 1:
            return f"{self.fmt(self.values[0])} {self.unit}"
        return (f"{self.fmt(self.median)} {self.unit} "
                f"({self.fmt(min(self.values))}–{self.fmt(max(self.values))}, n={len(self.values)})")


class Report:
    """Collects rows for the target table, detail tables and notes."""

    def __init__(self):
        self.targets = []  # (part, what, ours, peer, ratio text, target text, met)
        self.details = {}  # part -> list of (name, cells...)
        self.detail_heads = {}
        self.notes = {}
        self.commands = []
        self.skipped = []

    def target(self, part, what, ours, peer, ratio, target, met):
        self.targets.append((part, what, ours, peer, ratio, target, met))

    def detail(self, part, head, row):
        self.detail_heads.setdefault(part, head)
        self.details.setdefault(part, []).append(row)

    def note(self, part, text):
        self.notes.setdefault(part, []).append(text)

    def command(self, text):
        if text not in self.commands:
            self.commands.append(text)


def ratio(ours, peer):
    if not peer or peer != peer or ours != ours:
        return float("nan")
    return ours / peer


def verdict(met):
    return "met" if met else "**MISSED**"
