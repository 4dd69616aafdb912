"""What a hostile client, a planted link, a full disk or a lost database does
to the server: each test names the fault it guards against."""
import ftplib
import io
import os
import queue
import socket
import sqlite3
import subprocess
import threading
import time

import pytest

from harness import HERE, Server, postgres_cluster, wait_for


class Site:
    """alice (password secret) owns /up, mapped to a folder of its own."""

    def __init__(self, srv, **user):
        self.srv = srv
        self.alice = srv.add_user("alice", "secret", **user)
        self.root = srv.query('select "root directory" from users where id=%d' % self.alice)[0][0]
        self.up_disk = srv.disk("up")
        self.up = srv.add_dir(self.root, "up", self.up_disk, owner=self.alice)
        self.outside = srv.disk("outside")

    def ftp(self):
        f = self.srv.ftp()
        f.login("alice", "secret")
        return f

    def rows(self, name):
        return self.srv.query("select id, size from files where parent=%d and name='%s'" % (self.up, name))


@pytest.fixture
def site(server):
    return Site(server)


def leftovers(folder):
    return [n for n in os.listdir(folder) if n.startswith(".kestrel-upload.")]



def run_refresh(srv, directory, **options):
    status, body = srv.api("POST", "/api/refresh", dict(directory=directory, **options))
    assert status == 200 and body["started"], body
    wait_for(lambda: not srv.api("GET", "/api/refresh")[1]["running"])


# --- descriptors -------------------------------------------------------------

def test_running_out_of_descriptors_refuses_clients_and_survives(engine):
    # The program used to abort when a connection thread could not get its
    # epoll and eventfd descriptors.
    with Server(engine, start=False) as srv:
        srv.start(descriptor_limit=160)
        clients, refused = [], 0
        for _ in range(200):
            try:
                clients.append(socket.create_connection(("127.0.0.1", srv.port), timeout=5))
            except OSError:
                refused += 1
        # Some got a session, the rest a 421 or a closed socket; none hangs.
        greetings = []
        for c in clients:
            try:
                c.settimeout(5)
                greetings.append(c.recv(200)[:3])
            except OSError:
                greetings.append(b"")
        assert b"220" in greetings
        assert b"421" in greetings or b"" in greetings or refused
        for c in clients:
            c.close()
        assert srv.proc.poll() is None
        # Once the idle clients are gone, service is back.
        def logs_in():
            try:
                f = srv.ftp(timeout=5)
                f.login()
                f.quit()
                return True
            except (OSError, ftplib.Error, EOFError):
                return False
        wait_for(logs_in)
        assert "Out of file descriptors" in srv.read_log()


# --- links planted on disk ---------------------------------------------------

def test_links_on_disk_are_never_followed(site, tmp_path):
    srv = site.srv
    secret = os.path.join(site.outside, "secret.txt")
    with open(secret, "wb") as f:
        f.write(b"outside")
    os.symlink(secret, os.path.join(site.up_disk, "trap.txt"))
    os.symlink(os.path.join(site.outside, "made-by-link.txt"), os.path.join(site.up_disk, "dangling.txt"))
    os.symlink(site.outside, os.path.join(site.up_disk, "linked-dir"))
    srv.add_file(site.up, "trap.txt", content=None, size=7, owner=site.alice)
    f = site.ftp()
    f.cwd("/up")
    # An upload onto a link is refused and writes nothing anywhere.
    for name in ("trap.txt", "dangling.txt"):
        with pytest.raises(ftplib.error_perm, match="550 Unable to write file."):
            f.storbinary("STOR " + name, io.BytesIO(b"overwritten"))
    assert open(secret, "rb").read() == b"outside"
    assert not os.path.exists(os.path.join(site.outside, "made-by-link.txt"))
    # A row whose name is a link on disk cannot be downloaded.
    with pytest.raises(ftplib.error_perm, match="550 trap.txt: Unable to open."):
        f.retrbinary("RETR trap.txt", io.BytesIO().write)
    f.quit()

    # Synchronisation takes no link into the tree, and says so.
    stream = srv.events("/api/refresh/events")
    run_refresh(srv, site.up, purge=False)
    # The stream's lines may trail the refresh's own answer.
    seen = []
    deadline = time.time() + 10
    while "Skipping link " not in str(seen) and time.time() < deadline:
        try:
            seen.append(stream.queue.get(timeout=0.5))
        except queue.Empty:
            pass
    stream.close()
    names = [r[0] for r in srv.query("select name from files where parent=%d" % site.up)]
    assert "dangling.txt" not in names and "linked-dir" not in names
    assert "Skipping link " in str(seen)

    # An index file is never written through a link.
    os.symlink(secret, os.path.join(site.up_disk, "index.txt"))
    srv.api("POST", "/api/tree/directories/%d/index" % site.up, {})
    assert open(secret, "rb").read() == b"outside"


