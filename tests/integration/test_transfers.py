"""Data connections, transfers and listings against the real server.

Byte-exact protocol checks use the harness's raw client; real clients
(ftplib, curl, lftp) move files in active and passive mode. Every test runs
on SQLite and on PostgreSQL.
"""
import ftplib
import io
import os
import re
import socket
import subprocess
import time

import pytest

from harness import Server

# --- helpers ---------------------------------------------------------------

class Site:
    """A small tree: /pub for anonymous users, alice with a writable /up."""

    def __init__(self, srv):
        self.srv = srv
        self.anon_root = srv.anonymous_root()
        self.pub = srv.add_dir(self.anon_root, "pub", srv.disk("pub"))
        self.alice = srv.add_user("alice", "secret")
        self.alice_root = root_of(srv, self.alice)
        self.up = srv.add_dir(self.alice_root, "up", srv.disk("alice-up"), owner=self.alice)


def root_of(srv, uid):
    return srv.query('select "root directory" from users where id=%d' % uid)[0][0]


@pytest.fixture
def site(server):
    return Site(server)


def login(srv, user="anonymous", password="guest@example.org"):
    raw = srv.connect_raw()
    raw.reply()
    assert raw.cmd("USER " + user)[0][:3] in ("331", "230")
    assert raw.cmd("PASS " + password)[-1].startswith("230")
    return raw


def pasv(raw):
    """PASV and connect: the data connection of the next command."""
    line = raw.cmd("PASV")[0]
    m = re.match(r"227 Entering Passive mode \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)$", line)
    assert m, line
    return socket.create_connection(("127.0.0.1", int(m.group(5)) * 256 + int(m.group(6))), timeout=10)


def pasv_port(raw):
    line = raw.cmd("PASV")[0]
    nums = [int(n) for n in re.findall(r"\d+", line[4:])]
    return nums[4] * 256 + nums[5]


def read_all(sock):
    sock.settimeout(30)
    chunks = []
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            break
        chunks.append(chunk)
    sock.close()
    return b"".join(chunks)


def raw_list(raw, command):
    data = pasv(raw)
    raw.send(command + "\r\n")
    assert raw.reply() == ["150 File status OK.  Opening data connection."]
    body = read_all(data)
    assert raw.reply() == ["226 Transfer Complete.  Data connection closed."]
    return body


def raw_stor(raw, path, payload):
    data = pasv(raw)
    raw.send("STOR %s\r\n" % path)
    assert raw.reply() == ["150 File status OK.  Opening data connection."]
    data.sendall(payload)
    data.close()
    assert raw.reply() == ["226 Transfer Complete.  Data connection closed."]


def raw_retr(raw, path):
    data = pasv(raw)
    raw.send("RETR %s\r\n" % path)
    first = raw.reply()
    assert first[0].startswith("150 "), first
    body = read_all(data)
    assert raw.reply() == ["226 Transfer Complete.  Data connection closed."]
    return first[0], body


def ftp_login(srv, user="alice", password="secret", passive=True):
    f = srv.ftp()
    f.login(user, password)
    f.set_pasv(passive)
    return f


def until(raw, terminator, timeout=10):
    """Raw bytes of the control connection up to and including terminator."""
    raw.sock.settimeout(timeout)
    buf = raw.buf
    while terminator not in buf:
        chunk = raw.sock.recv(4096)
        if not chunk:
            raise EOFError(buf)
        buf += chunk
    end = buf.index(terminator) + len(terminator)
    raw.buf = buf[end:]
    return buf[:end]


