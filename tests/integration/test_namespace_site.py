"""MKD, RMD, DELE, RNFR/RNTO and the SITE subcommands against the real server,
on every engine, as ftplib, a byte-exact raw client and rclone see them."""
import ftplib
import os
import subprocess
import time

import pytest

from harness import Server

ALL_RIGHTS = range(1, 12)
LOG_SWITCHES = {"LogDELETE": 1, "LogRENAME": 1, "LogCHMOD": 1, "LogUMSG": 1, "LogKICK": 1}
BITS = ('"user read","user write","user execute","group read","group write","group execute",'
        '"other read","other write","other execute"')


class Tree:
    """alice (group staff, every SITE right) owns /work, a directory with a disk path;
    bob (group plain, no rights) shares her group's access to nothing."""

    def __init__(self, srv):
        self.srv = srv
        self.staff = srv.add_group("staff", rights=ALL_RIGHTS)
        self.plain = srv.add_group("plain")
        self.alice = srv.add_user("alice", "secret", group=self.staff, root_perms="rwxrwxrwx")
        self.bob = srv.add_user("bob", "secret", group=self.plain)
        self.root = self.root_of(self.alice)
        self.work_path = srv.disk("work")
        self.work = srv.add_dir(self.root, "work", self.work_path, owner=self.alice, group=self.staff,
                                perms="rwxrwx---")

    def root_of(self, uid):
        return self.srv.query('select "root directory" from users where id=%d' % uid)[0][0]

    def login(self, user="alice"):
        f = self.srv.ftp()
        f.login(user, "secret")
        return f

    def raw(self, user="alice", password="secret"):
        c = self.srv.connect_raw()
        c.reply()
        c.cmd("USER " + user)
        assert c.cmd("PASS " + password)[-1].startswith("230")
        # The 230 may leave before the login's last steps; NOOP waits for them.
        assert c.cmd("NOOP") == ["200 NOOP command successful."]
        return c

    def row(self, parent, name, cols="*"):
        rows = self.srv.query("select %s from files where parent=%d and name='%s'"
                              % (cols, parent, name.replace("'", "''")))
        return rows[0] if rows else None

    def log(self, action):
        return self.srv.query("select userid, fileid, more from log where actionid=%d order by id" % action)


@pytest.fixture
def tree(engine):
    with Server(engine, settings={"Settings": LOG_SWITCHES}) as srv:
        yield Tree(srv)


def resp(f, command):
    """The whole reply text, whatever its code."""
    try:
        return f.sendcmd(command)
    except ftplib.Error as e:
        return str(e)


def test_mkd_creates_directory_and_row_with_session_ownership(tree):
    f = tree.login()
    assert resp(f, "MKD work/new") == '257 "/work/new/" created.'
    assert resp(f, "XMKD /work/other") == '257 "/work/other/" created.'
    assert os.path.isdir(os.path.join(tree.work_path, "new"))
    row = tree.row(tree.work, "new", 'path, directory, userid, groupid, domain, size, downloads, link, '
                                     'title, description, created, modified, "last read", ' + BITS)
    assert row[:10] == (os.path.join(tree.work_path, "new"), 1, tree.alice, tree.staff,
                        tree.srv.domain_id(), 0, 0, 0, "", "")
    assert all(row[10:13])
    assert row[13:] == (1, 1, 0, 1, 1, 0, 1, 1, 1)
    listing = []
    f.cwd("/work")
    f.dir(listing.append)
    assert any(l.startswith("drw-rw-rwx") and l.endswith(" new") for l in listing), listing
    assert resp(f, "MKD /work/NEW") == "550 Path already exists"
    f.quit()


