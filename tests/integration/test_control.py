"""The control connection, byte for byte: greeting, command reader, login
refusals, working directory, idle timeout, domain choice and the IP filter,
and two real clients (Python's ftplib and curl).

One server per engine serves the whole module; every test makes its own
accounts and directories and undoes any change to shared rows.
"""
import os
import re
import shutil
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from harness import ENGINES, Server  # noqa: E402

GREETING = (r"^220 Kestrel Version 3\.00,  "
                      r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun) "
                      r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                      r"[ 1-3]\d \d\d:\d\d:\d\d \d{4} ready on %s\.$")
NOT_LOGGED_IN = ["530 Not Logged in."]
NOOP_OK = ["200 NOOP command successful."]


@pytest.fixture(scope="module", params=ENGINES)
def srv(request):
    with Server(request.param) as server:
        yield server


_names = [0]


def unique(prefix):
    _names[0] += 1
    return "%s%d" % (prefix, _names[0])


def greeting(domain="Default", strict=True):
    pattern = GREETING if strict else GREETING.replace("[ 1-3]\\d", "[ 0-3]\\d")
    return re.compile(pattern % re.escape(domain))


def connect(srv, domain="Default", **kw):
    c = srv.connect_raw(**kw)
    first = c.reply()
    # The exact date form is checked once, in TestGreetingAndReader.
    assert greeting(domain, strict=False).match("220 " + first[0][4:]), first
    return c


def login(srv, user, password, **kw):
    c = connect(srv, **kw)
    assert c.cmd("USER " + user) == ["331 Password required for %s." % user]
    assert c.cmd("PASS " + password) == ["230 User '%s' logged in" % user]
    return c


def anonymous(srv, **kw):
    c = connect(srv, **kw)
    assert c.cmd("USER anonymous") == ["331 Guest login OK.  Send your complete e-mail address as password."]
    assert c.cmd("PASS guest@example.org") == ["230 Anonymous login ok.  Access restrictions apply."]
    return c


def account(srv, name, password, on_disk=False, **cols):
    """A named user with a root open to its owner; returns (user id, root id)."""
    uid = srv.add_user(name, password, root_perms="rwxr-xr-x", **cols)
    root = srv.query('select "root directory" from users where id=%d' % uid)[0][0]
    if on_disk:
        srv.execute("update files set path='%s' where id=%d" % (srv.disk(name), root))
    return uid, root


def quiet(c, wait=0.5):
    """Nothing arrives within `wait` seconds (the connection stays open)."""
    assert not c.closed(timeout=wait)
    assert c.buf == b"", c.buf


def sql_text(srv, text):
    """A SQL expression for a text holding CR LF line ends, for either engine."""
    fn = "char" if srv.engine == "sqlite" else "chr"
    return "||".join("'%s'" % part.replace("'", "''") if part != "\r\n" else "%s(13)||%s(10)" % (fn, fn)
                     for part in re.split(r"(\r\n)", text) if part)


# --- greeting and command reader ---------------------------------------------