def add_tree(srv, parent, name, disk, dirs=3, files_per_dir=100, owner=None):
    """A directory of sub-directories full of small files, on disk and in the store."""
    top = srv.add_dir(parent, name, disk, owner=owner)
    rnd = os.urandom(4096)
    d = srv.domain_id()
    gid = srv.group_id()
    uid = owner if owner is not None else srv.query(
        "select id from users where login='anonymous' and domain=%d" % d)[0][0]
    now = time.strftime("%Y-%m-%d %H:%M:%S")
    expected = {}
    for i in range(dirs):
        sub_disk = os.path.join(disk, "d%d" % i)
        os.makedirs(sub_disk)
        sub = srv.add_dir(top, "d%d" % i, sub_disk, owner=owner)
        rows = []
        for j in range(files_per_dir):
            fname = "f%03d.dat" % j
            size = (i * 7919 + j * 104729) % 3000
            content = rnd[j % 97:][:size] + bytes([i, j % 256])
            with open(os.path.join(sub_disk, fname), "wb") as fh:
                fh.write(content)
            expected["d%d/%s" % (i, fname)] = content
            rows.append("('%s',%d,'',0,%d,%d,%d,%d,0,0,'','','%s','%s','%s',1,1,0,1,0,0,1,0,0)"
                        % (fname, sub, len(content), uid, gid, d, now, now, now))
        srv.execute('INSERT INTO "files" ("name","parent","path","directory","size","userid","groupid",'
                    '"domain","link","downloads","description","title","created","modified","last read",'
                    '"user read","user write","user execute","group read","group write","group execute",'
                    '"other read","other write","other execute") VALUES ' + ",".join(rows))
    return top, expected


def tree_on_disk(root):
    found = {}
    for dirpath, _, names in os.walk(root):
        for n in names:
            full = os.path.join(dirpath, n)
            with open(full, "rb") as fh:
                found[os.path.relpath(full, root)] = fh.read()
    return found


def lftp(script, timeout=240):
    settings = ("set cmd:fail-exit yes; set net:max-retries 1; set net:timeout 20; "
                "set ftp:passive-mode on; set ftp:prefer-epsv no; set ftp:ssl-allow no; "
                "set ftp:use-feat no; set ftp:use-mdtm no; set ftp:use-size no; ")
    r = subprocess.run(["lftp", "-c", settings + script], capture_output=True, text=True, timeout=timeout)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


def curl(*args):
    r = subprocess.run(["curl", "-sS", "--disable-epsv", "--disable-eprt", "--max-time", "60"] + list(args),
                       capture_output=True, timeout=90)
    assert r.returncode == 0, r.stderr
    return r.stdout


# --- restart, ratio and space rules ------------------------------------------

def test_rest_then_retr_sends_the_tail_and_announces_the_whole_file(site):
    srv = site.srv
    data = os.urandom(5000)
    srv.add_file(site.pub, "five.bin", data)
    raw = login(srv)
    assert raw.cmd("TYPE I") == ["200 TYPE set to 'I'."]
    assert raw.cmd("REST 1000") == ["350 Ready to resume file transfer at byte offset 1000"]
    first, body = raw_retr(raw, "pub/five.bin")
    assert first == "150 File status OK.  Opening data connection for five.bin (5000 bytes)."
    assert body == data[1000:]
    # The offset is used once.
    assert raw_retr(raw, "pub/five.bin")[1] == data

    # REST does not shift an upload and stays set for the next download.
    alice = login(srv, "alice", "secret")
    assert alice.cmd("REST 10") == ["350 Ready to resume file transfer at byte offset 10"]
    payload = os.urandom(1000)
    raw_stor(alice, "up/r.bin", payload)
    with open(os.path.join(srv.disk("alice-up"), "r.bin"), "rb") as fh:
        assert fh.read() == payload
    assert raw_retr(alice, "up/r.bin")[1] == payload[10:]