def test_mkd_reply_is_the_path_pwd_shows(tree):
    """Clients that follow RFC 959 take only 257 as MKD's success; a 250 made
    rclone give up on every nested directory it had in fact created."""
    f = tree.login()
    f.cwd("/work")
    # Relative and absolute, nested, and in the stored spelling of each level.
    assert resp(f, "MKD Music") == '257 "/work/Music/" created.'
    assert resp(f, "MKD music/Live") == '257 "/work/Music/Live/" created.'
    assert resp(f, "XMKD /WORK/MUSIC/live/2024") == '257 "/work/Music/Live/2024/" created.'
    assert f.mkd("/work/music/live/2024/late") == "/work/Music/Live/2024/late/"
    f.cwd("/work/music/live/2024/late")
    assert f.pwd() == "/work/Music/Live/2024/late/"
    assert os.path.isdir(os.path.join(tree.work_path, "Music", "Live", "2024", "late"))

    # Through a link the path keeps the link's name, as PWD does after a CWD into it.
    tree.srv.add_dir(tree.root, "shortcut", "", owner=tree.alice, group=tree.staff, perms="rwxrwxrwx",
                     link=tree.work)
    assert resp(f, "MKD /shortcut/via") == '257 "/shortcut/via/" created.'
    assert tree.row(tree.work, "via") is not None

    # A name made by synchronisation may hold a '"'; both 257 replies double it.
    os.mkdir(os.path.join(tree.work_path, 'say "hi"'))
    tree.srv.wait_console()
    status, body = tree.srv.api("POST", "/api/refresh", {"directory": tree.work})
    assert status == 200 and body["started"], body
    deadline = time.time() + 30
    while tree.srv.api("GET", "/api/refresh")[1]["running"]:
        assert time.time() < deadline, "refresh did not end"
        time.sleep(0.05)
    assert tree.row(tree.work, 'say "hi"') is not None
    c = tree.raw()
    assert c.cmd('MKD /work/say "hi"/inner') == ['257 "/work/say ""hi""/inner/" created.']
    assert c.cmd('CWD /work/say "hi"/inner') == ["250 CWD command successful."]
    assert c.cmd("PWD") == ['257 "/work/say ""hi""/inner/" is the current directory.']
    c.close()
    # ftplib reads the doubled quotes back to the name.
    assert f.mkd('/work/say "hi"/second') == '/work/say "hi"/second/'
    assert os.path.isdir(os.path.join(tree.work_path, 'say "hi"', "second"))
    f.quit()


def test_mkd_refusals(tree):
    f = tree.login()
    # Even with every bit set, nothing is created directly in a root.
    assert resp(f, "MKD /top") == "550 Unable to create directory.  Access denied."
    assert resp(f, "MKD work/a:b") == "553 work/a:b: invalid directory name."
    assert resp(f, "MKD nosuch/..") == "553 nosuch/..: invalid directory name."
    assert resp(f, "MKD nosuch/x") == "550 Unable to create directory.  Invalid path."
    tree.srv.add_file(tree.work, "plain.txt", b"x", owner=tree.alice, group=tree.staff)
    assert resp(f, "MKD work/plain.txt/x") == "550 Unable to create directory.  Invalid path."
    # The row survives only if the disk directory could be made.
    os.mkdir(os.path.join(tree.work_path, "stray"))
    assert resp(f, "MKD work/stray") == "550 Unable to create directory."
    assert tree.row(tree.work, "stray") is None
    f.quit()
    tree.srv.add_dir(tree.root_of(tree.bob), "shared", tree.srv.disk("shared"), owner=tree.alice,
                     group=tree.staff, perms="rwxrwxr-x")
    g = tree.login("bob")
    assert resp(g, "MKD shared/bobs") == "550 Unable to create directory.  Access denied."
    g.quit()


