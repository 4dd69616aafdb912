"""Runs the load generator (bench/loadgen) against one server and reads its
result line: key=value fields, first_error last (it may hold blanks)."""
import os
import select
import subprocess

SOURCES = ("ftpload.cpp", "ftp_client.cpp")
HEADERS = ("ftp_client.h",)


def build(source_dir, output):
    """Compiles the load generator when a source is newer than `output`;
    returns None, or the compiler's complaint."""
    sources = [os.path.join(source_dir, f) for f in SOURCES]
    inputs = sources + [os.path.join(source_dir, f) for f in HEADERS]
    if os.path.exists(output) and all(os.path.getmtime(f) < os.path.getmtime(output) for f in inputs):
        return None
    os.makedirs(os.path.dirname(output), exist_ok=True)
    r = subprocess.run(["g++", "-std=c++20", "-O2", "-Wall", "-Wextra", "-pthread", "-o", output] + sources +
                       ["-lssl", "-lcrypto"], capture_output=True, text=True)
    return r.stderr if r.returncode != 0 else None


# Linux shares the CPU first between sessions (autogroups), then within one.
# Kestrel runs in bench/run's session and each peer in a session of its own;
# a load generator left in bench/run's session would take its CPU from
# Kestrel's share alone, which on a busy machine cost Kestrel a quarter of
# its transfer rate. In a session of its own it competes with every server
# alike.
OWN_SESSION = dict(start_new_session=True)


class Failure(Exception):
    """A measurement that produced no figure."""


def parse(line):
    line = line.strip()
    fields = {}
    head, sep, first_error = line.partition(" first_error=")
    for item in head.split():
        k, _, v = item.partition("=")
        fields[k] = v
    if sep:
        fields["first_error"] = first_error.strip()
    return fields


class LoadGenerator:
    def __init__(self, binary):
        self.binary = binary

    def argv(self, mode, target, **options):
        argv = [self.binary, mode, "--port", str(target.port), "--user", target.user, "--pass", target.password]
        for k, v in options.items():
            argv += ["--" + k.replace("_", "-"), str(v)]
        return argv

    def run(self, mode, target, timeout, **options):
        """One measurement; returns the fields, raises Failure when nothing was measured."""
        try:
            r = subprocess.run(self.argv(mode, target, **options), capture_output=True, text=True,
                               timeout=timeout, **OWN_SESSION)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not finish within %d s" % (mode, timeout))
        lines = [l for l in r.stdout.splitlines() if l.strip()]
        if not lines:
            raise Failure("%s: no result (%s)" % (mode, (r.stderr.strip() or "exit %d" % r.returncode)[-200:]))
        fields = parse(lines[-1])
        if r.returncode != 0:
            raise Failure("%s: %s" % (mode, fields.get("first_error") or "exit %d" % r.returncode))
        return fields

    def hold(self, target, count, timeout_ms):
        """Starts an idle-session holder; see IdleHolder."""
        return IdleHolder(self.argv("idle", target, count=count, timeout_ms=timeout_ms))


class IdleHolder:
    """The load generator's idle mode: holds sessions open and answers
    "check" and "probe K" on standard input until closed."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, **OWN_SESSION)

    def _read(self, timeout):
        # One request, one line: once the pipe is readable the whole line follows.
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            raise Failure("the idle-session holder gave no answer within %d s" % timeout)
        line = self.proc.stdout.readline()
        if not line:
            raise Failure("the idle-session holder ended early (exit %s)" % self.proc.poll())
        return parse(line)

    def opened(self, timeout):
        return self._read(timeout)

    def ask(self, command, timeout):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self._read(timeout)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("close\n")
                self.proc.stdin.flush()
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