class TestGreetingAndReader:
    def test_greeting_form(self, srv):
        c = srv.connect_raw()
        assert greeting().match(c.line())
        assert c.cmd("QUIT") == ["221 Goodbye."]
        assert c.closed()

    def test_motd_makes_a_multiline_greeting(self, srv):
        srv.execute("update home set motd=%s where name='Default'" % sql_text(srv, "Welcome aboard\r\nSecond line"))
        try:
            c = srv.connect_raw()
            lines = c.reply()
        finally:
            srv.execute("update home set motd='' where name='Default'")
        assert len(lines) == 3, lines
        assert greeting(strict=False).match("220 " + lines[0][4:]) and lines[0][3] == "-"
        assert lines[1:] == ["220-Welcome aboard", "220 Second line"]

    def test_case_and_trailing_space(self, srv):
        c = connect(srv)
        assert c.cmd("noop") == NOOP_OK
        assert c.cmd("NoOp") == NOOP_OK
        assert c.cmd("NOOP ") == ["500 'NOOP ': Unknown command"]
        assert c.cmd("CWD") == ["500 'CWD': Unknown command"]
        assert c.cmd("USER") == ["500 'USER': Unknown command"]
        assert c.cmd("ACCT") == ["502 ACCT not implemented."]
        assert c.cmd("SYST") == NOT_LOGGED_IN
        assert c.cmd("PWD") == NOT_LOGGED_IN
        assert c.cmd("CWD /") == NOT_LOGGED_IN
        assert c.cmd("CDUP") == NOT_LOGGED_IN

    def test_lf_alone_does_not_end_a_line(self, srv):
        c = connect(srv)
        c.send("NOOP\n")
        quiet(c)
        c.send("\r")
        assert c.reply() == NOOP_OK
        # The LF is dropped, so the halves on either side of it join.
        assert c.cmd("NO\nOP") == NOOP_OK
        # Control characters and bytes above 127 are dropped too.
        assert c.cmd("N\tO\x01O\x80P") == NOOP_OK

    def test_line_length_limit(self, srv):
        c = connect(srv)
        assert c.cmd("A" * 255) == ["500 '%s': Unknown command" % ("A" * 255)]
        assert c.cmd("A" * 256) == ["500 Buffer overflow"]
        assert c.cmd("N" * 1000) == ["500 Buffer overflow"]
        # The overflow is forgotten with its line.
        assert c.cmd("NOOP") == NOOP_OK

    def test_several_lines_in_one_send_answered_in_order(self, srv):
        c = connect(srv)
        c.send("NOOP\r\nBOGUS\r\nNOOP\r\n")
        assert [c.reply(), c.reply(), c.reply()] == [NOOP_OK, ["500 'BOGUS': Unknown command"], NOOP_OK]

    def test_telnet_interrupt_before_abor(self, srv):
        c = connect(srv)
        c.send(b"\xff\xf4\xff\xf2ABOR\r\n")
        assert c.reply() == NOT_LOGGED_IN
        c.close()
        c = anonymous(srv)
        c.send(b"\xff\xf4\xff\xf2ABOR\r\n")
        assert c.reply() == ["226 Data connection closed."]

    def test_telnet_sequence_split_across_receives(self, srv):
        c = connect(srv)
        c.send(b"NO\xff\xfb")
        time.sleep(0.2)
        c.send(b"\x01OP\r\n")
        assert c.reply() == NOOP_OK
        c.send(b"NO\xff")
        time.sleep(0.2)
        c.send(b"\xfd\x03OP\r\n")
        assert c.reply() == NOOP_OK
        # Subnegotiation bytes vanish, printable ones included.
        assert c.cmd("NO\xff\xfaxyz\xff\xf0OP") == NOOP_OK
        # IAC IAC is a two-byte sequence: both bytes go.
        assert c.cmd("NO\xff\xffOP") == NOOP_OK


# --- login -------------------------------------------------------------------