def test_rmd_and_dele(tree):
    srv = tree.srv
    f = tree.login()
    f.mkd("work/full")
    full = tree.row(tree.work, "full", "id")[0]
    srv.add_file(full, "inside.txt", b"data", owner=tree.alice, group=tree.staff)
    assert resp(f, "RMD work/full") == "450 work/full not empty."
    assert resp(f, "RMD work/nosuch") == "550 No such directory."
    assert resp(f, "RMD work/full/inside.txt") == "553 work/full/inside.txt not a directory."
    assert os.path.isdir(os.path.join(tree.work_path, "full")) and tree.row(tree.work, "full")

    # A file whose disk copy is gone keeps its row.
    srv.add_file(tree.work, "gone.txt", None, owner=tree.alice, group=tree.staff)
    assert resp(f, "DELE work/gone.txt") == "450 work/gone.txt not deleted."
    assert tree.row(tree.work, "gone.txt") is not None

    assert resp(f, "DELE work/full/inside.txt") == "250 DELE command successful."
    assert not os.path.exists(os.path.join(tree.work_path, "full", "inside.txt"))
    assert tree.row(full, "inside.txt") is None

    f.mkd("work/empty")
    assert resp(f, "DELE work/empty") == "250 DELE command successful."
    assert tree.row(tree.work, "empty") is None
    assert os.path.isdir(os.path.join(tree.work_path, "empty"))  # DELE leaves the disk alone

    assert resp(f, "XRMD work/full") == "250 RMD command successful."
    assert not os.path.exists(os.path.join(tree.work_path, "full"))
    assert resp(f, "DELE /") == "550 / not deleted.  Access denied."
    assert tree.log(12) == [(tree.alice, 0, os.path.join(tree.work_path, "full", "inside.txt")),
                            (tree.alice, 0, os.path.join(tree.work_path, "empty")),
                            (tree.alice, 0, os.path.join(tree.work_path, "full"))]
    f.quit()


def test_rename_sequence_and_invalid_names(tree):
    srv = tree.srv
    a = srv.add_file(tree.work, "a.txt", b"alpha", owner=tree.alice, group=tree.staff)
    srv.add_file(tree.work, "b.txt", b"bravo", owner=tree.alice, group=tree.staff)
    c = tree.raw()
    assert c.cmd("RNTO x") == ["503 Bad sequence of commands."]
    assert c.cmd("RNFR work/nosuch") == ["550 work/nosuch: File or directory does not exist."]
    assert c.cmd("RNFR work/a.txt") == ["350 File OK.  Waiting destination name."]
    assert c.cmd("RNTO back\\slash") == ["550 Invalid file name."]
    assert c.cmd("RNTO c.txt") == ["503 Bad sequence of commands."]
    for bad in ("..", ".", "sub/name"):
        c.cmd("RNFR work/a.txt")
        assert c.cmd("RNTO " + bad) == ["550 Invalid file name."]

    # Onto a name that exists, in the tree or only on disk: refused, nothing lost.
    with open(os.path.join(tree.work_path, "disk-only.txt"), "wb") as f:
        f.write(b"keep")
    c.cmd("RNFR work/a.txt")
    assert c.cmd("RNTO B.TXT") == ["550 File not renamed."]
    assert c.cmd("RNTO disk-only.txt") == ["550 File not renamed."]
    for name, data in (("a.txt", b"alpha"), ("b.txt", b"bravo"), ("disk-only.txt", b"keep")):
        with open(os.path.join(tree.work_path, name), "rb") as f:
            assert f.read() == data

    assert c.cmd("RNTO c.txt") == ["250 RNTO command successful."]
    assert c.cmd("RNTO d.txt") == ["250 RNTO command successful."]  # the source is kept
    assert sorted(os.listdir(tree.work_path)) == ["b.txt", "d.txt", "disk-only.txt"]
    assert tree.row(tree.work, "d.txt", "id") == (a,)
    assert tree.log(11) == [(tree.alice, a, ""), (tree.alice, a, "")]
    c.close()


