"""The load generator against a fake server: it must count what really
crossed the wire and refuse to report a figure for a short or failed
transfer. No assertion here depends on how fast anything is.

    python3 -m pytest -q bench/tests
"""
import os
import subprocess
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(BENCH, "lib"))
sys.path.insert(0, HERE)

import loadgen  # noqa: E402
from fake_ftp import FakeFtp  # noqa: E402


@pytest.fixture(scope="module")
def gen():
    out = os.path.join(tempfile.mkdtemp(prefix="ftpload-test-"), "ftpload")
    error = loadgen.build(os.path.join(BENCH, "loadgen"), out)
    assert error is None, error
    return loadgen.LoadGenerator(out)


class Target:
    def __init__(self, fake, user="bench", password="secret"):
        self.port = fake.port
        self.user = user
        self.password = password


@pytest.fixture
def fake(request):
    servers = []

    def make(**kw):
        s = FakeFtp(**kw)
        servers.append(s)
        return s

    yield make
    for s in servers:
        s.close()


def test_sessions_are_counted_once_each_and_quit_properly(gen, fake):
    srv = fake(multiline=True)
    r = gen.run("sessions", Target(srv), 60, clients=4, seconds=1)
    assert int(r["completed"]) > 0 and r["failed"] == "0"
    # Every counted session ended with QUIT; at most one a client ran past
    # the window and is left out.
    assert int(r["completed"]) <= srv.quits <= int(r["completed"]) + 4
    assert float(r["rate"]) == pytest.approx(int(r["completed"]) / 1.0, abs=0.1)
    assert "PASS secret" in srv.commands


def test_latency_reports_percentiles_of_the_command_sent(gen, fake):
    srv = fake()
    r = gen.run("latency", Target(srv), 60, clients=2, seconds=1, command="PWD")
    assert int(r["count"]) > 0
    assert 0 < float(r["median_us"]) <= float(r["p99_us"])
    assert "PWD" in srv.commands and "NOOP" not in srv.commands


@pytest.mark.parametrize("bare_pasv", [False, True])
def test_retr_in_parts_moves_the_file_once_from_the_right_offsets(gen, fake, bare_pasv):
    body = os.urandom(3000001)
    srv = fake(files={"big.bin": body}, bare_pasv=bare_pasv, multiline=True)
    r = gen.run("retr", Target(srv), 60, path="big.bin", streams=3, size=len(body))
    assert int(r["bytes"]) == len(body) and r["unanswered_cuts"] == "0"
    assert float(r["mbps"]) > 0
    assert sorted(c for c in srv.commands if c.startswith("REST")) == ["REST 1000000", "REST 2000000"]


def test_retr_in_one_stream_reads_to_the_end(gen, fake):
    body = os.urandom(300001)
    srv = fake(files={"big.bin": body})
    r = gen.run("retr", Target(srv), 60, path="big.bin", streams=1, size=len(body))
    assert int(r["bytes"]) == len(body)
    assert not any(c.startswith("REST") for c in srv.commands)


def test_a_short_download_gives_no_figure(gen, fake):
    srv = fake(files={"big.bin": b"x" * 5000}, short_by=1)
    with pytest.raises(loadgen.Failure) as e:
        gen.run("retr", Target(srv), 60, path="big.bin", streams=1, size=5000)
    assert "4999 bytes" in str(e.value)


def test_stor_in_parts_sends_the_exact_size_and_removes_its_uploads(gen, fake):
    srv = fake()
    r = gen.run("stor", Target(srv), 60, path="up", streams=2, size=123457, tag="t1")
    assert int(r["bytes"]) == 123457
    # Two parts, the last one taking the odd byte.
    assert srv.uploads == {"bench-t1-0.bin": 61728, "bench-t1-1.bin": 61729}
    assert srv.files == {}


@pytest.fixture(scope="module")
def certificate():
    d = tempfile.mkdtemp(prefix="ftpload-cert-")
    cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


def test_tls_retr_in_parts_protects_every_data_connection_with_the_control_session(gen, fake, certificate):
    body = os.urandom(2000003)
    srv = fake(files={"big.bin": body}, tls=certificate)
    r = gen.run("retr", Target(srv), 60, path="big.bin", streams=3, size=len(body), tls=1)
    assert int(r["bytes"]) == len(body) and r["failed"] == "0"
    # The fake refuses a data connection that does not resume, as vsftpd does.
    assert srv.data_sessions == [True] * 3 and r["resumed"] == "3"
    assert r["tls"].startswith("TLSv1.")


def test_tls_stor_ends_each_upload_with_close_notify_and_exact_size(gen, fake, certificate):
    srv = fake(tls=certificate)
    r = gen.run("stor", Target(srv), 60, path="up", streams=2, size=300001, tls=1)
    # A part that ended with a bare FIN would have been refused with a 426.
    assert srv.uploads == {"bench-run-0.bin": 150000, "bench-run-1.bin": 150001}
    assert r["resumed"] == "2" and srv.files == {}