# --- one resolution for STOR ---------------------------------------------------

def test_stor_with_a_leading_slash_names_the_root(engine):
    # "STOR /keep.txt" from /up used to skip the overwrite refusal and add a
    # second row for the file in /up.
    with Server(engine) as srv:
        site = Site(srv, overwriteownfiles=0)
        f = site.ftp()
        f.cwd("/up")
        f.storbinary("STOR keep.txt", io.BytesIO(b"first"))
        with pytest.raises(ftplib.error_perm, match="553 keep.txt: Access denied."):
            f.storbinary("STOR keep.txt", io.BytesIO(b"second"))
        with pytest.raises(ftplib.error_perm, match="550 Unable to write file.  Access denied."):
            f.storbinary("STOR /keep.txt", io.BytesIO(b"third"))
        with pytest.raises(ftplib.error_perm, match="553 /up/keep.txt: Access denied."):
            f.storbinary("STOR /up/keep.txt", io.BytesIO(b"fourth"))
        f.quit()
        assert len(site.rows("keep.txt")) == 1
        assert open(os.path.join(site.up_disk, "keep.txt"), "rb").read() == b"first"


def test_names_with_trailing_blanks_are_refused(site):
    f = site.ftp()
    f.cwd("/up")
    with pytest.raises(ftplib.error_perm, match="553 tdir : invalid directory name."):
        f.mkd("tdir ")
    with pytest.raises(ftplib.error_perm, match="553 tfile : invalid file name."):
        f.storbinary("STOR tfile ", io.BytesIO(b"x"))
    f.storbinary("STOR tfile", io.BytesIO(b"x"))
    f.sendcmd("RNFR tfile")
    with pytest.raises(ftplib.error_perm, match="550 Invalid file name."):
        f.sendcmd("RNTO renamed ")
    f.quit()
    assert site.rows("tdir ") == [] and site.rows("tfile ") == []


# --- uploads land whole or not at all ----------------------------------------

def test_overwrite_updates_the_row_and_an_aborted_one_keeps_the_old_file(site):
    f = site.ftp()
    f.cwd("/up")
    f.storbinary("STOR data.bin", io.BytesIO(b"0123456789"))
    f.storbinary("STOR data.bin", io.BytesIO(b"y" * 5000))
    assert site.rows("data.bin")[0][1] == 5000
    listing = []
    f.retrlines("LIST data.bin", listing.append)
    assert " 5000 " in listing[0]

    # An overwrite cut off by ABOR leaves the 5000 bytes and their row.
    conn = f.transfercmd("STOR data.bin")
    conn.sendall(b"z" * 100)
    time.sleep(0.3)
    f.abort()
    conn.close()
    f.voidcmd("NOOP")
    assert open(os.path.join(site.up_disk, "data.bin"), "rb").read() == b"y" * 5000
    assert site.rows("data.bin")[0][1] == 5000
    assert leftovers(site.up_disk) == []

    # A new upload cut off by a reset leaves nothing at all.
    conn = f.transfercmd("STOR fresh.bin")
    conn.sendall(b"z" * 100)
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    conn.close()
    with pytest.raises(ftplib.error_temp, match="426"):
        f.voidresp()
    assert not os.path.exists(os.path.join(site.up_disk, "fresh.bin"))
    assert site.rows("fresh.bin") == [] and leftovers(site.up_disk) == []
    f.quit()


def test_concurrent_uploads_of_one_name_leave_one_row_matching_the_file(site):
    sizes = [3000, 7000, 11000, 15000]
    errors = []

    def upload(n):
        try:
            f = site.ftp()
            f.cwd("/up")
            f.storbinary("STOR same.bin", io.BytesIO(b"a" * n))
            f.quit()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=upload, args=(n,)) for n in sizes]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    rows = site.rows("same.bin")
    assert len(rows) == 1
    assert rows[0][1] == os.path.getsize(os.path.join(site.up_disk, "same.bin"))


def test_disk_full_leaves_the_old_file_and_nothing_else(engine):
    with Server(engine, start=False) as srv:
        srv.env["KESTREL_FAULTS"] = "file-write=ENOSPC"
        srv.start()
        site = Site(srv)
        with open(os.path.join(site.up_disk, "old.txt"), "wb") as f:
            f.write(b"old bytes")
        srv.add_file(site.up, "old.txt", content=None, size=9, owner=site.alice)
        f = site.ftp()
        f.cwd("/up")
        # One block: the server's first write fails and it drops the data
        # connection, which a client still sending would see as a broken pipe.
        for name in ("old.txt", "new.txt"):
            with pytest.raises(ftplib.error_perm, match="553 Transfer aborted.  Allocation exceeded."):
                f.storbinary("STOR " + name, io.BytesIO(b"n" * 4000))
        f.quit()
        assert open(os.path.join(site.up_disk, "old.txt"), "rb").read() == b"old bytes"
        assert site.rows("old.txt")[0][1] == 9
        assert not os.path.exists(os.path.join(site.up_disk, "new.txt")) and site.rows("new.txt") == []
        assert leftovers(site.up_disk) == []


