"""Names beyond ASCII and the extensions today's clients ask for: UTF-8
names end to end, FEAT, OPTS, EPSV, EPRT, MLSD and MLST."""
import ftplib
import io
import os
import re
import socket

import pytest

from harness import Server


class Site:
    """alice (password secret) owns /up, mapped to a folder of its own."""

    def __init__(self, srv):
        self.srv = srv
        self.alice = srv.add_user("alice", "secret")
        self.root = srv.query('select "root directory" from users where id=%d' % self.alice)[0][0]
        self.up_disk = srv.disk("up")
        self.up = srv.add_dir(self.root, "up", self.up_disk, owner=self.alice)

    def ftp(self):
        f = self.srv.ftp()
        f.encoding = "utf-8"
        f.login("alice", "secret")
        f.cwd("/up")
        return f

    def raw(self):
        c = self.srv.connect_raw()
        c.reply()
        assert c.cmd("USER alice")[0].startswith("331")
        assert c.cmd("PASS secret")[-1].startswith("230")
        return c


@pytest.fixture
def site(server):
    return Site(server)


NAME = "café.txt"


# --- UTF-8 names --------------------------------------------------------------

def test_utf8_name_travels_end_to_end(site):
    # The reader used to drop every byte of 128 and above: a listed file with
    # such a name could never be downloaded, renamed or deleted.
    f = site.ftp()
    assert f.sendcmd("OPTS UTF8 ON").startswith("200")
    f.storbinary("STOR " + NAME, io.BytesIO(b"bytes of caf\xc3\xa9"))
    assert os.listdir(site.up_disk) == [NAME]
    assert f.nlst() == [NAME]
    lines = []
    f.retrlines("LIST", lines.append)
    assert len(lines) == 1 and lines[0].endswith(" " + NAME)
    facts = list(f.mlsd())
    assert [name for name, _ in facts] == [NAME]
    got = io.BytesIO()
    f.retrbinary("RETR " + NAME, got.write)
    assert got.getvalue() == b"bytes of caf\xc3\xa9"
    f.rename(NAME, "naïve €.txt")
    assert f.nlst() == ["naïve €.txt"]
    assert os.listdir(site.up_disk) == ["naïve €.txt"]
    f.delete("naïve €.txt")
    assert f.nlst() == [] and os.listdir(site.up_disk) == []
    f.quit()


def test_invalid_utf8_bytes_are_still_dropped(site):
    open(os.path.join(site.up_disk, "cafe.txt"), "wb").write(b"plain")
    site.srv.add_file(site.up, "cafe.txt", content=None, size=5, owner=site.alice)
    c = site.raw()
    c.cmd("CWD /up")
    # A Latin-1 é (0xE9) is no UTF-8: dropped, the rest of the name stays.
    c.send(b"MLST caf\xe9e.txt\r\n")
    r = c.reply()
    assert r[0] == "250-Listing /up/cafe.txt", r
    # A sequence cut short by ASCII and an overlong '/' vanish too.
    c.send(b"MLST c\xc3af\xc0\xafe.txt\r\n")
    assert c.reply()[0] == "250-Listing /up/cafe.txt"
    c.close()


def test_line_limit_counts_bytes_not_characters(site):
    c = site.raw()
    # 4 + 250 + 1 = 255 bytes: the longest line still read as a command.
    c.send(("CWD " + "é" * 125 + "x").encode() + b"\r\n")
    assert c.reply() != ["500 Buffer overflow"]
    # 254 bytes and then a two-byte letter: it does not fit whole.
    c.send(("CWD " + "é" * 125 + "é").encode() + b"\r\n")
    assert c.reply() == ["500 Buffer overflow"]
    assert c.cmd("NOOP") == ["200 NOOP command successful."]
    c.close()


# --- FEAT and OPTS ------------------------------------------------------------