def test_tls_sessions_resume_on_every_data_connection_of_one_session(gen, fake, certificate):
    files = {"f%04d.bin" % i: b"z" * 4096 for i in range(1, 5)}
    srv = fake(files=files, tls=certificate)
    r = gen.run("small", Target(srv), 60, path="small", count=4, size=4096, prefix="f", digits=4, suffix=".bin",
                tls=1)
    assert r["files"] == "4" and srv.data_sessions == [True] * 4
    assert srv.commands[:5] == ["AUTH TLS", "USER bench", "PASS secret", "PBSZ 0", "PROT P"]
    r = gen.run("list", Target(srv), 60, path="list", seconds=1, expect=3, tls=1)
    assert int(r["lists"]) >= 1 and all(srv.data_sessions)


def test_clear_transfers_send_no_tls_command(gen, fake, certificate):
    body = os.urandom(100000)
    srv = fake(files={"big.bin": body}, tls=certificate)
    r = gen.run("retr", Target(srv), 60, path="big.bin", streams=1, size=len(body))
    assert r["tls"] == "none" and r["resumed"] == "0"
    assert not any(c.split()[0] in ("AUTH", "PBSZ", "PROT") for c in srv.commands)


def test_a_server_without_tls_fails_the_tls_run(gen, fake):
    srv = fake(files={"big.bin": b"x" * 10})
    with pytest.raises(loadgen.Failure) as e:
        gen.run("retr", Target(srv), 60, path="big.bin", streams=1, size=10, tls=1)
    assert "AUTH" in str(e.value)


def test_small_files_are_named_with_zero_padding(gen, fake):
    files = {"f%04d.bin" % i: b"y" * 4096 for i in range(1, 6)}
    srv = fake(files=files)
    r = gen.run("small", Target(srv), 60, path="small", count=5, size=4096, prefix="f", digits=4, suffix=".bin")
    assert r["files"] == "5"
    assert [c for c in srv.commands if c.startswith("RETR")] == ["RETR f%04d.bin" % i for i in range(1, 6)]


def test_small_files_of_the_wrong_size_give_no_figure(gen, fake):
    srv = fake(files={"f0001.bin": b"y" * 10})
    with pytest.raises(loadgen.Failure):
        gen.run("small", Target(srv), 60, path="small", count=1, size=4096, prefix="f", digits=4, suffix=".bin")


def test_listing_shorter_than_expected_is_a_failure(gen, fake):
    srv = fake(listing_lines=50)
    r = gen.run("list", Target(srv), 60, path="list", seconds=1, expect=50)
    assert r["lines"] == "50" and int(r["lists"]) >= 1
    with pytest.raises(loadgen.Failure) as e:
        gen.run("list", Target(srv), 60, path="list", seconds=1, expect=51)
    assert "50 lines" in str(e.value)


def test_idle_sessions_are_held_checked_and_probed(gen, fake):
    srv = fake()
    holder = gen.hold(Target(srv), 12, timeout_ms=5000)
    try:
        assert holder.opened(timeout=60)["opened"] == "12"
        # Out of the caller's session, so that it does not share the CPU
        # scheduler's group (autogroup) with a server started from here.
        assert os.getsid(holder.proc.pid) == holder.proc.pid != os.getsid(0)
        assert srv.open_sessions == 12
        assert holder.ask("check", timeout=60)["alive"] == "12"
        probe = holder.ask("probe 2", timeout=60)
        assert probe["probe_ok"] == "2" and probe["failed"] == "0"
    finally:
        holder.close()
    assert holder.proc.returncode == 0


def test_a_refused_login_fails_every_session(gen, fake):
    srv = fake()
    with pytest.raises(loadgen.Failure) as e:
        # Nobody listens on the fake's port once it is closed.
        srv.close()
        gen.run("sessions", Target(srv), 60, clients=1, seconds=1)
    assert "connect" in str(e.value)


@pytest.mark.parametrize("argv", [
    ["sessions", "--port", "21", "--user", "a\r\nDELE x"],   # would forge a command line
    ["sessions", "--port", "0"],
    ["sessions", "--port", "21", "--clients", "abc"],
    ["sessions"],
    ["bogus", "--port", "21"],
])
def test_bad_arguments_are_refused_before_connecting(gen, argv):
    r = subprocess.run([gen.binary] + argv, capture_output=True, text=True)
    assert r.returncode == 2 and r.stdout == ""
    assert "ftpload:" in r.stderr


def test_result_line_keeps_blanks_in_the_first_error():
    f = loadgen.parse("completed=3 seconds=1.0 rate=3.0 failed=1 first_error=timed out waiting for a reply\n")
    assert f["completed"] == "3" and f["failed"] == "1"
    assert f["first_error"] == "timed out waiting for a reply"
