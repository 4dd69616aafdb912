"""The figures, and how one server is measured for them."""
import os
import time

import procs
from loadgen import Failure

MIB = 1024 * 1024
# A reply slower than this on loopback is a stalled session, counted as failed.
CONTROL_TIMEOUT_MS = 5000


class Sizes:
    """What a run measures: the full sizes, small ones for a quick check, or
    tiny ones for the test suite's smoke test (every figure once, in seconds)."""

    def __init__(self, quick, runs=None, smoke=False):
        self.quick = quick or smoke
        self.smoke = smoke
        self.runs = runs or (1 if self.quick else 3)
        self.seconds = 1 if self.quick else 2
        self.big_bytes = (4 if smoke else 32 if quick else 1024) * MIB
        self.list_entries = 200 if smoke else 1000 if quick else 10000
        self.long_list_entries = 1000 if smoke else 5000 if quick else 50000
        self.small_files = 20 if smoke else 100 if quick else 1000
        self.small_bytes = 4096
        self.idle_counts = [20] if smoke else [100, 500] if quick else [1000, 5000]
        # The larger step costs minutes on servers that fork a process per
        # session: it is measured in the last run only.
        self.idle_once = {self.idle_counts[-1]}
        self.session_clients = [1, 4] if smoke else [1, 16, 128]
        self.latency_clients = 2 if smoke else 16
        self.streams = [1, 2] if smoke else [1, 8]
        self.settle = 1 if self.quick else 2  # seconds between opening idle sessions and reading memory


def _count(n):
    return "{:,}".format(n).replace(",", " ")