def test_ratio_boundary(site):
    srv = site.srv
    bob = srv.add_user("bob", "pw", ratio=3)
    inbox = srv.add_dir(root_of(srv, bob), "in", srv.disk("bob-in"), owner=bob)
    srv.add_file(inbox, "f2999", os.urandom(2999), owner=bob)
    srv.add_file(inbox, "f3000", os.urandom(3000), owner=bob)
    srv.add_file(inbox, "f1", b"x", owner=bob)
    raw = login(srv, "bob", "pw")
    assert raw.cmd("RETR in/f1") == ["450-Download:Upload ratio too great.  Try uploading more first.",
                                     "450 UL:0  DL:0   Ratio: 1:3  Bytes left: 0"]
    raw_stor(raw, "in/up.bin", os.urandom(1000))
    assert raw.cmd("RETR in/f3000") == ["450-Download:Upload ratio too great.  Try uploading more first.",
                                        "450 UL:1000  DL:0   Ratio: 1:3  Bytes left: 3000"]
    first, body = raw_retr(raw, "in/f2999")
    assert first == "150 File status OK.  Opening data connection for f2999 (2999 bytes)."
    assert len(body) == 2999
    assert raw.cmd("RETR in/f1") == ["450-Download:Upload ratio too great.  Try uploading more first.",
                                     "450 UL:1000  DL:2999   Ratio: 1:3  Bytes left: 1"]


def test_space_limit_boundary(site):
    srv = site.srv
    for login_name, used, accepted in (("carol", 100500, True), ("dave", 101000, False)):
        uid = srv.add_user(login_name, "pw", space_limit=100)
        box = srv.add_dir(root_of(srv, uid), "box", srv.disk(login_name), owner=uid)
        srv.add_file(box, "old.bin", None, owner=uid, size=used)
        raw = login(srv, login_name, "pw")
        if accepted:
            raw_stor(raw, "box/new.bin", b"12345")
        else:
            assert raw.cmd("STOR box/new.bin") == ["550 Unable to write file.  Space exceeded."]
            assert not os.path.exists(os.path.join(srv.disk(login_name), "new.bin"))


def test_stor_refusals(site):
    srv = site.srv
    raw = login(srv, "alice", "secret")
    # The root takes no files, even from its owner with every bit set.
    assert raw.cmd("STOR top.bin") == ["550 Unable to write file.  Access denied."]
    assert raw.cmd("STOR up/a:b") == ["553 up/a:b: invalid file name."]
    assert raw.cmd("STOR up/..") == ["553 up/..: invalid file name."]
    assert raw.cmd("STOR up/.") == ["553 up/.: invalid file name."]
    assert raw.cmd("STOR nowhere/x.bin") == ["550 Unable to create file.  Invalid path."]
    assert raw.cmd("STOR up") == ["553 up: Access denied."]
    assert os.listdir(srv.disk("alice-up")) == []
    anon = login(srv)
    assert anon.cmd("RETR pub/missing") == ["550 No such file."]
    assert anon.cmd("RETR pub") == ["550 pub: Not a file"]
    srv.add_file(site.pub, "secret.txt", b"s", perms="rw-------", owner=site.alice)
    assert anon.cmd("RETR pub/secret.txt") == ["550 pub/secret.txt: Access denied."]
    srv.add_file(site.pub, "gone.txt", None, size=10)
    assert anon.cmd("RETR pub/gone.txt") == ["550 pub/gone.txt: Unable to open."]


def test_retr_finds_a_file_by_every_spelling_of_its_path(site):
    srv = site.srv
    srv.add_file(site.pub, "a.txt", b"abc")
    inner = srv.add_dir(site.pub, "inner", srv.disk("inner"))
    srv.add_file(inner, "b.txt", b"bee")
    # A link row stands for its target, which lives elsewhere on disk.
    srv.add_file(site.pub, "to-b.txt", None, size=0, link=srv.query(
        "select id from files where name='b.txt'")[0][0])
    raw = login(srv)
    for path in ("pub/a.txt", "/pub/a.txt", "pub\\a.txt", "PUB/A.TXT", "pub/a.txt  ", "pub/a.txt/"):
        assert raw_retr(raw, path)[1] == b"abc", path
    assert raw_retr(raw, "pub/inner/b.txt")[1] == b"bee"
    assert raw_retr(raw, "pub/to-b.txt")[1] == b"bee"
    assert raw.cmd("RETR pub//a.txt") == ["550 No such file."]
    assert raw.cmd("RETR pub/nothing/a.txt") == ["550 No such file."]
    assert raw.cmd("CWD pub/inner") == ["250 CWD command successful."]
    assert raw_retr(raw, "b.txt")[1] == b"bee"
    for path in (".", "..", "/"):
        assert raw.cmd("RETR " + path) == ["550 %s: Not a file" % path]