def test_feat_lists_what_is_offered_without_tls(server):
    c = server.connect_raw()
    c.reply()
    # Before login too: clients ask first.
    assert c.cmd("FEAT") == ["211-Features:", " UTF8", " EPSV", " EPRT",
                             " MLST type*;size*;modify*;perm*;unique*;", " REST STREAM", "211 End"]
    assert c.cmd("OPTS MLST type;size;") == ["200 MLST OPTS type;size;"]
    assert c.cmd("FEAT")[4] == " MLST type*;size*;modify;perm;unique;"
    assert c.cmd("OPTS UTF8 OFF")[0].startswith("501")
    assert c.cmd("OPTS NOTHING") == ["501 Option not understood."]
    # Without a certificate, the security commands stay as unknown as ever.
    assert c.cmd("AUTH TLS") == ["500 'AUTH TLS': Unknown command"]
    assert c.cmd("auth ssl") == ["500 'auth ssl': Unknown command"]
    assert c.cmd("PBSZ 0") == ["500 'PBSZ 0': Unknown command"]
    assert c.cmd("PROT P") == ["500 'PROT P': Unknown command"]
    assert c.cmd("CCC") == ["500 'CCC': Unknown command"]
    c.close()


def test_help_keeps_its_table_and_knows_the_new_commands(server):
    c = server.connect_raw()
    c.reply()
    lines = c.cmd("HELP")
    assert "MLSD" not in " ".join(lines) and "EPSV" not in " ".join(lines)
    assert c.cmd("HELP EPSV") == ["214 Syntax: EPSV [ <sp> 1 | ALL ]   (extended passive mode)"]
    assert c.cmd("HELP mlsd")[0].startswith("214 Syntax: MLSD")
    # What stays unimplemented stays so, exactly.
    for command in ("SIZE", "MDTM", "APPE", "REIN", "STOU"):
        assert c.cmd(command) == ["502 %s not implemented." % command]
    c.close()


# --- EPSV and EPRT ------------------------------------------------------------

def test_epsv_and_eprt_carry_transfers(site):
    open(os.path.join(site.up_disk, "a.bin"), "wb").write(b"x" * 5000)
    site.srv.add_file(site.up, "a.bin", content=None, size=5000, owner=site.alice)
    f = site.ftp()
    f.af = socket.AF_INET6  # ftplib asks for EPSV only when it thinks so
    got = io.BytesIO()
    f.retrbinary("RETR a.bin", got.write)
    assert got.getvalue() == b"x" * 5000
    f.af = socket.AF_INET
    listener = socket.create_server(("127.0.0.1", 0))
    assert f.sendcmd("EPRT |1|127.0.0.1|%d|" % listener.getsockname()[1]) == "200 EPRT command successful."
    f.putcmd("RETR a.bin")
    assert f.getresp().startswith("150")
    conn, _ = listener.accept()
    data = b""
    while chunk := conn.recv(65536):
        data += chunk
    assert data == b"x" * 5000
    assert f.voidresp().startswith("226")
    conn.close()
    listener.close()
    f.quit()


def test_eprt_refuses_other_hosts_low_ports_and_junk(site):
    c = site.raw()
    assert c.cmd("EPRT |1|127.0.0.2|50000|")[0].startswith("504")
    assert c.cmd("EPRT |1|127.0.0.1|21|")[0].startswith("504")
    assert c.cmd("EPRT |2|::1|50000|") == ["522 Network protocol not supported, use (1)"]
    assert c.cmd("EPRT |1|127.0.0.1|")[0].startswith("501")
    assert c.cmd("EPRT |1|127.0.0.1|50000|") == ["200 EPRT command successful."]
    assert c.cmd("EPSV 2") == ["522 Network protocol not supported, use (1)"]
    assert c.cmd("EPSV x")[0].startswith("501")
    c.close()


def test_epsv_port_takes_only_the_client(site):
    c = site.raw()
    r = c.cmd("EPSV")[0]
    port = int(re.fullmatch(r"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)", r).group(1))
    # Another address is turned away; the client itself still gets through.
    stranger = socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.2", 0), timeout=5)
    stranger.settimeout(2)
    c.send("NLST\r\n")
    data = socket.create_connection(("127.0.0.1", port), timeout=5)
    assert c.reply()[0].startswith("150")
    while data.recv(4096):
        pass
    assert c.reply() == ["226 Transfer Complete.  Data connection closed."]
    stranger.close()
    data.close()
    c.close()


