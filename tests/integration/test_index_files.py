"""Build Indexes and Add Descriptions on real directories, on every engine.

The index files are compared byte for byte with tests/golden/index/. Their
fourth line is the time of the run ("** Last updated: " and the long date,
time and zone): the test checks that it carries today's long date, then
replaces the rest of the line by "<now>" before comparing; the golden files
carry that placeholder. Set KESTREL_UPDATE_GOLDEN=1 to rewrite them.
"""
import os
import time

import pytest

from harness import assert_golden

STAMP = b"** Last updated: "


def text_of(srv, row, column):
    """A text column with CR and LF made visible (psql output is line based)."""
    # The leading '>' keeps an empty value from reading as no row at all.
    sql = "select '>' || replace(replace(%s, '\r', '<CR>'), '\n', '<LF>') from files where id=%d" % (column, row)
    value = str(srv.query(sql)[0][0])[1:]
    return value.replace("<CR>", "\r").replace("<LF>", "\n")


class IndexSite:
    """ida's /files: three files (one with a blank Title, one with a long name), the
    directories inner (with a file), ghost (its Path does not exist) and nopath (empty
    Path, with the directory under below it), and the link jump. The domain's footer
    has no line end."""

    def __init__(self, srv):
        self.srv = srv
        srv.execute("update home set \"text header\"='Header line one\r\nHeader line two\r\n', "
                    "\"text footer\"='Footer without line end' where name='Default'")
        self.ida = srv.add_user("ida", "pw")
        root = srv.query('select "root directory" from users where id=%d' % self.ida)[0][0]
        own = dict(owner=self.ida)
        self.files_path = srv.disk("files")
        self.files = srv.add_dir(root, "files", self.files_path, title="All the files", **own)
        srv.add_file(self.files, "zeta.txt", b"z", title="Last by name", modified="2019-01-02 03:04:05", **own)
        self.alpha = srv.add_file(self.files, "Alpha.doc", b"a", title="", modified="2018-03-04 05:06:07", **own)
        srv.add_file(self.files, "a_name_longer_than_18.txt", b"l", title="Pushes right",
                     modified="2017-11-12 13:14:15", **own)
        self.inner_path = srv.disk("files", "inner")
        self.inner = srv.add_dir(self.files, "inner", self.inner_path, title="Inner dir",
                                 modified="2016-01-01 00:00:01", **own)
        srv.add_file(self.inner, "deep.bin", b"d", title="Deep", modified="2015-05-05 05:05:05", **own)
        self.ghost_path = os.path.join(srv.tmp, "missing", "ghost")
        srv.add_dir(self.files, "ghost", self.ghost_path, title="Gone", modified="2016-01-01 00:00:02", **own)
        nopath = srv.add_dir(self.files, "nopath", "", title="", modified="2016-01-01 00:00:03", **own)
        self.under_path = srv.disk("under")
        srv.add_dir(nopath, "under", self.under_path, title="Below a directory without Path", **own)
        self.jump = srv.add_dir(self.files, "jump", "", link=self.inner, title="Link",
                                modified="2016-01-01 00:00:04", **own)


@pytest.fixture
def site(server):
    server.wait_console()
    return IndexSite(server)


def check_index(path, golden, dates):
    with open(path, "rb") as f:
        data = f.read()
    lines = data.split(b"\r\n")
    assert any(lines[3].startswith(STAMP + d.encode()) for d in dates), lines[3]
    lines[3] = STAMP + b"<now>"
    assert_golden("index", golden, b"\r\n".join(lines))


def build(srv, row, **options):
    before = time.strftime("%A, %B %d, %Y")
    status, body = srv.api("POST", "/api/tree/directories/%d/index" % row, options)
    return status, body, (before, time.strftime("%A, %B %d, %Y"))


