"""Processes of a server under test: its tree, its memory, its end."""
import os
import signal
import time


def _stat(pid):
    """(parent pid, start time) of a process, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return None
    # The command name may hold blanks and parentheses: fields start after the last ")".
    fields = stat[stat.rfind(")") + 2:].split()
    return int(fields[1]), int(fields[19])


def _parents():
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            st = _stat(int(entry))
            if st:
                parents[int(entry)] = st[0]
    return parents


def tree(root):
    """The root pid and every process below it (per-session children included)."""
    if root is None:
        return []
    children = {}
    for pid, ppid in _parents().items():
        children.setdefault(ppid, []).append(pid)
    out, todo = [], [root]
    while todo:
        pid = todo.pop()
        out.append(pid)
        todo.extend(children.get(pid, []))
    return out


def pss_kib(root):
    """Proportional set size of the whole tree: shared libraries counted once,
    split among the processes that map them, unlike a sum of RSS."""
    total = 0
    for pid in tree(root):
        try:
            with open("/proc/%d/smaps_rollup" % pid) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            continue  # gone meanwhile
    return total


def _status_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak_rss_kib(pid):
    """Resets the process's peak resident size to its current one and returns
    that size, or None when the kernel refuses."""
    try:
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
        return _status_kib(pid, "VmRSS")
    except OSError:
        return None


def peak_rss_kib(pid):
    return _status_kib(pid, "VmHWM")


def mem_available_kib():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1])
    return 0


def _signal_same(known, sig):
    """Signals each (pid, start time) only if that pid is still the same process."""
    for pid, started in known:
        st = _stat(pid)
        if st and st[1] == started:
            try:
                os.kill(pid, sig)
            except OSError:
                pass


def stop_tree(proc, grace=15):
    """SIGTERM to the server and everything below it, SIGKILL to what is left.
    Session processes that outlive their parent are still found by the
    identity noted before the first signal."""
    known = [(pid, st[1]) for pid in tree(proc.pid) for st in [_stat(pid)] if st]
    _signal_same(known, signal.SIGTERM)
    deadline = time.time() + grace
    while time.time() < deadline and proc.poll() is None:
        time.sleep(0.05)
    known += [(pid, st[1]) for pid in tree(proc.pid) for st in [_stat(pid)] if st]
    _signal_same([k for k in known if k[0] != proc.pid], signal.SIGKILL)
    if proc.poll() is None:
        proc.kill()
    proc.wait()