def test_epsv_all_refuses_the_other_data_commands(site):
    c = site.raw()
    assert c.cmd("EPSV ALL") == ["200 EPSV ALL ok."]
    for command in ("PASV", "PORT 127,0,0,1,200,1", "EPRT |1|127.0.0.1|50000|"):
        assert c.cmd(command)[0].startswith("503 EPSV ALL"), command
    assert c.cmd("EPSV")[0].startswith("229")
    c.close()


# --- MLSD and MLST ------------------------------------------------------------

def test_mlsd_and_mlst_facts_follow_the_rows(site):
    srv = site.srv
    open(os.path.join(site.up_disk, "mine.txt"), "wb").write(b"12345")
    mine = srv.add_file(site.up, "mine.txt", content=None, size=5, owner=site.alice, perms="rw-------")
    other = srv.add_file(site.up, "theirs.txt", content=None, size=3000000000, perms="r--r--r--")
    sub = srv.add_dir(site.up, "sub", site.srv.disk("up", "sub"), owner=site.alice, perms="rwx------")
    srv.execute("update files set modified='2020-02-03 04:05:06' where id=%d" % mine)
    f = site.ftp()
    entries = dict(f.mlsd())
    assert entries["mine.txt"]["type"] == "file" and entries["mine.txt"]["size"] == "5"
    assert entries["mine.txt"]["perm"] == "rwdf"
    assert entries["mine.txt"]["unique"] == str(mine)
    # Local time in the rows, UTC on the wire.
    import time
    local = time.mktime(time.strptime("2020-02-03 04:05:06", "%Y-%m-%d %H:%M:%S"))
    assert entries["mine.txt"]["modify"] == time.strftime("%Y%m%d%H%M%S", time.gmtime(local))
    assert entries["theirs.txt"]["size"] == "3000000000" and entries["theirs.txt"]["perm"] == "r"
    assert entries["sub"]["type"] == "dir" and entries["sub"]["perm"] == "cmeldf"
    assert entries["sub"]["unique"] == str(sub) and entries["theirs.txt"]["unique"] == str(other)
    c = site.raw()
    r = c.cmd("MLST /up/mine.txt")
    assert r[0] == "250-Listing /up/mine.txt" and r[-1] == "250 End"
    assert r[1].startswith(" type=file;size=5;") and r[1].endswith("; /up/mine.txt")
    assert c.cmd("MLST /up/none.txt") == ["550 No such file or directory."]
    assert c.cmd("MLSD /up/mine.txt") == ["501 Not a directory."]
    assert c.cmd("MLSD /nowhere") == ["550 No such directory."]
    c.close()
    f.quit()


def test_a_busy_data_channel_turns_listings_and_transfers_away_first(site):
    # The check is the command table's: MLSD answers like LIST, before it
    # looks at its path, and the running upload is not disturbed.
    c = site.raw()
    assert c.cmd("CWD /up")[0].startswith("250")
    r = c.cmd("EPSV")[0]
    port = int(re.fullmatch(r"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)", r).group(1))
    c.send("STOR held.txt\r\n")
    data = socket.create_connection(("127.0.0.1", port), timeout=5)
    assert c.reply()[0].startswith("150")
    data.sendall(b"first half ")
    busy = ["125 Data connection already open.  Transfer starting."]
    for command in ("MLSD", "MLSD /nowhere", "LIST", "NLST /nowhere", "RETR held.txt", "STOR other.txt"):
        assert c.cmd(command) == busy, command
    # MLST needs no data connection and still answers.
    assert c.cmd("MLST /nowhere") == ["550 No such file or directory."]
    data.sendall(b"second half")
    data.close()
    assert c.reply() == ["226 Transfer Complete.  Data connection closed."]
    assert open(os.path.join(site.up_disk, "held.txt"), "rb").read() == b"first half second half"
    assert os.listdir(site.up_disk) == ["held.txt"]
    c.close()


def test_mlst_and_mlsd_need_login(server):
    c = server.connect_raw()
    c.reply()
    assert c.cmd("MLST") == ["530 Not Logged in."]
    assert c.cmd("MLSD") == ["530 Not Logged in."]
    c.close()