def test_index_files_byte_for_byte_with_subdirectories(site):
    srv = site.srv
    status, body, dates = build(srv, site.files)
    assert status == 200, body
    files_index = os.path.join(site.files_path, "index.txt")
    inner_index = os.path.join(site.inner_path, "index.txt")
    under_index = os.path.join(site.under_path, "index.txt")
    # The link and the row without a Path are passed over (not what is below them); the
    # missing Path is skipped quietly.
    assert body == {"written": [files_index, inner_index, under_index],
                    "failed": [os.path.join(site.ghost_path, "index.txt")]}
    check_index(files_index, "files-index.txt", dates)
    check_index(inner_index, "inner-index.txt", dates)
    with open(under_index, "rb") as f:
        assert b"**     Found in: /files/nopath/under\r\n" in f.read()
    assert not os.path.exists(site.ghost_path)


def test_index_skip_blank_without_subdirectories_replaces_the_old_file(site):
    srv = site.srv
    with open(os.path.join(site.files_path, "index.txt"), "wb") as f:
        f.write(b"an old index that is much longer than the new one will be" * 100)
    status, body, dates = build(srv, site.files, subdirectories=False, skipBlank=True)
    assert status == 200 and body["written"] == [os.path.join(site.files_path, "index.txt")], body
    check_index(os.path.join(site.files_path, "index.txt"), "files-index-skip-blank.txt", dates)
    assert not os.path.exists(os.path.join(site.inner_path, "index.txt"))


def test_index_and_description_refusals(site):
    srv = site.srv
    select = {"message": {"text": "Please select a directory.", "buttons": ["OK"], "icon": "stop"}}
    for row in (site.alpha, site.jump, 999999, 0):
        assert srv.api("POST", "/api/tree/directories/%d/index" % row, {}) == (409, select)
        assert srv.api("POST", "/api/tree/directories/%d/descriptions" % row, {"txt": True}) == (409, select)
    assert srv.api("POST", "/api/tree/directories/99999999999999999999999/index", {}) == (409, select)
    nothing = {"message": {"text": "You need to select something to search.", "buttons": ["OK"], "icon": "stop"}}
    assert srv.api("POST", "/api/tree/directories/%d/descriptions" % site.files, {}) == (409, nothing)
    assert srv.api("POST", "/api/tree/directories/%d/descriptions" % site.files,
                   {"txt": False, "doc": False, "descriptIon": False, "firstLine": False}) == (409, nothing)
    assert not os.path.exists(os.path.join(site.files_path, "index.txt"))


# ---------------------------------------------------------------- descriptions

DESCRIPT_ION = (b"data.csv.bak backup copy\r\n"
                b"data.csv real one\r\n"
                b"README.TXT  Read me first\r\n"
                b"tab.bin Tabbed\there\r\n"
                b"long.bin " + b"x" * 200 + b"\r\n"
                b"high.bin caf\xe9 bar\r\n"
                b"both.bin From descript.ion\r\n"
                b"short\r\n"
                b"short.bin never reached\r\n")

DISK = {
    "archive.tar.txt": b"  \r\n\tArchive notes\r\nsecond line\r\n",
    "archive.tar.doc": b"DOC version",
    "archive.txt": b"not this one: the base ends at the last dot",
    "report.doc": b"Report from doc\nmore",
    "readme.txt": b"readme body",
    "notes.txt": b"Notes first line\r\nrest",
    "both.txt": b"First of both\r\nsecond",
    "nul.txt": b"abc\x00def",
    "big.txt": b"y" * 300,
    "latin.txt": b"caf\xe9 cr\xe8me",
    "blank.txt": b"   \r\n  ",
    "plain.txt": b"Plain text",
    "descript.ion": DESCRIPT_ION,
}
ROWS = ["archive.tar.gz", "report.pdf", "readme.txt", "data.csv", "tab.bin", "long.bin", "high.bin",
        "notes", "both.bin", "nul.dat", "big.dat", "latin.dat", "blank.dat", "plain", "nodesc.bin", "short"]