@pytest.fixture
def logged_server(engine):
    settings = {"Settings": {"Mail": "ops@example.org", "LogUPLOAD": 1, "LogDOWNLOAD": 1}}
    with Server(engine, settings=settings) as srv:
        yield srv


def test_new_upload_row_and_counters(logged_server):
    srv = logged_server
    site = Site(srv)
    payload = os.urandom(4321)
    f = ftp_login(srv)
    f.storbinary("STOR up/new.txt", io.BytesIO(payload))
    lines = []
    f.retrlines("LIST up", lines.append)
    assert len(lines) == 1
    assert re.match(r"-rw-r--r--   1    alice   system      4321 \w{3} \d\d \d\d:\d\d new\.txt$", lines[0]), lines
    got = io.BytesIO()
    f.retrbinary("RETR up/new.txt", got.write)
    assert got.getvalue() == payload
    f.quit()

    cols = ('"user read","user write","user execute","group read","group write","group execute",'
            '"other read","other write","other execute",userid,groupid,domain,link,directory,path,size,'
            'parent,downloads,id')
    rows = srv.query('select %s from files where name=\'new.txt\'' % cols)
    assert len(rows) == 1
    row = rows[0]
    assert tuple(int(v) for v in row[:9]) == (1, 1, 0, 1, 0, 0, 1, 0, 0)
    assert row[9] == site.alice and row[10] == srv.group_id() and row[11] == srv.domain_id()
    assert int(row[12]) == 0 and int(row[13]) == 0 and row[14] == "" and int(row[15]) == 4321
    assert row[16] == site.up and int(row[17]) == 1
    file_id = row[18]
    assert srv.query("select uploads, downloads from users where id=%d" % site.alice) == [(1, 1)]
    log = srv.query("select actionid, userid, fileid from log order by id")
    assert (1, site.alice, file_id) in log and (2, site.alice, file_id) in log


# --- listings and status ----------------------------------------------------

def test_list_line_formats(site):
    srv = site.srv
    year = time.localtime().tm_year
    owner = srv.add_user("longownername", "pw")
    srv.add_file(site.pub, "old.txt", b"x" * 123, owner=owner, modified="2019-03-04 05:06:07")
    srv.add_file(site.pub, "new.txt", b"hello", modified="%d-01-02 03:04:05" % year)
    srv.add_dir(site.pub, "sub", srv.disk("pub", "sub"), owner=site.alice, perms="rwxr-x---",
                modified="%d-01-01 00:00:00" % year)
    raw = login(srv)
    assert raw_list(raw, "LIST pub") == (
        b"-rw-r--r--   1 anonymou   system         5 Jan 02 03:04 new.txt\r\n"
        b"-rw-r--r--   1 longowne   system       123 Mar 04 2019  old.txt\r\n"
        b"drwxr-x---   1    alice   system         0 Jan 01 00:00 sub\r\n")
    assert raw_list(raw, "NLST pub") == b"new.txt\r\nold.txt\r\nsub\r\n"
    # A single file lists in the long form, whichever command asks.
    assert raw_list(raw, "NLST pub/old.txt") == b"-rw-r--r--   1 longowne   system       123 Mar 04 2019  old.txt\r\n"
    # An option is a path like any other: nothing found, empty listing.
    assert raw_list(raw, "LIST -la") == b""
    raw.send("STAT pub/old.txt\r\n")
    assert until(raw, b"211 End of Status\n") == (
        b"211-status of pub/old.txt:\n"
        b"-rw-r--r--   1 longowne   system       123 Mar 04 2019  old.txt\r\n"
        b"211 End of Status\n")
    raw.send("STAT nothing\r\n")
    assert until(raw, b"211 End of Status\n") == (
        b"211-status of nothing:\nnothing: No such file or directory\n211 End of Status\n")