class TestLogin:
    def test_pass_before_user(self, srv):
        c = connect(srv)
        assert c.cmd("PASS x") == ["503 Bad sequence.  Do 'USER' first."]

    def test_wrong_password_clears_the_user_name(self, srv):
        name = unique("wrong")
        srv.add_user(name, "secret")
        c = connect(srv)
        assert c.cmd("USER " + name) == ["331 Password required for %s." % name]
        assert c.cmd("PASS nope") == ["530 Incorrect login"]
        assert c.cmd("PASS secret") == ["503 Bad sequence.  Do 'USER' first."]
        assert c.cmd("USER nobody-here") == ["331 Password required for nobody-here."]
        assert c.cmd("PASS secret") == ["530 Incorrect login"]

    def test_password_case_and_length(self, srv):
        name = unique("case")
        srv.add_user(name, "secret")
        c = connect(srv)
        assert c.cmd("USER " + name) and c.cmd("PASS SeCrEt") == ["230 User '%s' logged in" % name]
        # A stored password with capitals can never match.
        caps = unique("caps")
        srv.add_user(caps, "Secret")
        c = connect(srv)
        c.cmd("USER " + caps)
        assert c.cmd("PASS Secret") == ["530 Incorrect login"]
        # 19 characters can match; 20 are refused even when they match.
        n19, n20 = unique("len"), unique("len")
        srv.add_user(n19, "a" * 19)
        srv.add_user(n20, "a" * 20)
        c = connect(srv)
        c.cmd("USER " + n19)
        assert c.cmd("PASS " + "a" * 19) == ["230 User '%s' logged in" % n19]
        c = connect(srv)
        c.cmd("USER " + n20)
        assert c.cmd("PASS " + "a" * 20) == ["530 Incorrect login"]
        # An empty stored password never logs in.
        empty = unique("empty")
        srv.add_user(empty, "")
        c = connect(srv)
        c.cmd("USER " + empty)
        assert c.cmd("PASS ") == ["530 Incorrect login"]

    def test_quote_in_user_name(self, srv):
        c = connect(srv)
        assert c.cmd("USER o'brien") == ["331 Password required for o'brien."]
        assert c.cmd("PASS x") == ["530 Incorrect login"]
        assert c.cmd("NOOP") == NOOP_OK

    def test_locked_accounts(self, srv):
        name = unique("locked")
        srv.add_user(name, "pw", locked=1)
        c = connect(srv)
        c.cmd("USER " + name)
        assert c.cmd("PASS pw") == ["530 Account locked. Cannot login."]
        srv.execute("update users set locked=1 where login='anonymous'")
        try:
            c = connect(srv)
            assert c.cmd("USER anonymous")[0].startswith("331 Guest login OK.")
            assert c.cmd("PASS a@b") == ["530 Anonymous logins not permitted"]
            # The anonymous user name survives a refusal.
            assert c.cmd("PASS a@b") == ["530 Anonymous logins not permitted"]
        finally:
            srv.execute("update users set locked=0 where login='anonymous'")

    def test_capital_anonymous_is_a_named_login(self, srv):
        c = connect(srv)
        assert c.cmd("USER Anonymous") == ["331 Password required for Anonymous."]
        assert c.cmd("PASS a@b") == ["530 Incorrect login"]

    def test_max_users(self, srv):
        name = unique("max")
        srv.add_user(name, "pw", max_users=2)
        first = login(srv, name, "pw")
        second = login(srv, name, "pw")
        third = connect(srv)
        third.cmd("USER " + name)
        assert third.cmd("PASS pw") == ["530 Too many users for this account or class."]
        assert first.cmd("QUIT") == ["221 Goodbye."]
        assert first.closed()
        # The count is given back when the session ends on the server's thread.
        deadline = time.time() + 5
        while True:
            third.cmd("USER " + name)
            r = third.cmd("PASS pw")
            if r == ["230 User '%s' logged in" % name] or time.time() > deadline:
                break
            time.sleep(0.1)
        assert r == ["230 User '%s' logged in" % name]
        assert second.cmd("NOOP") == NOOP_OK

    def test_max_users_zero_refuses(self, srv):
        name = unique("zero")
        srv.add_user(name, "pw", max_users=0)
        c = connect(srv)
        c.cmd("USER " + name)
        assert c.cmd("PASS pw") == ["530 Too many users for this account or class."]

    def test_after_login(self, srv):
        name = unique("after")
        srv.add_user(name, "pw")
        c = login(srv, name, "pw")
        assert c.cmd("USER other") == ["530 User 'other' access denied."]
        assert c.cmd("PASS pw") == ["503 Already logged in."]
        assert c.cmd("SYST") == ["215 UNIX Type: L8"]
        assert c.cmd("PWD") == ['257 "/" is the current directory.']

    def test_login_message(self, srv):
        name = unique("msg")
        srv.add_user(name, "pw", message="Read the rules")
        c = connect(srv)
        c.cmd("USER " + name)
        assert c.cmd("PASS pw") == ["230-Read the rules", "230 User '%s' logged in" % name]