@pytest.fixture
def desc(server):
    server.wait_console()
    srv = server
    path = srv.disk("desc")
    for name, data in DISK.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)
    root = srv.anonymous_root()
    d = srv.add_dir(root, "desc", path)
    rows = {name: srv.add_file(d, name, None, title="Kept" if name == "notes" else "") for name in ROWS}
    sub_path = srv.disk("desc", "sub")
    with open(os.path.join(sub_path, "inside.txt"), "wb") as f:
        f.write(b"Inside text")
    with open(os.path.join(sub_path, "descript.ion"), "wb") as f:
        f.write(b"inside.txt Inside title\n")
    sub = srv.add_dir(d, "sub", sub_path)
    rows["inside.txt"] = srv.add_file(sub, "inside.txt", None)
    rows["lnk"] = srv.add_dir(d, "lnk", "", link=sub)
    return srv, d, rows


def describe(srv, d, **options):
    status, body = srv.api("POST", "/api/tree/directories/%d/descriptions" % d, options)
    assert status == 200, body
    return body


def columns(srv, rows, column):
    return {name: text_of(srv, row, column) for name, row in rows.items()}


def test_descriptions_sources_and_their_precedence(desc):
    srv, d, rows = desc
    body = describe(srv, d, txt=True, doc=True, descriptIon=True, subdirectories=True)
    assert body["directories"] == 2 and body["reloadList"] is True
    descriptions = columns(srv, rows, "description")
    assert descriptions == {
        "archive.tar.gz": "Archive notes\r\nsecond line\r\n",  # .txt before .doc, white space skipped
        "report.pdf": "Report from doc\nmore",                  # .doc when no .txt
        "readme.txt": "readme body",
        "data.csv": "", "tab.bin": "", "long.bin": "", "high.bin": "",
        "notes": "Notes first line\r\nrest",
        "both.bin": "First of both\r\nsecond",
        "nul.dat": "abc",                                       # up to the first NUL
        "big.dat": "y" * 255,                                   # at most 255 bytes
        "latin.dat": "caf\u00e9 cr\u00e8me",                    # single-byte text kept readable
        "blank.dat": "", "plain": "Plain text", "nodesc.bin": "", "short": "",
        "inside.txt": "Inside text", "lnk": "",
    }
    titles = columns(srv, rows, "title")
    assert titles == {
        "archive.tar.gz": "", "report.pdf": "", "readme.txt": " Read me first",  # one separator skipped
        "data.csv": "bak backup copy",                          # the first line that begins with the name wins
        "tab.bin": "Tabbed", "long.bin": "x" * 127, "high.bin": "caf",
        "notes": "Kept", "both.bin": "From descript.ion", "nul.dat": "", "big.dat": "", "latin.dat": "",
        "blank.dat": "", "plain": "", "nodesc.bin": "", "short": "",
        "inside.txt": "Inside title", "lnk": "",
    }

    # Blank only: what is filled stays, even when the source changes.
    with open(os.path.join(srv.disk("desc"), "plain.txt"), "wb") as f:
        f.write(b"Changed")
    describe(srv, d, txt=True, descriptIon=True, firstLine=True)
    assert text_of(srv, rows["plain"], "description") == "Plain text"
    assert text_of(srv, rows["notes"], "title") == "Kept"      # a Title is kept under blank only
    assert text_of(srv, rows["plain"], "title") == "Plain text"  # an empty one gets the first line

    # Not blank only: first line of the description, ending at CR or LF.
    describe(srv, d, blankOnly=False, firstLine=True)
    titles = columns(srv, rows, "title")
    assert titles["archive.tar.gz"] == "Archive notes"
    assert titles["report.pdf"] == "Report from doc"
    assert titles["notes"] == "Notes first line"
    assert titles["data.csv"] == "bak backup copy"              # no description: nothing to take
    assert titles["inside.txt"] == "Inside title"               # subdirectories were not asked for

    # descript.ion and first line together: the first line is taken last and wins.
    srv.execute("update files set title='' where id=%d" % rows["both.bin"])
    describe(srv, d, descriptIon=True, firstLine=True)
    assert text_of(srv, rows["both.bin"], "title") == "First of both"

    # Not blank only, .doc alone: the .doc replaces the description.
    describe(srv, d, blankOnly=False, doc=True)
    assert text_of(srv, rows["archive.tar.gz"], "description") == "DOC version"
    assert text_of(srv, rows["plain"], "description") == "Plain text"  # no .doc: left alone