def test_directory_rename_moves_paths_below(tree):
    f = tree.login()
    for d in ("work/d1", "work/d1/d2", "work/d1/d2/d3", "work/d1x"):
        f.mkd(d)
    f.sendcmd("RNFR work/d1")
    assert resp(f, "RNTO e1") == "250 RNTO command successful."
    e1 = os.path.join(tree.work_path, "e1")
    assert os.path.isdir(os.path.join(e1, "d2", "d3"))
    assert not os.path.exists(os.path.join(tree.work_path, "d1"))
    e1_id, path = tree.row(tree.work, "e1", "id, path")
    assert path == e1
    d2_id, path = tree.row(e1_id, "d2", "id, path")
    assert path == os.path.join(e1, "d2")
    assert tree.row(d2_id, "d3", "path") == (os.path.join(e1, "d2", "d3"),)
    # A sibling that merely starts with the same letters keeps its path.
    assert tree.row(tree.work, "d1x", "path") == (os.path.join(tree.work_path, "d1x"),)
    f.mkd("work/e1/d2/d3/d4")
    assert os.path.isdir(os.path.join(e1, "d2", "d3", "d4"))
    f.quit()


def test_quotes_and_sql_characters_in_names(tree):
    srv = tree.srv
    odd = "it's 100%; --x"
    f = tree.login()
    assert resp(f, "MKD work/" + odd) == '257 "/work/%s/" created.' % odd
    assert resp(f, "MKD work/" + odd + "/sub") == '257 "/work/%s/sub/" created.' % odd
    f.sendcmd("RNFR work/" + odd)
    assert resp(f, "RNTO q'%_;--") == "250 RNTO command successful."
    moved = os.path.join(tree.work_path, "q'%_;--")
    parent = tree.row(tree.work, "q'%_;--", "id, path")
    assert parent[1] == moved and os.path.isdir(os.path.join(moved, "sub"))
    assert tree.row(parent[0], "sub", "path") == (os.path.join(moved, "sub"),)
    assert resp(f, "MKD work/back\\slash") == "553 work/back\\slash: invalid directory name."
    srv.add_user("o'neil", "secret")
    assert resp(f, "SITE DENY o'neil") == "200 User access updated."
    assert srv.query("select locked from users where login='o''neil'") == [(1,)]
    assert resp(f, "SITE ALLOW o'neil") == "200 User access updated."
    assert srv.query("select locked from users where login='o''neil'") == [(0,)]
    assert resp(f, "SITE DENY x' or '1'='1") == "530 User x' or '1'='1 not found."
    assert resp(f, "SITE DENY a\\';--") == "530 User a\\';-- not found."
    assert srv.query("select count(*) from users where locked=1") == [(0,)]
    assert resp(f, "RMD work/q'%_;--/sub") == "250 RMD command successful."
    assert resp(f, "DELE work/q'%_;--") == "250 DELE command successful."
    f.quit()


