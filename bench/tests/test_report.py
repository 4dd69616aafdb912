"""The table and the runner's bookkeeping, with a stand-in load generator:
every figure the table names gets its values, medians and ratios are the
right way round, and a server that could not run says why."""
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "lib"))

import layout  # noqa: E402
import report  # noqa: E402
import suite  # noqa: E402


def column(name, label, values, errors=None):
    m = suite.Measurement()
    m.values = values
    m.errors = errors or {}
    return report.Column(name, label, m)


GROUPS = [("Rates", "higher", [("rate", "a rate", "/s")]),
          ("Logins", None, [("login", "logins work", ""), ("drop", "a noisy drop", "KiB")])]


def row(text, label):
    return next(l for l in text.splitlines() if l.startswith("  " + label))


def test_median_spread_and_ratio_of_kestrel_to_the_peer():
    k = column("kestrel-sqlite", "Kestrel/SQLite", {"rate": [10.0, 30.0, 20.0], "login": ["yes"] * 3,
                                                    "drop": [-5.0]})
    p = column("vsftpd", "vsftpd", {"rate": [5.0, 4.0, 6.0], "login": ["yes", "no", "yes"], "drop": [10.0]})
    text = report.table(GROUPS, [k, p], [k], [p])
    cells = row(text, "a rate").split()
    assert cells[-3:] == ["20.0", "5.00", "4.00"]  # medians, then Kestrel / vsftpd
    spread = text.splitlines()[text.splitlines().index(row(text, "a rate")) + 1]
    assert "10.0–30.0" in spread and "4.00–6.00" in spread
    assert row(text, "logins work").split()[-4:] == ["yes", "no", "(2/3)", "-"]
    assert row(text, "a noisy drop").split()[-3:] == ["-5", "10", "-"]  # no ratio of a negative reading


def test_a_figure_with_failed_sessions_says_how_many():
    k = column("kestrel-sqlite", "Kestrel/SQLite", {"rate": [10.0, 30.0, 20.0]})
    k.m.partial["rate"] = [(104, "timed out waiting for a reply"), (109, "timed out waiting for a reply")]
    text = report.table(GROUPS[:1], [k], [k], [])
    assert row(text, "a rate").split()[-1] == "20.0[1]"
    assert "[1] Kestrel/SQLite, a rate: 104–109 session(s) failed in 2 of 3 run(s) and are not counted; " \
        "first: timed out waiting for a reply" in text


def test_unavailable_failed_and_skipped_cells_point_to_their_reason():
    k = column("kestrel-sqlite", "Kestrel/SQLite", {"login": ["yes"]},
               errors={"rate": "rate: timed out waiting for a reply"})
    p = report.Column("pure-ftpd", "Pure-FTPd", unavailable="needs root")
    q = column("proftpd", "ProFTPD", {}, errors={"rate": "skipped: RLIMIT_NOFILE is 1024"})
    text = report.table(GROUPS, [k, p, q], [k], [p, q])
    cells = row(text, "a rate").split()
    assert cells[3:6] == ["fail[1]", "n/a[2]", "skipped[3]"]
    assert "[1] Kestrel/SQLite, a rate: rate: timed out waiting for a reply" in text
    assert "[2] Pure-FTPd: needs root" in text
    assert "[3] ProFTPD, a rate: RLIMIT_NOFILE is 1024" in text
    assert cells[-2:] == ["-", "-"]  # no ratio without both figures


class StubTarget:
    name = "stub"
    label = "Stub"
    upload = "up"
    port = 1
    user = password = "x"
    lists_in_one_process = True
    tls = ("cert.pem", "key.pem")

    def pid(self):
        return os.getpid()


class StubHolder:
    def opened(self, timeout):
        return {"opened": "10", "failed": "0"}

    def ask(self, command, timeout):
        return {"alive": "10"} if command == "check" else {"probe_ok": "3", "failed": "0"}

    def close(self):
        pass


class StubGenerator:
    """Answers each mode with the fields the real one prints."""
    answers = {"sessions": {"rate": "100"}, "latency": {"median_us": "50", "p99_us": "90"},
               "list": {"rate": "4"}, "small": {"rate": "800"}, "retr": {"mbps": "900"}, "stor": {"mbps": "700"}}

    def __init__(self):
        self.calls = []

    def run(self, mode, target, timeout, **options):
        self.calls.append((mode, options))
        return dict(self.answers[mode], failed="0")

    def hold(self, target, count, timeout_ms):
        return StubHolder()


def test_every_figure_of_the_table_is_measured_and_nothing_else():
    sizes = suite.Sizes(quick=True, runs=2)
    sizes.settle = 0
    lay = layout.Layout(tempfile.mkdtemp(prefix="bench-test-"), 1, 1, 1)
    os.makedirs(lay.disk("up-stub"))
    gen = StubGenerator()
    m = suite.Runner(gen, sizes, lay, lambda text: None).measure(StubTarget())
    keys = {key for _, _, rows in suite.figures(sizes) for key, _, _ in rows}
    assert set(m.values) == keys and not m.errors
    once = {"idle%d_%s" % (n, k) for n in sizes.idle_once for k in ("held", "pss", "avail", "login")}
    once.add("list_long_kib")
    assert all(len(v) == (1 if k in once else 2) for k, v in m.values.items())
    # Each run's uploads get names of their own, so a retry never overwrites.
    tags = [o["tag"] for mode, o in gen.calls if mode == "stor"]
    assert len(tags) == len(set(tags)) == 2 * 2 * len(sizes.streams)
    # The TLS rows, and only they, come from runs over TLS.
    tls_calls = [(mode, o["streams"]) for mode, o in gen.calls if o.get("tls")]
    assert sorted(tls_calls) == sorted([(mode, k) for mode in ("retr", "stor") for k in sizes.streams] * 2)


def test_a_server_without_tls_gets_na_in_the_tls_rows_with_one_note():
    sizes = suite.Sizes(quick=True, runs=1)
    sizes.settle = 0
    lay = layout.Layout(tempfile.mkdtemp(prefix="bench-test-"), 1, 1, 1)
    os.makedirs(lay.disk("up-stub"))
    target = StubTarget()
    target.tls = None
    target.tls_missing = "not set up"
    gen = StubGenerator()
    m = suite.Runner(gen, sizes, lay, lambda text: None).measure(target)
    assert not any(o.get("tls") for _, o in gen.calls)
    tls_keys = {key for title, _, rows in suite.figures(sizes) if "TLS" in title for key, _, _ in rows}
    assert set(m.errors) == tls_keys and "retr_1" in m.values
    text = report.table(suite.figures(sizes), [report.Column("stub", "Stub", m)], [], [])
    assert row(text, "RETR over TLS, 1 stream").split()[-1] == "n/a[1]"
    assert row(text, "STOR over TLS, 8 streams").split()[-1] == "n/a[1]"
    assert "[1] Stub: not set up" in text and "[2]" not in text


def test_larger_idle_step_is_skipped_when_the_smaller_shows_it_cannot_fit():
    sizes = suite.Sizes(quick=True, runs=1)
    runner = suite.Runner(StubGenerator(), sizes, None, lambda text: None)
    m = suite.Measurement()
    m.kib_per_session = 10 ** 9  # a terabyte a session
    assert "memory" in runner._machine_refuses(m, StubTarget(), 500)
    m.kib_per_session = 1
    m.tasks_per_session = 10 ** 6
    assert "pid_max" in runner._machine_refuses(m, StubTarget(), 500)