def test_synchronisation_removes_what_a_crash_left(site):
    srv = site.srv
    stale = os.path.join(site.up_disk, ".kestrel-upload.999999999.0badf00d")
    with open(stale, "wb") as f:
        f.write(b"partial")
    run_refresh(srv, site.up, hidden=True)
    assert not os.path.exists(stale)
    assert srv.query("select id from files where name like '.kestrel-upload%'") == []


# --- one reply per command -------------------------------------------------------

def test_a_login_whose_writes_fail_answers_once():
    # With the database locked by another program the 230 went out and the
    # failed "Last On" update answered the same PASS with a 451.
    with Server("sqlite") as srv:
        Site(srv)
        raw = srv.connect_raw()
        raw.reply()
        assert raw.cmd("USER alice")[0].startswith("331")
        locker = sqlite3.connect(srv.dbfile, timeout=1)
        locker.execute("BEGIN EXCLUSIVE")
        try:
            raw.send("PASS secret\r\n")
            answer = raw.reply(timeout=30)
        finally:
            locker.rollback()
            locker.close()
        assert answer == ["451 Requested action aborted.  Local error in processing."]
        assert raw.cmd("NOOP") == ["200 NOOP command successful."]
        # Logged out again: the login can simply be repeated.
        assert raw.cmd("PWD") == ["530 Not Logged in."]
        assert raw.cmd("USER alice")[0].startswith("331")
        assert raw.cmd("PASS secret")[-1].startswith("230")
        raw.close()


# --- a client that never reads ------------------------------------------------

def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int([l for l in f if l.startswith("VmRSS:")][0].split()[1])


def test_a_client_that_never_reads_is_held_back(server):
    # 400 kB of HELP sent without reading grew the server by 67 MB.
    raw = server.connect_raw()
    raw.reply()
    before = rss_kib(server.proc.pid)
    raw.sock.setblocking(False)
    sent, payload = 0, b"HELP\r" * 20000
    deadline = time.time() + 10
    while sent < 2_000_000 and time.time() < deadline:
        try:
            sent += raw.sock.send(payload)
        except BlockingIOError:
            time.sleep(0.05)
    time.sleep(1)
    grown = rss_kib(server.proc.pid) - before
    assert grown < 32 * 1024, "grew by %d KiB after %d bytes of commands" % (grown, sent)
    raw.close()

    # Held back is not dropped: every command gets its reply, in order, once
    # the client reads.
    raw = server.connect_raw()
    raw.reply()
    count = 200_000
    sender = threading.Thread(target=raw.sock.sendall, args=(b"NOOP\r" * count,))
    sender.start()
    time.sleep(2)
    raw.sock.settimeout(60)
    expected = b"200 NOOP command successful.\r\n"
    received = b""
    while len(received) < count * len(expected):
        chunk = raw.sock.recv(1 << 20)
        assert chunk
        received += chunk
    sender.join()
    assert received == expected * count
    assert raw.cmd("PWD") == ["530 Not Logged in."]
    raw.close()


# --- the database goes away and comes back --------------------------------------

def test_postgresql_restart_under_a_logged_in_session():
    with Server("postgresql") as srv:
        site = Site(srv)
        f = site.ftp()
        events = srv.events()
        cluster, _ = postgres_cluster()
        subprocess.run([os.path.join(HERE, "pg-cluster"), "halt", cluster], check=True)
        try:
            with pytest.raises(ftplib.error_temp, match="451 Requested action aborted"):
                f.cwd("/up")
            # New clients are told, not dropped without a word.
            raw = srv.connect_raw()
            assert raw.line() == "421 Service not available, closing control connection."
            raw.close()
            events.next("notice", where=lambda d: "lost" in str(d), timeout=30)
        finally:
            subprocess.run([os.path.join(HERE, "pg-cluster"), "resume", cluster], check=True)

        def works():
            try:
                f.cwd("/up")
                return True
            except ftplib.error_temp:
                return False
        wait_for(works)
        events.next("notice", where=lambda d: "open again" in str(d), timeout=30)
        events.close()
        f.quit()
        assert srv.api("GET", "/api/users")[0] == 200
        g = srv.ftp()
        g.login("alice", "secret")
        g.quit()