def test_site_rights_idle_and_chmod(tree):
    srv = tree.srv
    c = srv.connect_raw()
    c.reply()
    assert c.cmd("SITE idle") == ["200 Current idle time limit is 600 seconds.  Maximum 7200."]
    assert c.cmd("SITE WHO") == ["530 Not Logged in."]
    assert c.cmd("SITE IDLE 60") == ["530 Not Logged in."]
    c.close()

    bob = tree.raw("bob")
    for command in ("SITE WHO", "SITE WHOAMI", "SITE CHMOD 777 /", "SITE KICK 1", "SITE UMSG 1 hi",
                    "SITE MSG hi", "SITE ANON DENY", "SITE DENY alice", "SITE ALLOW alice",
                    "SITE CHGRP plain /", "SITE CHOWN bob /"):
        assert bob.cmd(command) == ["500 Command not available"], command
    assert bob.cmd("SITE IDLE 45") == ["200 Idle time set to 45 seconds."]
    assert bob.cmd("SITE IDLE") == ["200 Current idle time limit is 45 seconds.  Maximum 7200."]
    assert bob.cmd("SITE IDLE 29") == ["501 Idle time must be between 30 and 7200 seconds."]
    assert bob.cmd("SITE IDLE 7200") == ["200 Idle time set to 7200 seconds."]
    assert bob.cmd("SITE IDLE 7201") == ["501 Idle time must be between 30 and 7200 seconds."]
    assert bob.cmd("SITE IDLE x30") == ["500 Unknown command: 'SITE IDLE x30'"]
    assert bob.cmd("SITE ANON") == ["200 Anonymous logins allowed."]
    assert bob.cmd("SITE FOO bar") == ["500 Unknown command: 'SITE FOO bar'"]
    bob.close()

    a = tree.raw()
    f_id = srv.add_file(tree.work, "f.txt", b"", owner=tree.alice, group=tree.staff, perms="---------")
    assert a.cmd("SITE CHMOD 755 work/f.txt") == ["250 File security changed."]
    assert srv.query("select %s from files where id=%d" % (BITS, f_id)) == [(1, 1, 1, 1, 0, 1, 1, 0, 1)]
    assert a.cmd("SITE chmod 75 work/f.txt") == ["500 Invalid file mode.  Must be three octal digits."]
    assert a.cmd("SITE CHMOD 758 work/f.txt") == ["500 Invalid file mode.  Must be three octal digits."]
    assert a.cmd("SITE CHMOD 644") == ["550 No such file or path."]
    assert a.cmd("SITE CHMOD 644 work/nosuch") == ["550 No such file or path."]
    assert tree.log(5) == [(tree.alice, f_id, "")]
    # Upper-case letters are dropped from the name, not folded.
    assert a.cmd("SITE CHGRP Plain work/f.txt") == ["550 No such group."]
    assert a.cmd("SITE CHGRP plain work/f.txt") == ["250 File group changed."]
    assert a.cmd("SITE CHOWN bob work/f.txt") == ["250 File ownership changed."]
    assert srv.query("select userid, groupid from files where id=%d" % f_id) == [(tree.bob, tree.plain)]
    assert a.cmd("SITE ANON DENY") == ["200 Anonymous logins not allowed."]
    assert a.cmd("SITE ANON") == ["200 Anonymous logins not allowed."]
    assert a.cmd("SITE ANON allow") == ["200 Anonymous logins allowed."]
    assert a.cmd("SITE ANON MAYBE") == ["500 Unknown command: 'SITE ANON MAYBE'"]
    a.close()


def test_site_deny_and_allow_lock_only_that_account(tree):
    srv = tree.srv
    a = tree.raw()
    assert a.cmd("SITE DENY bob") == ["200 User access updated."]
    assert srv.query("select login, locked from users where login in ('alice','bob') order by login") == [
        ("alice", 0), ("bob", 1)]
    assert a.cmd("SITE DENY nosuch") == ["530 User nosuch not found."]
    assert a.cmd("SITE ALLOW bob") == ["200 User access updated."]
    assert srv.query("select locked from users where id=%d" % tree.bob) == [(0,)]
    a.close()
    tree.raw("bob").close()


def who_numbers(lines):
    """Session number -> the rest of each listed line."""
    return {int(l[4:9]): l[10:] for l in lines[3:-2]}