def test_stat_and_parameters(server):
    raw = server.connect_raw()
    raw.reply()
    status = raw.cmd("STAT")
    assert status[0] == "211-Server Status:"
    assert re.match(r"   .+ \(Kestrel Version 3\.00, \w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\)$", status[1])
    assert re.match(r"   Connected to \S* \(127\.0\.0\.1\)$", status[2])
    assert status[3:] == ["   USER: Waiting for login",
                          "   TYPE: ASCII, FORM: Non-Print;    STRUcture: File;    MODE: Stream",
                          "   No data connection.", "211 End of status."]
    assert raw.cmd("STAT /") == ["530 Not Logged in."]
    assert raw.cmd("SYST") == ["530 Not Logged in."]
    assert raw.cmd("TYPE i") == ["200 TYPE set to 'I'."]
    assert raw.cmd("TYPE L 8") == ["500 'TYPE L 8': Unknown command"]
    assert raw.cmd("TYPE L 7") == ["504 Byte size for 'L' must be 8."]
    assert raw.cmd("TYPE A T") == ["504 Type form must be 'N'"]
    assert raw.cmd("TYPE E N") == ["504 Type EBCDIC not implemented."]
    assert raw.cmd("MODE b") == ["200 MODE 'b' ok."]
    assert raw.cmd("MODE x") == ["500 'MODE x': Unknown command"]
    assert raw.cmd("STRU R") == ["504 Unimplemented Structure type."]
    assert raw.cmd("STRU f") == ["200 STRU 'f' ok."]
    assert raw.cmd("STAT")[4] == "   TYPE: Image, FORM: Non-Print;    STRUcture: File;    MODE: Block"


def test_help(logged_server):
    raw = logged_server.connect_raw()
    raw.reply()
    assert raw.cmd("HELP") == [
        "214-The following commands are recognized (* unimplemented).",
        "   ABOR    ACCT*   ALLO    APPE*   CDUP    CWD     DELE    HELP ",
        "   LIST    MAIL*   MDTM*   MKD     MLFL*   MODE    MRCP*   MRSQ*",
        "   MSAM*   MSND*   MSOM*   NLST    NOOP    PASS    PASV    PORT ",
        "   PWD     QUIT    REIN*   REST*   RETR    RMD     RNFR    RNTO ",
        "   SIZE*   SITE    STAT    STOU*   SMNT*   STOR    STRU    SYST ",
        "   TYPE    USER    XCUP    XCWD    XMKD    XPWD    XRMD ",
        "214 Direct bug reports and comments to ops@example.org."]
    assert raw.cmd("HELP site idle") == [
        "214 Syntax: SITE IDLE [ <sp> secs ]   (set/show idle time before disconnect)"]
    assert raw.cmd("HELP Retr") == ["214 Syntax: RETR <sp> file-name  (retrieve file)"]
    assert raw.cmd("HELP mode") == ["214 Syntax: MODE <sp> [S | B | C ] (specify transfer mode)"]
    assert raw.cmd("HELP bogus") == ["502 Unknown command 'BOGUS'."]
    assert raw.cmd("HELP site") == [
        "214-The following SITE commands are recognized (* unimplemented).",
        "   ALLOW   ANON    CHGRP   CHMOD   CHOWN   DENY",
        "   HELP    IDLE    KICK    MSG     UMSG    WHO ",
        "214 bug reports and comments to ops@example.org."]


# --- data connections ---------------------------------------------------------

def test_pasv_twice_and_strangers(site):
    srv = site.srv
    srv.add_file(site.pub, "a.txt", b"abc")
    raw = login(srv)
    first = pasv_port(raw)
    second = pasv_port(raw)
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", first), timeout=5).close()
    # Another host is turned away and the port still waits for the client.
    stranger = socket.create_connection(("127.0.0.1", second), timeout=5, source_address=("127.0.0.2", 0))
    stranger.settimeout(5)
    assert stranger.recv(10) == b""
    stranger.close()
    data = socket.create_connection(("127.0.0.1", second), timeout=5)
    raw.send("LIST pub\r\n")
    assert raw.reply() == ["150 File status OK.  Opening data connection."]
    assert read_all(data).endswith(b" a.txt\r\n")
    assert raw.reply() == ["226 Transfer Complete.  Data connection closed."]


