"""The four console reports, byte for byte, on every engine.

Each golden file under tests/golden/reports/ holds a report built from the
fixed data set below (fixed ids by insertion order, fixed timestamps). Only
one thing in a report depends on the day it runs: the banner's fourth line,
today's date as "%x". The test checks that line against the local date
before and after the request, then replaces it by "<today>" (keeping its
indent) before comparing bytes; the golden files carry that placeholder.
The File Report's "current year" form is made deterministic by a file
modified on January 1st of the current year at 12:34:56 ("Jan 01 12:34").

Set KESTREL_UPDATE_GOLDEN=1 to rewrite the golden files from a run (then
read the diff line by line before keeping it).
"""
import os
import time
import urllib.parse

import pytest

from harness import assert_golden

OLD = "2020-02-03 04:05:06"
THIS_YEAR = time.strftime("%Y") + "-01-01 12:34:56"


class Site:
    """Two domains. Default: groups staff and plain; alice (staff) owns /work with a
    3 GB file, a name longer than 18 characters and a link to /work; bob (plain) is
    locked with a Name over 40 characters and no address; christopher_long (staff)
    has a Login over 10 characters; anonymous owns /pub. Second: dave. Reports never
    touch the disk, so the Paths are fixed names that no run depends on."""

    def __init__(self, srv):
        self.srv = srv
        ins = srv.insert
        self.d1 = srv.domain_id()
        srv.execute("update home set \"text header\"='Archive header\r\n', \"text footer\"='Archive footer\r\n' "
                    "where id=%d" % self.d1)
        self.staff = srv.add_group("staff")
        self.plain = srv.add_group("plain")
        self.alice = srv.add_user("alice", "pw", group=self.staff, name="Alice Example",
                                  address_1="1 Main Street", address_2="Suite 100", city="Springfield",
                                  state="IL", postal="62701", country="USA", downloads=12, uploads=3,
                                  last_on="2021-03-04 05:06:07")
        self.bob = srv.add_user("bob", "pw", group=self.plain, locked=1,
                                name="Robert Bartholomew Longname-Smithington III")
        self.chris = srv.add_user("christopher_long", "pw", group=self.staff, name="Chris", city="Oslo",
                                  country="Norway", max_users=2, last_on="2019-12-31 23:59:59")
        srv.execute("update users set \"last on\"='2021-01-01 00:00:00' where login='anonymous'")

        self.d2 = ins("home", name="Second", ip="10.9.9.9", motd="", **{"text header": "", "text footer": ""})
        self.g2 = ins("groups", name="system", domain=self.d2, comment="")
        self.dave = srv.add_user("dave", "pw", group=self.g2, domain="Second", name="Dave Other")
        self.empty = ins("home", name="Empty", ip="10.8.8.8", motd="", **{"text header": "", "text footer": ""})

        mine = dict(owner=self.alice, group=self.staff)
        self.aroot = self.root(self.alice)
        self.work = srv.add_dir(self.aroot, "work", "/srv/kestrel/work", perms="rwxr-x---", title="Work Area",
                                modified="2018-07-08 09:10:11", **mine)
        self.readme = srv.add_file(self.work, "readme.txt", None, size=9, title="Read this first",
                                   modified="2019-05-06 07:08:09", downloads=7, **mine)
        self.big = srv.add_file(self.work, "big.iso", None, size=3000000000, modified="2017-01-02 03:04:05",
                                **mine)
        self.long = srv.add_file(self.work, "a_very_long_file_name_indeed.tar.gz", None, size=10,
                                 title="Long names push the date", modified="2016-02-29 23:00:00", **mine)
        self.sub = srv.add_dir(self.work, "sub", "/srv/kestrel/work/sub", title="Below work",
                               modified="2018-07-08 09:10:11", **mine)
        srv.add_file(self.sub, "notes.md", None, size=1, modified="2016-06-06 06:06:06", title="Notes", **mine)
        self.shortcut = srv.add_dir(self.aroot, "shortcut", "", perms="rwxrwxrwx", link=self.work,
                                    modified="2018-07-08 09:10:11", **mine)

        self.anon_root = srv.anonymous_root()
        self.pub = srv.add_dir(self.anon_root, "pub", "/srv/kestrel/pub", title="Public",
                               modified="2014-04-04 04:04:04")
        self.welcome = srv.add_file(self.pub, "welcome.txt", None, size=5, title="Welcome", downloads=123,
                                    modified="2015-10-11 12:13:14")
        srv.add_file(self.pub, "fresh.txt", None, size=4, owner=self.chris, group=self.staff, modified=THIS_YEAR)
        # add_file reads the parent's Path first, and psql gives an empty one as no row at all.
        srv._add_entry(self.anon_root, "motd.txt", "", False, 2, None, None, "rw-r--r--", "Default",
                       {"modified": "2013-03-03 03:03:03"})
        self.droot = self.root(self.dave)
        srv.add_dir(self.droot, "home", "/srv/kestrel/dave", owner=self.dave, group=self.g2, domain="Second",
                    modified="2012-12-12 12:12:12")
        # Roots are made with the time of the run.
        srv.execute("update files set created='%s', modified='%s', \"last read\"='%s' where parent=0"
                    % (OLD, OLD, OLD))

        def log(user, action, ip, when, fileid=0, more=""):
            ins("log", userid=user, ip=ip, fileid=fileid, actionid=action, timestamp=when, more=more,
                otheruserid=0)

        anon = srv.query("select id from users where login='anonymous' and domain=%d" % self.d1)[0][0]
        log(self.alice, 3, "alice-host", "2021-03-04 05:06:07")
        log(self.alice, 1, "", "2021-03-04 05:07:00", self.readme)
        log(self.alice, 2, "", "2021-03-04 05:08:00", self.big)
        log(self.alice, 5, "", "2021-03-04 05:09:00", self.work)
        log(self.alice, 9, "", "2021-03-04 05:10:00", more="Hello, console")
        log(self.alice, 11, "", "2021-03-04 05:11:00", self.long)
        log(self.alice, 12, "", "2021-03-04 05:12:00", more="old.txt")
        log(self.alice, 4, "", "2021-03-04 05:13:00")
        log(anon, 3, "10.0.0.1", "2021-05-01 10:00:00")
        log(anon, 2, "10.0.0.1", "2021-05-01 10:01:00", self.welcome)
        log(anon, 3, "10.0.0.2", "2021-05-01 10:02:00")
        log(anon, 4, "10.0.0.1", "2021-05-01 10:03:00")
        log(self.bob, 3, "b-first", "2021-06-01 08:00:00")
        log(self.bob, 8, "b-second", "2021-06-01 08:01:00", self.chris)
        log(self.dave, 3, "10.9.9.1", "2021-07-01 09:00:00")
        log(self.dave, 10, "", "2021-07-01 09:01:00", self.alice)

    def root(self, uid):
        return self.srv.query('select "root directory" from users where id=%d' % uid)[0][0]