# --- working directory -----------------------------------------------------

class TestWorkingDirectory:
    def test_cwd_through_a_link(self, srv):
        name = unique("link")
        uid, root = account(srv, name, "pw", on_disk=True)
        target = srv.add_dir(root, "target", srv.disk(name, "target"), owner=uid)
        srv.add_dir(target, "inner", srv.disk(name, "target", "inner"), owner=uid)
        srv.add_dir(root, "shortcut", "", owner=uid, link=target)
        c = login(srv, name, "pw")
        assert c.cmd("CWD shortcut") == ["250 CWD command successful."]
        assert c.cmd("PWD") == ['257 "/shortcut/" is the current directory.']
        # The link leads into the target: its children are reachable.
        assert c.cmd("CWD inner") == ["250 CWD command successful."]
        assert c.cmd("XPWD") == ['257 "/shortcut/inner/" is the current directory.']
        assert c.cmd("CDUP") == ["250 CDUP command successful."]
        assert c.cmd("PWD") == ['257 "/shortcut/" is the current directory.']
        assert c.cmd("CWD /target/inner") == ["250 CWD command successful."]
        assert c.cmd("PWD") == ['257 "/target/inner/" is the current directory.']

    def test_description_once_and_cdup(self, srv):
        name = unique("desc")
        uid, root = account(srv, name, "pw")
        docs = srv.add_dir(root, "docs", "", owner=uid, description="All about docs")
        srv.add_dir(docs, "deep", "", owner=uid)
        c = login(srv, name, "pw")
        assert c.cmd("CDUP") == ["250 CDUP command successful."]
        assert c.cmd("PWD") == ['257 "/" is the current directory.']
        assert c.cmd("CWD docs") == ["250-All about docs", "250 CWD command successful."]
        assert c.cmd("CWD deep") == ["250 CWD command successful."]
        assert c.cmd("XCUP") == ["250 CDUP command successful."]
        assert c.cmd("CWD ..") == ["250 CDUP command successful."]
        assert c.cmd("CWD docs/") == ["250 CWD command successful."]
        assert c.cmd("CWD .") == ["250 CWD command successful."]
        assert c.cmd("CWD /") == ["250 CWD command successful."]
        assert c.cmd("PWD") == ['257 "/" is the current directory.']
        # A fresh session has its own seen list.
        c2 = login(srv, name, "pw")
        assert c2.cmd("XCWD /docs/deep") == ["250 CWD command successful."]
        assert c2.cmd("CDUP") == ["250-All about docs", "250 CDUP command successful."]

    def test_cwd_refusals(self, srv):
        name = unique("refuse")
        uid, root = account(srv, name, "pw")
        srv.add_dir(root, "closed", "", owner=uid, perms="rw-rw-rw-")
        srv.add_dir(root, "open", "", owner=uid)
        c = login(srv, name, "pw")
        assert c.cmd("CWD nowhere") == ["550 nowhere: No such directory"]
        assert c.cmd("CWD /nowhere/") == ["550 nowhere/: No such directory"]
        assert c.cmd("CWD open/../open") == ["550 open/../open: No such directory"]
        assert c.cmd("CWD closed") == ["550 closed:  Access denied."]
        assert c.cmd("CWD /closed") == ["550 closed:  Access denied."]
        assert c.cmd("PWD") == ['257 "/" is the current directory.']
        assert c.cmd("CWD open") == ["250 CWD command successful."]
        assert c.cmd("CWD it's") == ["550 it's: No such directory"]
        assert c.cmd("PWD") == ['257 "/open/" is the current directory.']


# --- idle timeout (slow: sqlite only) ----------------------------------------