def test_who_umsg_kick_across_sessions(tree):
    srv = tree.srv
    alice = tree.raw()
    guest = tree.raw("anonymous", "guest@example.org")
    bob = tree.raw("bob")

    lines = alice.cmd("SITE WHO")
    assert lines[:3] == ["200-Users currently connected:",
                         "    ID    IP                   User Login",
                         "    ----- -------------------- --------------------"]
    assert lines[-2:] == ["    ----- --------------- --------------------",
                          "200 End of user list.  3 users connected."]
    sessions = who_numbers(lines)
    assert len(sessions) == 3
    guest_no = [n for n, rest in sessions.items() if "Anonymous (guest@example.org)" in rest][0]
    bob_no = [n for n, rest in sessions.items() if rest.rstrip().endswith("bob")][0]
    alice_no = [n for n, rest in sessions.items() if rest.rstrip().endswith("alice")][0]
    assert sessions[bob_no] == "%-20s %-20s" % ("", "bob")

    assert alice.cmd("SITE UMSG %d hello 'bob'; 100%%" % bob_no) == ["200 Message sent."]
    assert alice.cmd("SITE UMSG 65000 hello") == ["550 No such session."]
    assert alice.cmd("SITE UMSG %dx hello" % bob_no) == ["500 'UMSG' Syntax error."]
    assert bob.cmd("NOOP") == ["200-NOOP command successful.", "200 hello 'bob'; 100%"]
    assert bob.cmd("NOOP") == ["200 NOOP command successful."]
    assert tree.log(10) == [(tree.alice, tree.bob, "hello 'bob'; 100%")]

    assert alice.cmd("SITE KICK 65000") == ["550 Unable to kick user."]
    assert alice.cmd("SITE KICK %d" % bob_no) == ["200 User kicked."]
    assert bob.closed()
    assert alice.cmd("SITE KICK %d" % guest_no) == ["200 User kicked."]
    assert guest.closed()
    assert alice.cmd("SITE WHO")[-1] == "200 End of user list.  1 users connected."
    # A session that kicks itself still gets its reply.
    assert alice.cmd("SITE KICK %d" % alice_no) == ["200 User kicked."]
    assert alice.closed()
    assert tree.log(8) == [(tree.alice, tree.bob, ""), (tree.alice, srv.query(
        "select id from users where login='anonymous'")[0][0], ""), (tree.alice, tree.alice, "")]


def test_rclone_copies_a_tree_four_levels_deep(tree, tmp_path):
    """The client that met the 250 reply: `rclone copy` into a fresh directory
    creates every level with MKD and then stores each file, without retries."""
    local = tmp_path / "local"
    files = {
        "top.txt": b"top\n",
        "a/one.txt": b"one\n" * 100,
        "a/b/two.bin": bytes(range(256)) * 40,
        "a/b/c/three.txt": b"",
        "a/b/c/d/four.bin": os.urandom(70000),
        "a/b/c/d/it's 100%.txt": b"odd name\n",
    }
    for name, data in files.items():
        path = local / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)

    env = dict(os.environ, RCLONE_CONFIG=str(tmp_path / "rclone.conf"),
               RCLONE_CACHE_DIR=str(tmp_path / "cache"), HOME=str(tmp_path))
    obscured = subprocess.run(["rclone", "obscure", "secret"], env=env, check=True, capture_output=True,
                              text=True).stdout.strip()
    (tmp_path / "rclone.conf").write_text(
        "[kestrel]\ntype = ftp\nhost = 127.0.0.1\nport = %d\nuser = alice\npass = %s\n"
        % (tree.srv.port, obscured))
    # One attempt each: a refused MKD must fail the run, not be hidden by a retry
    # that finds the directory the "failed" attempt made. One transfer at a time:
    # two sessions making the same directory at once race (the loser's 550 may
    # come before the winner's row), which is not what this test is about.
    result = subprocess.run(["rclone", "copy", str(local), "kestrel:/work/dest", "--retries", "1",
                             "--low-level-retries", "1", "--transfers", "1", "--checkers", "1",
                             "--contimeout", "10s", "--timeout", "30s"],
                            env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr

    dest = os.path.join(tree.work_path, "dest")
    on_disk = {}
    for folder, _, names in os.walk(dest):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                on_disk[os.path.relpath(os.path.join(folder, name), dest)] = f.read()
    assert on_disk == files
    # Each level is a row of the tree too, with the file under the deepest one.
    parent = tree.work
    for level in ("dest", "a", "b", "c", "d"):
        parent = tree.row(parent, level, "id")[0]
    assert tree.row(parent, "four.bin", "size") == (70000,)