def _size(n):
    return "%d GiB" % (n // (1024 * MIB)) if n % (1024 * MIB) == 0 else "%d MiB" % (n // MIB)


def _streams(k):
    return "1 stream" if k == 1 else "%d streams of 1/%d each" % (k, k)


def figures(sizes):
    """[(group title, better, [(key, label, unit)])]; better is "higher", "lower" or None."""
    groups = [
        ("Sessions per second: connect, USER, PASS, QUIT", "higher",
         [("sessions_%d" % c, "%d client%s" % (c, "" if c == 1 else "s"), "/s") for c in sizes.session_clients]),
        ("Command round trip, %d concurrent sessions" % sizes.latency_clients, "lower",
         [("noop_median", "NOOP median", "us"), ("noop_p99", "NOOP 99th percentile", "us"),
          ("pwd_median", "PWD median", "us"), ("pwd_p99", "PWD 99th percentile", "us")]),
    ]
    for n in sizes.idle_counts:
        once = " (one run)" if n in sizes.idle_once and sizes.runs > 1 else ""
        groups.append(("Idle logged-in sessions: %s%s" % (_count(n), once), "lower", [
            ("idle%d_held" % n, "sessions held", ""),
            ("idle%d_pss" % n, "memory per session (PSS)", "KiB"),
            ("idle%d_avail" % n, "memory per session (MemAvailable)", "KiB"),
            ("idle%d_login" % n, "new logins still succeed", ""),
        ]))
    groups += [
        ("Listing", "higher", [("list", "LIST of %s entries" % _count(sizes.list_entries), "/s")]),
        ("Memory while listing", "lower",
         [("list_long_kib", "peak growth while listing %s entries%s" % (
             _count(sizes.long_list_entries), " (first run)" if sizes.runs > 1 else ""), "KiB")]),
        ("Transfers of a %s file on loopback" % _size(sizes.big_bytes), "higher",
         [("%s_%d" % (op, k), "%s, %s" % (op.upper(), _streams(k)), "MB/s") for op in ("retr", "stor")
          for k in sizes.streams]),
        ("The same transfers over TLS (AUTH TLS, PROT P)", "higher",
         [("tls_%s_%d" % (op, k), "%s over TLS, %s" % (op.upper(), _streams(k)), "MB/s") for op in ("retr", "stor")
          for k in sizes.streams]),
        ("Small files", "higher",
         [("small", "%s files of %d KiB over one session" % (_count(sizes.small_files), sizes.small_bytes // 1024),
           "files/s")]),
    ]
    return groups


class Measurement:
    """All runs of all figures for one server."""

    def __init__(self):
        self.values = {}   # key -> [number or text per run]
        self.errors = {}   # key -> first failure text
        self.notes = []    # remarks for the results file
        self.partial = {}  # key -> [(failed sessions, first error)] of runs that still gave a figure
        # What the smaller idle count cost, to judge whether the larger one fits.
        self.tasks_per_session = None
        self.kib_per_session = None

    def note_once(self, text):
        if text not in self.notes:
            self.notes.append(text)

    def add(self, key, value):
        self.values.setdefault(key, []).append(value)

    def fail(self, key, text):
        self.errors.setdefault(key, text)


def _tasks(root):
    """Threads of the server's whole tree: one per session for Kestrel, a process or two for the peers."""
    total = 0
    for pid in procs.tree(root):
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("Threads:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def _wait_quiet(target, tasks_before, limit=60):
    """Waits until the server has let go of closed sessions, so the next run starts clean."""
    deadline = time.time() + limit
    while time.time() < deadline and _tasks(target.pid()) > tasks_before + 2:
        time.sleep(0.2)


class Runner:
    def __init__(self, gen, sizes, layout, log):
        self.gen = gen
        self.sizes = sizes
        self.layout = layout
        self.log = log

    def measure(self, target):
        m = Measurement()
        s = self.sizes
        self._warm(target)
        for rep in range(s.runs):
            self.log("  %s: run %d of %d" % (target.label, rep + 1, s.runs))
            for c in s.session_clients:
                self._one(m, target, "sessions_%d" % c, "sessions", s.seconds + 120,
                          lambda r: [("sessions_%d" % c, float(r["rate"]))], clients=c, seconds=s.seconds,
                          timeout_ms=CONTROL_TIMEOUT_MS)
            for cmd in ("NOOP", "PWD"):
                k = cmd.lower()
                self._one(m, target, [k + "_median", k + "_p99"], "latency", s.seconds + 120,
                          lambda r, k=k: [(k + "_median", float(r["median_us"])), (k + "_p99", float(r["p99_us"]))],
                          clients=s.latency_clients, seconds=s.seconds, command=cmd, timeout_ms=CONTROL_TIMEOUT_MS)
            self._one(m, target, "list", "list", s.seconds + 300, lambda r: [("list", float(r["rate"]))],
                      path=self.layout.list_dir, seconds=s.seconds, expect=s.list_entries)
            # Memory freed after a listing stays with the allocator for the
            # next one: only the first run shows what a listing needs.
            if rep == 0:
                self._long_listing(m, target)
            self._one(m, target, "small", "small", 900, lambda r: [("small", float(r["rate"]))],
                      path=self.layout.small_dir, count=s.small_files, size=s.small_bytes,
                      prefix=self.layout.small_prefix, digits=self.layout.small_digits,
                      suffix=self.layout.small_suffix)
            for prefix, tls in (("", {}), ("tls_", {"tls": 1})):
                for k in s.streams:
                    retr, stor = "%sretr_%d" % (prefix, k), "%sstor_%d" % (prefix, k)
                    if tls and not getattr(target, "tls", None):
                        for key in (retr, stor):
                            m.fail(key, "n/a: " + getattr(target, "tls_missing", "no TLS set up for this server"))
                        continue
                    self._one(m, target, retr, "retr", 1800, lambda r, key=retr: [(key, float(r["mbps"]))],
                              path=self.layout.big_path, streams=k, size=s.big_bytes, **tls)
                    self._one(m, target, stor, "stor", 1800, lambda r, key=stor: [(key, float(r["mbps"]))],
                              path=target.upload, streams=k, size=s.big_bytes, tag="r%ds%d%s" % (rep + 1, k, prefix.rstrip("_")),
                              **tls)
                    self._empty_upload(target)
            for n in s.idle_counts:
                if n not in s.idle_once or rep == s.runs - 1:
                    self._idle(m, target, n)
        return m

    def _warm(self, target):
        """A few untimed sessions and a listing: caches, prepared statements, first-time paths."""
        for mode, opts in (("sessions", dict(clients=2, seconds=1)),
                           ("list", dict(path=self.layout.list_dir, seconds=1))):
            try:
                self.gen.run(mode, target, 120, **opts)
            except Failure:
                pass  # the measured runs will say what is wrong

    def _one(self, m, target, keys, mode, timeout, read, **opts):
        """One measurement giving the figures `keys` (a key or a list)."""
        keys = [keys] if isinstance(keys, str) else keys
        t0 = time.time()
        try:
            r = self.gen.run(mode, target, timeout, **opts)
        except Failure as e:
            for key in keys:
                m.fail(key, str(e))
            self.log("    %s: %s" % (keys[0], e))
            return
        values = read(r)
        for k, v in values:
            m.add(k, v)
        self.log("    %s (%.0f s)" % (", ".join("%s %.6g" % kv for kv in values), time.time() - t0))
        if r.get("tls", "none") != "none":
            m.note_once("%s: %s, %s of %s data connection(s) resumed the control connection's TLS session"
                        % (keys[0], r["tls"], r.get("resumed", "?"), opts.get("streams", "?")))
        if int(r.get("unanswered_cuts", "0")) > 0:
            m.notes.append("%s: the server never answered after %s cut data connection(s)"
                           % (keys[0], r["unanswered_cuts"]))
        if int(r.get("failed", "0")) > 0:
            m.notes.append("%s: %s failed session(s), first: %s" % (keys[0], r["failed"], r.get("first_error", "")))
            for key in keys:
                m.partial.setdefault(key, []).append((int(r["failed"]), r.get("first_error", "")))

    def _long_listing(self, m, target):
        """Growth of the server's peak resident memory over one long listing.
        Only a server that lists inside a process alive before and after can
        be read: a process per session has ended by then."""
        key = "list_long_kib"
        if not getattr(target, "lists_in_one_process", False):
            m.fail(key, "n/a: its listing runs in a session process that ends with the session")
            return
        pid = target.pid()
        before = procs.reset_peak_rss_kib(pid)
        if before is None:
            m.fail(key, "n/a: the peak of resident memory cannot be reset here (/proc/PID/clear_refs)")
            return
        try:
            self.gen.run("list", target, 300, path=self.layout.long_list_dir, seconds=1,
                         expect=self.sizes.long_list_entries)
        except Failure as e:
            m.fail(key, str(e))
            self.log("    %s: %s" % (key, e))
            return
        growth = max(0, procs.peak_rss_kib(pid) - before)
        m.add(key, growth)
        self.log("    %s %d" % (key, growth))

    def _empty_upload(self, target):
        """Uploads left behind by a failed STOR; the load generator deletes the rest itself."""
        d = self.layout.disk(self.layout.upload_name(target.name))
        for name in os.listdir(d) if os.path.isdir(d) else []:
            try:
                os.remove(os.path.join(d, name))
            except OSError:
                pass

    def _idle(self, m, target, n):
        s = self.sizes
        prefix = "idle%d" % n
        reason = self._machine_refuses(m, target, n)
        if reason:
            m.fail(prefix + "_held", "skipped: " + reason)
            return
        pid = target.pid()
        t0 = time.time()
        tasks_before = _tasks(pid)
        pss_before = procs.pss_kib(pid)
        avail_before = procs.mem_available_kib()
        holder = self.gen.hold(target, n, timeout_ms=CONTROL_TIMEOUT_MS)
        try:
            opened = holder.opened(timeout=max(120, n // 10))
            held = int(opened.get("opened", "0"))
            if held == 0:
                m.fail(prefix + "_held", "no session could be opened: " + opened.get("first_error", ""))
                return
            if held < n:
                m.notes.append("%s: %d of %d sessions opened, first failure: %s"
                               % (prefix, held, n, opened.get("first_error", "")))
            time.sleep(s.settle)
            pss = procs.pss_kib(pid)
            avail = procs.mem_available_kib()
            tasks = _tasks(pid)
            alive = int(holder.ask("check", timeout=max(120, n // 20)).get("alive", "0"))
            probe = holder.ask("probe 3", timeout=120)
            m.add(prefix + "_held", alive)
            m.add(prefix + "_pss", (pss - pss_before) / held)
            m.add(prefix + "_avail", (avail_before - avail) / held)
            ok = int(probe.get("probe_ok", "0"))
            m.add(prefix + "_login", "yes" if ok == 3 else "no")
            self.log("    %s: %d held, %.0f KiB (PSS) and %.0f KiB (MemAvailable) a session, %d of 3 new logins "
                     "(%.0f s)" % (prefix, alive, (pss - pss_before) / held, (avail_before - avail) / held, ok,
                                   time.time() - t0))
            if ok < 3:
                m.notes.append("%s: %d of 3 new logins failed, first: %s"
                               % (prefix, 3 - ok, probe.get("first_error", "")))
            m.tasks_per_session = max(m.tasks_per_session or 0, (tasks - tasks_before) / held)
            m.kib_per_session = max(m.kib_per_session or 0, (avail_before - avail) / held, (pss - pss_before) / held)
        except Failure as e:
            m.fail(prefix + "_held", str(e))
        finally:
            holder.close()
            _wait_quiet(target, tasks_before)

    def _machine_refuses(self, m, target, n):
        """Why this machine cannot hold n more sessions now, judged from what the
        smaller count cost; None when it can."""
        import resource
        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft < n + 200:
            return "RLIMIT_NOFILE is %d" % soft
        if m.kib_per_session is not None:
            need = m.kib_per_session * n * 1.5
            if need > procs.mem_available_kib() * 0.6:
                return "would need about %d MiB of memory" % (need // 1024)
        if m.tasks_per_session is not None:
            with open("/proc/sys/kernel/pid_max") as f:
                pid_max = int(f.read())
            with open("/proc/loadavg") as f:
                in_use = int(f.read().split()[3].split("/")[1])  # threads of the whole machine
            need = int(m.tasks_per_session * n)
            if need + in_use + 2000 > pid_max:
                return "would need about %d processes or threads (pid_max %d)" % (need, pid_max)
        return None