def test_idle_timeout_closes_with_421():
    with Server("sqlite", settings={"Settings": {"Timeout": 1}}) as srv:
        c = connect(srv)
        # The check runs on a 5-second tick.
        assert c.reply(timeout=15) == ["421 Timeout (1 seconds): closing connection."]
        assert c.closed()


# --- domains and the IP filter -----------------------------------------------

class TestAdmission:
    def test_domain_chosen_by_local_address(self, srv):
        if not srv.query("select id from home where name='second'"):
            srv.insert("home", ip="127.0.0.2", name="second", motd="")
            srv.add_group("system", domain="second")
            srv.add_user("anonymous", "", domain="second", root_perms="rwxr-xr-x", max_users=5)
        first = srv.connect_raw(host="127.0.0.1")
        assert greeting(strict=False).match(first.line())
        second = srv.connect_raw(host="127.0.0.2")
        assert greeting("second", strict=False).match(second.line())
        # Accounts belong to their domain.
        name = unique("dom")
        srv.add_user(name, "pw")
        second.cmd("USER " + name)
        assert second.cmd("PASS pw") == ["530 Incorrect login"]
        assert second.cmd("USER anonymous")[0].startswith("331 ")
        assert second.cmd("PASS a@b") == ["230 Anonymous login ok.  Access restrictions apply."]

    def test_block_rows_in_sequence_order(self, srv):
        d = srv.domain_id()
        # Table order is the reverse of sequence order: sequence must win.
        srv.insert("block", domain=d, sequence=20, allow=0, ip1_lo=127, ip1_hi=127, ip2_lo=0, ip2_hi=0,
                   ip3_lo=0, ip3_hi=0, ip4_lo=5, ip4_hi=9)
        srv.insert("block", domain=d, sequence=10, allow=1, ip1_lo=127, ip1_hi=127, ip2_lo=0, ip2_hi=0,
                   ip3_lo=0, ip3_hi=0, ip4_lo=6, ip4_hi=6)
        try:
            for source, admitted in [("127.0.0.5", False), ("127.0.0.6", True), ("127.0.0.9", False),
                                     ("127.0.0.10", True), ("127.0.0.1", True)]:
                c = srv.connect_raw(source=source)
                if admitted:
                    assert greeting(strict=False).match(c.line()), source
                else:
                    assert c.closed(timeout=5) and c.buf == b"", source
                c.close()
        finally:
            srv.execute("delete from block")
        c = srv.connect_raw(source="127.0.0.5")
        assert c.line().startswith("220 ")


# --- real clients --------------------------------------------------------------

class TestClients:
    def _tree(self, srv):
        name = unique("client")
        uid, root = account(srv, name, "pw", on_disk=True)
        pub = srv.add_dir(root, "pub", srv.disk(name, "pub"), owner=uid)
        srv.add_file(pub, "readme.txt", b"hello\r\n", owner=uid)
        return name

    def test_ftplib(self, srv):
        name = self._tree(srv)
        f = srv.ftp()
        assert f.getwelcome().startswith("220 Kestrel Version 3.00,  ")
        assert f.login(name, "pw").startswith("230 ")
        assert f.cwd("pub") == "250 CWD command successful."
        assert f.pwd() == "/pub/"
        assert f.quit() == "221 Goodbye."
        f = srv.ftp()
        assert f.login().startswith("230 ")
        assert f.pwd() == "/"
        f.quit()

    @pytest.mark.skipif(shutil.which("curl") is None, reason="curl not installed")
    def test_curl(self, srv):
        name = self._tree(srv)
        r = subprocess.run(["curl", "-s", "-v", "--max-time", "20", "--list-only",
                            srv.url(name, "pw", "/pub/")], capture_output=True, text=True)
        assert "< 230 User '%s' logged in" % name in r.stderr, r.stderr
        assert "> CWD pub" in r.stderr and "< 250 CWD command successful." in r.stderr, r.stderr
        assert r.returncode == 0, r.stderr
        assert r.stdout.split() == ["readme.txt"], r.stdout
