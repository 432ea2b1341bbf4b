"""Memory and CPU of a process and everything it started, read from /proc,
and the orderly end of a child."""

import os
import signal
import subprocess
import time


def _stat_fields(pid):
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    # The command name may hold spaces and parentheses: split after the last ")".
    return text[text.rindex(")") + 2:].split()


def tree(root):
    """`root` and every live process below it, or in its session (WebKit's
    helpers may be re-parented when an intermediate exits)."""
    parents = {}
    sessions = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            fields = _stat_fields(int(name))
        except (OSError, ValueError):
            continue
        parents[int(name)] = int(fields[1])
        sessions[int(name)] = int(fields[3])
    found = {root} if root in parents else set()
    changed = True
    while changed:
        changed = False
        for pid, ppid in parents.items():
            if pid not in found and (ppid in found or sessions[pid] == root):
                found.add(pid)
                changed = True
    return sorted(found)


def pss_kib(pid):
    total = 0
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    total += int(line.split()[1])
    except OSError:
        pass
    return total


def tree_pss_kib(root):
    pids = tree(root)
    return sum(pss_kib(p) for p in pids), pids


def status_kib(pid, field):
    """A KiB field of /proc/<pid>/status (VmRSS, VmHWM), 0 once it is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


TICK = os.sysconf("SC_CLK_TCK")


def thread_cpu(pid):
    """{tid: (realtime, CPU seconds so far)} for each live thread of `pid`;
    realtime when it runs under SCHED_FIFO or SCHED_RR."""
    out = {}
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return out
    for tid in tasks:
        try:
            policy = int(_stat_fields(int(tid))[38])  # /proc/<tid> serves a thread too
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                out[int(tid)] = (policy in (1, 2), int(f.read().split()[0]) / 1e9)
        except (OSError, ValueError, IndexError):
            continue  # a thread that has just ended
    return out


def cpu_seconds(pid):
    """Time on a CPU so far, all threads, those that have ended included, to
    the nanosecond: the process's own CPU clock (CLOCK_PROCESS_CPUTIME_ID as
    clock_getcpuclockid(3) names it for another process). Summing the live
    threads' /proc/<pid>/task/*/schedstat instead loses a thread's whole
    time the moment it ends, so a window in which one ends can come out
    negative. Falls back to that sum, then to the clock ticks of
    /proc/<pid>/stat, where the clock cannot be read."""
    try:
        return time.clock_gettime((~pid << 3) | 2)
    except OSError:
        pass
    threads = thread_cpu(pid)
    if threads:
        return sum(spent for _, spent in threads.values())
    try:
        fields = _stat_fields(pid)
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / TICK


def command_name(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return "?"


def terminate(proc):
    """Ends a child in order: TERM, then KILL past 5 s."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=5)
