"""Disk synchronisation through the console against the real program, on
every engine: the walk over a real directory tree, its progress window on the
"refresh" event channel, Cancel, and the automatic run on the main timer."""
import os
import time

import pytest

from harness import wait_for

BITS = ('"user read","user write","user execute","group read","group write","group execute",'
        '"other read","other write","other execute"')
COLUMNS = "id, name, path, directory, size, userid, groupid, domain, link, " + BITS


class Site:
    """alice (group staff) owns /pub, a directory row over a real folder."""

    def __init__(self, srv):
        self.srv = srv
        srv.wait_console()
        self.staff = srv.add_group("staff")
        self.alice = srv.add_user("alice", "secret", group=self.staff)
        self.system = srv.add_user("system", "secret")
        self.root = srv.anonymous_root()
        self.pub_path = srv.disk("pub")
        self.pub = srv.add_dir(self.root, "pub", self.pub_path, owner=self.alice, group=self.staff)

    def write(self, relative, data=b"x", mode=None):
        path = os.path.join(self.pub_path, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        if mode is not None:
            os.chmod(path, mode)
        return path

    def rows(self, parent, cols=COLUMNS):
        """name -> the row's columns, for the rows directly under parent."""
        return {r[1]: r for r in self.srv.query("select %s from files where parent=%d" % (cols, parent))}

    def refresh(self, directory, **options):
        """Runs a manual refresh to its end and returns how its window closed."""
        status, body = self.srv.api("POST", "/api/refresh", dict(directory=directory, **options))
        assert status == 200 and body["started"], body
        state = wait_for(lambda: (lambda s: s if not s["running"] else None)(self.state()))
        return state["last"]

    def state(self):
        status, body = self.srv.api("GET", "/api/refresh")
        assert status == 200
        return body


@pytest.fixture
def site(server):
    return Site(server)


def test_new_changed_vanished_and_attribute_mapping(site):
    srv = site.srv
    site.write("new.txt", b"hello")
    site.write("locked.txt", b"ro", mode=0o444)
    site.write(".hidden")
    os.mkfifo(os.path.join(site.pub_path, "pipe"))
    site.write("sub/inner.txt", b"12345678")
    changed = srv.add_file(site.pub, "changed.txt", b"now longer", size=1, description="kept",
                           modified="2001-01-01 00:00:00")
    srv.add_file(site.pub, "gone.txt", None, size=3)
    gone_dir = srv.add_dir(site.pub, "gonedir", os.path.join(site.pub_path, "gonedir"))
    srv.add_file(gone_dir, "below.txt", None, size=7)
    srv.add_dir(site.pub, "mapped", srv.disk("elsewhere"))
    srv.add_dir(site.pub, "deeper", os.path.join(site.pub_path, "x", "deeper"))
    srv.insert("files", name="shortcut", parent=site.pub, path="", directory=1, link=site.root,
               domain=srv.domain_id())
    stream = srv.events("/api/refresh/events")
    stream.next("status")

    last = site.refresh(site.pub)
    assert last["cancelled"] is False and last["directoriesAdded"] is True
    assert last["message"] == "Tree structure changed.  Refreshing."
    rows = site.rows(site.pub)
    assert set(rows) == {"new.txt", "locked.txt", "changed.txt", "sub", "mapped", "deeper", "shortcut"}
    new = rows["new.txt"]
    # Directory owner; permissions from the dialog's switches (rwx rwx r-x by default).
    assert new[2:9] == ("", 0, 5, site.alice, site.staff, srv.domain_id(), 0)
    assert new[9:] == (1, 1, 1, 1, 1, 1, 1, 0, 1)
    assert rows["locked.txt"][9:12] == (1, 0, 1)
    assert rows["sub"][2:5] == (os.path.join(site.pub_path, "sub"), 1, 0)
    assert rows["changed.txt"][0] == changed and rows["changed.txt"][4] == 10
    assert srv.query("select description from files where id=%d" % changed) == [("kept",)]
    assert srv.query("select count(*) from files where parent=%d" % gone_dir) == [(0,)]
    assert "inner.txt" in site.rows(rows["sub"][0])

    # The window: opened, a first line per directory, "Deleting"/"Adding" lines, closed.
    _, opened = stream.next("opened")
    assert opened["directory"] == site.pub and opened["title"] == "Refresh Status"
    assert stream.next("progress") == ("progress", {"first": site.pub_path, "second": ""})
    _, closed = stream.next("closed")
    assert closed["directoriesAdded"] is True and closed["added"] >= 4
    stream.close()

    # Hidden and system entries come in only when asked for; System ownership
    # takes the domain's "system" user and group.
    last = site.refresh(site.pub, hidden=True, system=True, ownership="System", otherWrite=True,
                        userExecute=False)
    assert last["added"] == 2 and last["directoriesAdded"] is False and "message" not in last
    rows = site.rows(site.pub)
    for name in (".hidden", "pipe"):
        assert rows[name][5:7] == (site.system, srv.group_id("system"))
        assert rows[name][9:] == (1, 1, 0, 1, 1, 1, 1, 1, 1)


def test_unchanged_tree_causes_no_write(site):
    srv = site.srv
    for i in range(20):
        site.write("d%d/f%d.txt" % (i % 3, i), b"x" * i)
    first = site.refresh(site.pub)
    assert first["added"] == 23
    before = srv.query("select * from files order by id")
    second = site.refresh(site.pub)
    assert (second["added"], second["updated"], second["deleted"]) == (0, 0, 0)
    assert srv.query("select * from files order by id") == before


def test_case_change_replaces_the_row_and_without_purge_adds_nothing(site):
    srv = site.srv
    site.write("readme.TXT")
    old = srv.add_file(site.pub, "README.txt", None, description="old words")
    last = site.refresh(site.pub, purge=False)
    assert last["added"] == 0 and list(site.rows(site.pub)) == ["README.txt"]
    last = site.refresh(site.pub)
    assert (last["added"], last["deleted"]) == (1, 1)
    rows = site.rows(site.pub)
    assert list(rows) == ["readme.TXT"] and rows["readme.TXT"][0] != old


def test_unreadable_directory_asks_and_keeps_its_rows(site):
    srv = site.srv
    broken = srv.add_dir(site.pub, "broken", os.path.join(site.pub_path, "not-there") + "/")
    srv.add_file(broken, "kept.txt", None)
    site.write("later/new.txt")

    # No console open: the box counts as answered OK and the walk goes on.
    last = site.refresh(site.pub)
    assert "kept.txt" in site.rows(broken)
    assert "new.txt" in site.rows(site.rows(site.pub)["later"][0])
    assert last["cancelled"] is False

    # With a console open the question waits; Cancel ends the walk.
    console = srv.events()
    progress = srv.events("/api/refresh/events")
    console.next("status")
    progress.next("status")
    status, _ = srv.api("POST", "/api/refresh", {"directory": broken})
    assert status == 200
    _, q = progress.next("question")
    pattern = os.path.join(site.pub_path, "not-there") + "/*.*"
    assert q["text"] == "The directory '%s' is invalid." % pattern and q["buttons"] == ["OK", "Cancel"]
    assert site.state()["window"]["question"]["id"] == q["id"]
    assert srv.api("POST", "/api/refresh/answer", {"id": q["id"] + 1, "answer": "OK"})[0] == 404
    assert srv.api("POST", "/api/refresh/answer", {"id": q["id"], "answer": "Maybe"})[0] == 400
    assert srv.api("POST", "/api/refresh/answer", {"id": q["id"], "answer": "Cancel"}) == (200, {"answered": True})
    wait_for(lambda: not site.state()["running"])
    assert "kept.txt" in site.rows(broken)
    console.close()
    progress.close()


def test_cancel_mid_walk_finishes_the_reported_change(site):
    srv = site.srv
    big = srv.disk("pub", "big")
    for i in range(5000):
        open(os.path.join(big, "f%05d" % i), "wb").close()
    big_dir = srv.add_dir(site.pub, "big", big)
    status, _ = srv.api("POST", "/api/refresh", {"directory": big_dir})
    assert status == 200
    wait_for(lambda: srv.query("select count(*) from files where parent=%d" % big_dir)[0][0] >= 20)
    # One synchronisation at a time.
    status, body = srv.api("POST", "/api/refresh", {"directory": site.pub})
    assert status == 409 and body["message"]["text"] == "A directory refresh is already running."
    status, body = srv.api("POST", "/api/refresh/cancel")
    assert status == 200 and body["cancelled"] is True and body["open"] is False
    wait_for(lambda: not site.state()["running"])
    count = srv.query("select count(*) from files where parent=%d" % big_dir)[0][0]
    assert 20 <= count < 5000
    assert site.state()["last"]["added"] == count
    time.sleep(0.3)
    assert srv.query("select count(*) from files where parent=%d" % big_dir)[0][0] == count
    assert srv.api("POST", "/api/refresh/cancel") == (200, {"open": False})

    # Stopping the program mid-walk ends the worker before the data source closes.
    srv.execute("delete from files where parent=%d" % big_dir)
    assert srv.api("POST", "/api/refresh", {"directory": big_dir})[0] == 200
    wait_for(lambda: srv.query("select count(*) from files where parent=%d" % big_dir)[0][0] >= 20)
    srv.stop()


def test_refusals_and_failure_texts(site):
    srv = site.srv
    status, body = srv.api("GET", "/api/refresh/options")
    assert status == 200 and body["subdirectories"] and body["purge"] and body["addNew"]
    assert not body["system"] and not body["hidden"] and body["ownership"] == "Directory Owner"
    assert (body["otherRead"], body["otherWrite"], body["otherExecute"]) == (True, False, True)

    status, body = srv.api("POST", "/api/refresh", {"directory": 999999})
    assert status == 404 and body["message"]["text"] == "Missing database record 999999."
    f = srv.add_file(site.pub, "plain.txt", None)
    for bad in ({"directory": f}, {}, {"directory": "x"}, {"directory": site.pub, "purge": "maybe"},
                {"directory": site.pub, "ownership": "Nobody"}):
        assert srv.api("POST", "/api/refresh", bad)[0] == 400, bad
    assert srv.query("select count(*) from files where parent=%d" % site.pub) == [(1,)]

    # A directory row without a Path ends the walk with its box, shown in the console.
    console = srv.events()
    console.next("status")
    empty = srv.add_dir(site.pub, "nopath", "")
    site.refresh(empty)
    _, notice = console.next("notice", where=lambda d: "Empty" in d["text"])
    assert notice["text"] == "Empty directory path found."
    console.close()


def test_auto_refresh_settings_and_the_timer(site):
    srv = site.srv
    status, body = srv.api("GET", "/api/refresh/auto")
    assert status == 200 and body["RefRate"] == 0 and body["RefOtherWrite"] == 0 and body["nextSynchronisation"] == 0
    status, body = srv.api("PUT", "/api/refresh/auto", {"RefRate": 1441})
    assert status == 422 and body["message"]["text"] == "Please enter an integer between 0 and 1440."
    assert srv.api("PUT", "/api/refresh/auto", {"RefPurge": 2})[0] == 400
    site.write("auto.txt")
    # Files lying directly in a root are never refreshed automatically.
    with open(os.path.join(srv.disk("rootdisk"), "top.txt"), "wb"):
        pass
    srv.execute("update files set path='%s' where id=%d" % (srv.disk("rootdisk"), site.root))

    # RefRate 0: off, whatever time is asked for; a tick passes and nothing runs.
    status, body = srv.api("PUT", "/api/refresh/auto", {"RefRate": 0, "nextSynchronisation": int(time.time()) - 5})
    assert status == 200 and body["nextSynchronisation"] == 0
    time.sleep(5.5)
    assert "auto.txt" not in site.rows(site.pub)

    # A rate of a minute, due now: the next tick runs every first-level directory.
    status, body = srv.api("PUT", "/api/refresh/auto",
                           {"RefRate": 1, "RefNewOwner": 0, "RefOtherWrite": 1,
                            "nextSynchronisation": int(time.time()) - 1})
    assert status == 200 and body["RefRate"] == 1 and body["RefNewOwner"] == 0
    row = wait_for(lambda: site.rows(site.pub).get("auto.txt"), timeout=20)
    assert row[5:7] == (site.system, srv.group_id("system")) and row[16] == 1
    state = wait_for(lambda: (lambda s: s if not s["automaticRunning"] else None)(site.state()), timeout=20)
    assert time.time() + 50 < state["nextSynchronisation"] <= time.time() + 61
    assert "top.txt" not in site.rows(site.root)
    # The dialog's values went to the settings store.
    with open(srv.env["KESTREL_SETTINGS"]) as f:
        text = f.read()
    assert "RefRate=1" in text and "RefNewOwner=0" in text and "RefHidden=0" in text