def test_port_refuses_bounces_and_changes_nothing(site):
    srv = site.srv
    srv.add_file(site.pub, "a.txt", b"abc")
    raw = login(srv)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    assert raw.cmd("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)) == ["200 PORT Command successful."]
    for bad in ("10,0,0,1,4,1", "127,0,0,1,0,21", "127,0,0,1,3,255", "1,2,3", "127,0,0,1,4,1,9",
                "127, 0,0,1,4,1"):
        assert raw.cmd("PORT " + bad) == ["500 'PORT %s': Unknown command" % bad]
    raw.send("LIST pub\r\n")
    assert raw.reply() == ["150 File status OK.  Opening data connection."]
    listener.settimeout(10)
    conn, _ = listener.accept()
    assert read_all(conn).endswith(b" a.txt\r\n")
    assert raw.reply() == ["226 Transfer Complete.  Data connection closed."]
    listener.close()


def test_abor_without_transfer(site):
    raw = site.srv.connect_raw()
    raw.reply()
    assert raw.cmd("ABOR") == ["530 Not Logged in."]
    raw = login(site.srv)
    assert raw.cmd("ABOR") == ["226 Data connection closed."]
    assert raw.cmd("NOOP") == ["200 NOOP command successful."]


@pytest.mark.parametrize("passive", [True, False], ids=["passive", "active"])
def test_ftplib_transfers_are_byte_exact(site, passive):
    srv = site.srv
    payload = os.urandom(300 * 1024 + 17)
    f = ftp_login(srv, passive=passive)
    f.storbinary("STOR up/big.bin", io.BytesIO(payload))
    got = io.BytesIO()
    f.retrbinary("RETR up/big.bin", got.write)
    assert got.getvalue() == payload
    # Overwriting replaces the bytes on disk.
    f.storbinary("STOR up/big.bin", io.BytesIO(payload[:1000]))
    got = io.BytesIO()
    f.retrbinary("RETR up/big.bin", got.write)
    assert got.getvalue() == payload[:1000]
    assert f.nlst("up") == ["big.bin"]
    f.quit()
    assert srv.query("select count(*) from files where name='big.bin'") == [(1,)]


@pytest.mark.parametrize("active", [False, True], ids=["passive", "active"])
def test_curl_transfers_are_byte_exact(site, active, tmp_path):
    srv = site.srv
    mode = ["-P", "127.0.0.1"] if active else []
    payload = os.urandom(200 * 1024 + 3)
    src = tmp_path / "src.bin"
    src.write_bytes(payload)
    curl(*mode, "-T", str(src), srv.url("alice", "secret", "/up/curl.bin"))
    assert curl(*mode, srv.url("alice", "secret", "/up/curl.bin")) == payload
    listing = curl(*mode, srv.url("alice", "secret", "/up/"))
    assert re.search(rb"-rw-r--r--   1    alice   system    204803 .{12} curl\.bin\r?\n", listing), listing


def test_file_over_4_gib(site):
    srv = site.srv
    size = 5 * 2**30 + 1234
    tail = os.urandom(4000)
    path = os.path.join(srv.disk("pub"), "huge.bin")
    with open(path, "wb") as fh:
        fh.truncate(size - len(tail))
        fh.seek(size - len(tail))
        fh.write(tail)
    srv.add_file(site.pub, "huge.bin", None, size=size)
    raw = login(srv)
    assert raw_list(raw, "LIST pub/huge.bin").startswith(b"-rw-r--r--   1 anonymou   system %d " % size)
    assert raw.cmd("REST %d" % (size - 1000)) == ["350 Ready to resume file transfer at byte offset %d" % (size - 1000)]
    first, body = raw_retr(raw, "pub/huge.bin")
    assert first == "150 File status OK.  Opening data connection for huge.bin (%d bytes)." % size
    assert body == tail[-1000:]


def test_lftp_mirror_down_and_up(site, tmp_path):
    srv = site.srv
    _, expected = add_tree(srv, site.pub, "tree", srv.disk("pub", "tree"))
    down = tmp_path / "down"
    lftp("open -u anonymous,guest@example.org -p %d 127.0.0.1; mirror /pub/tree %s" % (srv.port, down))
    assert tree_on_disk(str(down)) == expected
    lftp("open -u alice,secret -p %d 127.0.0.1; mirror -R --no-perms %s /up/tree2" % (srv.port, down))
    assert tree_on_disk(os.path.join(srv.disk("alice-up"), "tree2")) == expected
    rows = srv.query("select count(*) from files where parent in (select id from files where parent in "
                     "(select id from files where name='tree2'))")
    assert rows == [(len(expected),)]


def test_data_connection_edges(site):
    srv = site.srv
    size = 64 * 2**20
    path = os.path.join(srv.disk("pub"), "long.bin")
    with open(path, "wb") as fh:
        fh.truncate(size)
    srv.add_file(site.pub, "long.bin", None, size=size)
    raw = login(srv)

    # A listing waits for its passive connection before it answers.
    port = pasv_port(raw)
    raw.send("LIST pub\r\n")
    with pytest.raises(socket.timeout):
        raw.line(timeout=0.5)
    data = socket.create_connection(("127.0.0.1", port), timeout=10)
    assert raw.reply() == ["150 File status OK.  Opening data connection."]
    assert b" long.bin\r\n" in read_all(data)
    assert raw.reply() == ["226 Transfer Complete.  Data connection closed."]

    # A client that hangs up in the middle of a download still gets the 226.
    data = pasv(raw)
    raw.send("RETR pub/long.bin\r\n")
    assert raw.reply()[0].startswith("150 ")
    data.recv(1000)
    data.close()
    assert raw.reply() == ["226 Transfer Complete.  Data connection closed."]

    # ABOR in the middle of an upload: nothing of it stays, on disk or as a row.
    alice = login(srv, "alice", "secret")
    data = pasv(alice)
    alice.send("STOR up/cut.bin\r\n")
    assert alice.reply() == ["150 File status OK.  Opening data connection."]
    data.sendall(b"z" * 5000)
    time.sleep(0.5)
    assert alice.cmd("ABOR") == ["226 Data connection closed."]
    assert read_all(data) == b""
    assert os.listdir(srv.disk("alice-up")) == []
    assert srv.query("select count(*) from files where name='cut.bin'") == [(0,)]
    raw_stor(alice, "up/after.bin", b"fine")
    assert srv.query("select size from files where name='after.bin'") == [(4,)]


def test_long_listing_reaches_a_slow_reader(site):
    srv = site.srv
    big = srv.add_dir(site.pub, "many", srv.disk("pub", "many"))
    d, gid = srv.domain_id(), srv.group_id()
    uid = srv.query("select id from users where login='anonymous'")[0][0]
    for start in range(0, 4000, 500):
        srv.execute('INSERT INTO "files" ("name","parent","path","directory","size","userid","groupid",'
                    '"domain","link","user read","other read") VALUES ' +
                    ",".join("('entry-with-a-rather-long-name-%05d',%d,'',0,%d,%d,%d,%d,0,1,1)"
                             % (i, big, i, uid, gid, d) for i in range(start, start + 500)))
    raw = login(srv)
    data = pasv(raw)
    raw.send("LIST pub/many\r\n")
    assert raw.reply() == ["150 File status OK.  Opening data connection."]
    time.sleep(1.5)  # let the server fill every buffer before anything is read
    lines = read_all(data).split(b"\r\n")
    assert lines[-1] == b"" and len(lines) == 4001
    assert lines[3999].endswith(b" entry-with-a-rather-long-name-03999")
    assert raw.reply() == ["226 Transfer Complete.  Data connection closed."]