@pytest.fixture
def site(server):
    server.wait_console()
    return Site(server)


def report(srv, kind, name=None, **params):
    """Runs a report into the test's folder; returns (status, bytes, headers, path)."""
    # Short names: the File and Tree Reports take at most 50 characters.
    path = os.path.join(srv.tmp, name or "%s.txt" % kind)
    query = urllib.parse.urlencode(dict(params, output=path))
    before = time.strftime("%x")
    status, data, headers = srv.api("GET", "/api/reports/%s?%s" % (kind, query), raw=True)
    after = time.strftime("%x")
    return status, data, headers, path, (before, after)


def neutralised(data, indent, dates):
    lines = data.split(b"\r\n")
    assert lines[3].decode() in [" " * indent + d for d in dates], lines[:5]
    lines[3] = b" " * indent + b"<today>"
    return b"\r\n".join(lines)


def check_golden(srv, kind, golden, indent=35, **params):
    status, data, headers, path, dates = report(srv, kind, **params)
    assert status == 200, data
    assert headers.get("Content-Disposition", "").endswith('"%s"' % os.path.basename(path))
    with open(path, "rb") as f:
        assert f.read() == data  # the copy on disk is the text returned
    text = neutralised(data, indent, dates)
    assert_golden("reports", golden, text, encoding="latin-1")
    return text


def test_user_report_whole_system_and_one_domain(site):
    check_golden(site.srv, "user", "user-report.txt")
    # Limited to a domain: that domain's summary and no system summary.
    text = check_golden(site.srv, "user", "user-report-second.txt", scope="domain", id=site.d2)
    assert b"System Summary" not in text
    # A domain without users gives the banner alone.
    text = check_golden(site.srv, "user", "user-report-empty.txt", scope="domain", id=site.empty)
    assert text.count(b"\r\n") == 5


def test_file_report_whole_system_and_summaries_of_a_user(site):
    check_golden(site.srv, "file", "file-report.txt")
    check_golden(site.srv, "file", "file-report-alice-summaries.txt", scope="user", id=site.alice, summaries=1)
    # A directory gives the directories directly below it.
    text = check_golden(site.srv, "file", "file-report-work.txt", scope="directory", id=site.work)
    assert b"\r\nsub\r\n  Path: " in text and b"work\r\n" not in text


def test_tree_report_whole_system_and_each_kind_of_selection(site):
    # Directly under a root every row is listed, files too, in name order
    # among the directories and links (todo.txt between shortcut and work);
    # deeper down only directories (work's files stay out).
    site.srv._add_entry(site.aroot, "todo.txt", "", False, 3, site.alice, site.staff, "rw-r--r--", "Default", {})
    check_golden(site.srv, "tree", "tree-report.txt")
    check_golden(site.srv, "tree", "tree-report-default.txt", scope="domain", id=site.d1)
    check_golden(site.srv, "tree", "tree-report-staff.txt", scope="group", id=site.staff)
    check_golden(site.srv, "tree", "tree-report-alice.txt", scope="user", id=site.alice)
    lines = lambda t: t.decode().split("\r\n")[5:]
    for scope, ident, expected in [
        ("domain", site.d2, ["D Second", "  G system", "    U dave (Dave Other)", "      P home", "", ""]),
        ("group", site.plain, ["G plain", "  U bob (Robert Bartholomew Longname-Smithington III)", ""]),
        ("directory", site.work, ["P work", "  P sub", ""]),
    ]:
        status, data, _, _, _ = report(site.srv, "tree", scope=scope, id=ident)
        assert status == 200, data
        assert lines(data) == expected, scope


def test_tree_report_indent_stops_at_54_spaces(site):
    parent, top = site.work, None
    for depth in range(30):
        parent = site.srv.add_dir(parent, "d%02d" % depth, site.srv.disk("deep", *["d"] * (depth + 1)))
        top = top or parent
    status, data, _, _, _ = report(site.srv, "tree", scope="directory", id=top)
    assert status == 200, data
    body = data.decode().split("\r\n")[5:-1]
    assert len(body) == 30
    for depth, line in enumerate(body):
        assert line == " " * min(2 * depth, 54) + "P d%02d" % depth


def test_log_report_whole_system_and_limited(site):
    check_golden(site.srv, "log", "log-report.txt", indent=34)
    # One user: only that user's rows, in id order.
    _, data, _, _, _ = report(site.srv, "log", scope="user", id=site.bob)
    body = data.decode().split("\r\n")
    assert body[5:8] == ["Domain: Default", "=" * 30, ""] and body[8] == "  bob"
    assert sum(1 for l in body if l.startswith("    " + "0")) == 2
    # One domain.
    _, data, _, _, _ = report(site.srv, "log", scope="domain", id=site.d2)
    assert b"Domain: Second" in data and b"alice" not in data and data.count(b"  dave\r\n") == 1
    # A group: its members only.
    _, data, _, _, _ = report(site.srv, "log", scope="group", id=site.plain)
    assert b"  bob\r\n" in data and b"alice" not in data and b"anonymous" not in data


def test_report_refusals(site):
    srv = site.srv
    missing = os.path.join(srv.tmp, "no-such-dir", "r.txt")
    status, body = srv.api("GET", "/api/reports/log?" + urllib.parse.urlencode({"output": missing}))
    assert status == 409 and body["message"]["text"] == "Unable to write report file."
    assert not os.path.exists(missing)
    status, body = srv.api("GET", "/api/reports/user?" + urllib.parse.urlencode({"output": srv.tmp}))  # a directory
    assert body["message"]["text"] == "Unable to write report file."
    for path, error in [
        ("/api/reports/user?scope=user&id=%d" % site.alice, "This report cannot be limited to a user."),
        ("/api/reports/file?scope=group&id=%d" % site.staff, "This report cannot be limited to a group."),
        ("/api/reports/log?scope=directory&id=%d" % site.work, "This report cannot be limited to a directory."),
        ("/api/reports/tree?scope=planet&id=1", 'Unknown scope "planet".'),
        ("/api/reports/tree?scope=domain", "The scope needs the id of the selected entry."),
        ("/api/reports/tree?scope=domain&id=x", "The scope needs the id of the selected entry."),
        ("/api/reports/file?output=" + "f" * 51, "The output file name is longer than 50 characters."),
        ("/api/reports/user?output=" + "u" * 129, "The output file name is longer than 128 characters."),
    ]:
        assert srv.api("GET", path) == (400, {"error": error}), path
    # The Log Report takes a long name; a user that does not exist gives the banner only.
    status, data, _, _, _ = report(srv, "log", name="l" * 200)
    assert status == 200
    status, data, _, _, _ = report(srv, "file", scope="user", id=999999)
    assert status == 200 and data.count(b"\r\n") == 5


def test_report_quotes_and_odd_names_travel_unchanged(site):
    srv = site.srv
    odd = "o'brien;--%\\"
    srv.add_user(odd, "pw", group=site.plain, name="Quote ' Name")
    _, data, _, _, _ = report(srv, "user", name="it's a report.txt")
    assert ("%-10s %-40s Last On: " % (odd, "Quote ' Name")).encode() in data
    assert os.path.exists(os.path.join(srv.tmp, "it's a report.txt"))
    _, data, _, _, _ = report(srv, "tree", scope="group", id=site.plain)
    assert ("  U %s (Quote ' Name)" % odd).encode() in data
