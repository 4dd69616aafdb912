"""The Directories window over the console API: tree nodes, new entries, move
and link, tree deletion, the file list, the file sheet and the directory
picker, on every engine, with an FTP client checking what sessions see."""
import ftplib
import os
import re

import pytest

from harness import Server


class Site:
    """alice (group staff) owns her root and /pub (a disk directory) with
    /pub/music below it; bob (group plain) owns his own root."""

    def __init__(self, srv):
        self.srv = srv
        srv.wait_console()
        self.staff = srv.add_group("staff")
        self.plain = srv.add_group("plain")
        self.alice = srv.add_user("alice", "secret", group=self.staff, root_perms="rwxrwxrwx")
        self.bob = srv.add_user("bob", "secret", group=self.plain)
        self.root = self.root_of(self.alice)
        self.pub_path = srv.disk("pub")
        self.pub = self.add_dir(self.root, "pub", self.pub_path)
        self.music_path = srv.disk("pub", "music")
        self.music = self.add_dir(self.pub, "music", self.music_path)

    def root_of(self, uid):
        return self.srv.query('select "root directory" from users where id=%d' % uid)[0][0]

    def add_dir(self, parent, name, path):
        return self.srv.add_dir(parent, name, path, owner=self.alice, group=self.staff, perms="rwxrwxrwx")

    def add_file(self, parent, name, content=b"x", **cols):
        cols.setdefault("owner", self.alice)
        cols.setdefault("group", self.staff)
        return self.srv.add_file(parent, name, content, **cols)

    def row(self, id, cols="name, parent, link, path"):
        rows = self.srv.query("select %s from files where id=%d" % (cols, id))
        return rows[0] if rows else None

    def child(self, parent, name):
        rows = self.srv.query("select id from files where parent=%d and name='%s'" % (parent, name.replace("'", "''")))
        return rows[0][0] if rows else None

    def api(self, method, path, body=None, answers=None):
        return self.srv.api(method, path, body, answers=answers)

    def ftp(self):
        f = self.srv.ftp()
        f.login("alice", "secret")
        return f


@pytest.fixture
def site(server):
    return Site(server)


def refusal(reply):
    status, body = reply
    assert status in (409, 422, 404), reply
    return body["message"]["text"]


def asked(reply):
    status, body = reply
    assert status == 409 and "question" in body, reply
    return body["question"]


def labels(reply):
    assert reply[0] == 200, reply
    return [n["label"] for n in reply[1]["nodes"]]


def test_children_of_every_node_kind(site):
    srv = site.srv
    domains = site.api("GET", "/api/tree/children")
    assert "Default" in labels(domains)
    d = srv.domain_id()
    assert {"system", "staff", "plain"} <= set(labels(site.api("GET", "/api/tree/children?node=domain:%d" % d)))
    users = site.api("GET", "/api/tree/children?node=group:%d" % site.staff)[1]["nodes"]
    assert [(u["label"], u["kind"], u["image"], u["rootDirectory"]) for u in users] == [("alice", 2, 9, site.root)]
    # A user shows the subdirectories of its root, not the root itself.
    assert labels(site.api("GET", "/api/tree/children?node=user:%d" % site.alice)) == ["pub"]
    site.add_file(site.pub, "file.txt")
    link = srv.insert("files", name="tunes", parent=site.root, directory=1, link=site.pub, path="",
                      userid=site.alice, groupid=site.staff, domain=d)
    nodes = site.api("GET", "/api/tree/children?node=user:%d" % site.alice)[1]["nodes"]
    assert [(n["label"], n["type"], n["image"]) for n in nodes] == [("pub", "directory", 1), ("tunes", "link", 11)]
    assert nodes[1]["target"] == site.pub
    # A link's children and files are its target's.
    assert labels(site.api("GET", "/api/tree/children?node=link:%d" % link)) == ["music"]
    assert labels(site.api("GET", "/api/tree/children?node=3:%d" % site.pub)) == ["music"]
    listed = site.api("GET", "/api/files?node=link:%d" % link)[1]
    assert (listed["directory"], [i["name"] for i in listed["items"]]) == (site.pub, ["file.txt"])
    assert site.api("GET", "/api/files?node=user:%d" % site.alice)[1]["items"] == []
    assert site.api("GET", "/api/files?directory=0")[1]["items"] == []
    assert site.api("GET", "/api/tree/children?node=folder:1")[0] == 400
    assert site.api("GET", "/api/tree/children?node=directory:x")[0] == 400


def test_new_entry_checks_and_path_creation(site):
    srv = site.srv
    assert refusal(site.api("POST", "/api/tree/directories", {"parent": "group:%d" % site.staff})) == \
        "Select a directory or user to attach to."
    draft = site.api("GET", "/api/tree/directories/new?parent=directory:%d" % site.pub)[1]
    assert (draft["general"]["name"], draft["general"]["path"]) == ("New", os.path.join(site.pub_path, "New"))
    add = lambda body, answers=None: site.api("POST", "/api/tree/directories",
                                              dict(body, parent="directory:%d" % site.pub), answers)
    assert refusal(add({"name": ""})) == "File name cannot be blank."
    for bad in ("a/b", "..", "c:d", "x|y"):
        assert refusal(add({"name": bad})) == "Invalid file name"
    assert refusal(add({"name": "MUSIC"})) == "Entry already exists."
    assert refusal(add({"name": "again", "path": site.music_path + "/"})) == \
        "Directory already in use in the database."
    assert refusal(add({"name": "rel", "path": "relative/dir"})) == "The path must be absolute."
    with open(os.path.join(site.pub_path, "plain"), "w") as f:
        f.write("x")
    assert refusal(add({"name": "plain", "path": os.path.join(site.pub_path, "plain")})) == \
        "The path does not refer to a directory."

    # A missing path is created only after the operator agrees; Cancel adds nothing.
    deep = os.path.join(srv.tmp, "elsewhere", "a", "b")
    name = "it's %; --"
    q = asked(add({"name": name, "path": deep}))
    assert (q["text"], q["buttons"]) == ("Path does not exist.  Create?", ["OK", "Cancel"])
    assert add({"name": name, "path": deep}, ["Cancel"]) == (200, {"added": False})
    assert not os.path.exists(os.path.join(srv.tmp, "elsewhere")) and site.child(site.pub, name) is None
    status, body = add({"name": name, "path": deep + "/./x/..", "title": "T" * 150}, ["OK"])
    assert status == 200 and body["node"]["label"] == name, body
    assert os.path.isdir(deep)
    assert site.row(body["id"], "name, path, directory, link, title") == (name, deep, 1, 0, "T" * 100)
    assert refusal(add({"name": "under-file", "path": os.path.join(site.pub_path, "plain", "sub")}, ["OK"])) == \
        "Unable to create path."

    # The default path follows the name; the new row copies its parent's owner and bits.
    status, body = add({"name": "fresh"}, ["OK"])
    assert status == 200, body
    assert os.path.isdir(os.path.join(site.pub_path, "fresh"))
    assert site.row(body["id"], 'path, userid, groupid, "other write"') == \
        (os.path.join(site.pub_path, "fresh"), site.alice, site.staff, 1)
    # Under a root without a Path, the new directory gets none rather than one at "/".
    status, body = site.api("POST", "/api/tree/directories", {"parent": "user:%d" % site.bob, "name": "top"})
    assert status == 200 and site.row(body["id"], "path, parent") == ("", site.root_of(site.bob)), body

    f = site.ftp()
    f.cwd("/pub")
    assert {"fresh", name, "music"} <= set(f.nlst())
    f.quit()


def test_drop_move_and_link(site):
    srv = site.srv
    inner = site.add_dir(site.music, "inner", srv.disk("pub", "music", "inner"))
    other = site.add_dir(site.root, "other", srv.disk("other"))
    drop = lambda s, t, answers=None: site.api("POST", "/api/tree/drop", {"source": s, "target": t}, answers)
    assert drop("directory:%d" % site.music, "directory:%d" % site.music) == (200, {"changed": False})
    q = asked(drop("directory:%d" % site.music, "directory:%d" % other))
    assert (q["text"], q["buttons"]) == ("Create a link?", ["Yes", "No", "Cancel"])
    assert drop("directory:%d" % site.music, "directory:%d" % other, ["Cancel"]) == (200, {"changed": False})

    # Yes: a link row named like the source, with no Path.
    status, body = drop("directory:%d" % site.music, "directory:%d" % other, ["Yes"])
    assert status == 200 and body["node"]["type"] == "link", body
    assert site.row(body["id"]) == ("music", other, site.music, "")
    # A link to a link names the real target.
    status, body = site.api("POST", "/api/tree/link", {"source": "link:%d" % body["id"], "target": "user:%d" % site.alice})
    assert status == 200 and site.row(body["id"]) == ("music", site.root, site.music, ""), body
    assert refusal(site.api("POST", "/api/tree/link", {"source": "directory:%d" % site.music,
                                                      "target": "directory:%d" % other})) == "Entry already exists."

    # A directory never moves below itself or its own subdirectories.
    for target in (site.music, inner):
        assert refusal(drop("directory:%d" % site.pub, "directory:%d" % target, ["No"])) == \
            "A directory cannot be moved below itself or one of its subdirectories."
    assert site.row(site.pub)[1] == site.root
    assert refusal(site.api("POST", "/api/tree/move", {"source": "directory:%d" % site.root,
                                                      "target": "directory:%d" % other})) == \
        "A root directory cannot be moved."
    assert refusal(site.api("POST", "/api/tree/move", {"source": "directory:%d" % inner,
                                                      "target": "group:%d" % site.staff})) == \
        "Select a directory or user to attach to."

    # No moves; onto the parent it already has, it stays.
    assert drop("directory:%d" % inner, "directory:%d" % site.music, ["No"])[0] == 200
    status, body = drop("directory:%d" % inner, "directory:%d" % other, ["No"])
    assert status == 200 and body["changed"] and site.row(inner)[1] == other, body
    status, body = site.api("POST", "/api/tree/move", {"source": "directory:%d" % inner, "target": "user:%d" % site.alice})
    assert status == 200 and site.row(inner)[1] == site.root
    f = site.ftp()
    f.cwd("/inner")
    f.cwd("/music")  # through the link
    assert "inner" not in f.nlst()
    f.quit()

    # Users move between groups of their own domain only.
    assert drop("user:%d" % site.bob, "group:%d" % site.staff)[0] == 200
    assert srv.query('select "group" from users where id=%d' % site.bob) == [(site.staff,)]
    srv.execute("insert into home (name, ip) values ('Other', '10.9.9.9')")
    far = srv.insert("groups", name="far", domain=srv.domain_id("Other"), comment="")
    assert refusal(drop("user:%d" % site.bob, "group:%d" % far)) == "Users may not be moved between domains."
    assert srv.query('select "group" from users where id=%d' % site.bob) == [(site.staff,)]


def test_delete_tree_with_links_and_physical_files(site):
    srv = site.srv
    inner_path = srv.disk("pub", "music", "inner")
    inner = site.add_dir(site.music, "inner", inner_path)
    song = site.add_file(inner, "song.mp3", b"la")
    site.add_file(site.music, "list.txt", b"1")
    other = site.add_dir(site.root, "other", srv.disk("other"))
    outside = srv.insert("files", name="shortcut", parent=other, directory=1, link=inner, path="",
                         userid=site.bob, groupid=site.staff, domain=srv.domain_id())
    delete = lambda id, answers=None, physical=False: site.api(
        "DELETE", "/api/tree/directories/%d" % id, {"deletePhysical": physical}, answers)

    q = asked(delete(site.music))
    assert (q["title"], q["text"], q["note"], q["check"]["label"], q["buttons"]) == \
        ("Deleting", "Deleting directory or directories", "Are you really sure?", "&Delete physical files",
         ["OK", "Cancel"])
    assert delete(site.music, ["Cancel"]) == (200, {"deleted": False})
    q = asked(delete(site.music, ["OK"]))
    assert q["text"] == ("The following directory or directories are in use in the directory selected for "
                         "deletion.  Delete the links?")
    assert q["rows"] == [{"name": "inner", "path": inner_path, "login": "bob"}]
    assert delete(site.music, ["OK", "No"]) == (200, {"deleted": False})
    assert site.row(site.music) and site.row(song) and site.row(outside)

    # Without physical files: every row goes, links into the tree too; the disk stays.
    status, body = delete(site.music, ["OK", "Yes"])
    assert status == 200 and body["deleted"], body
    assert set(body["removed"]) == {site.music, inner, outside}
    assert srv.query("select id from files where id in (%d, %d, %d, %d)" % (site.music, inner, song, outside)) == []
    assert srv.query("select count(*) from files where parent in (%d, %d)" % (site.music, inner)) == [(0,)]
    assert os.path.isfile(os.path.join(inner_path, "song.mp3"))

    # With physical files: files and emptied directories go from the disk, deepest first.
    keep_path = srv.disk("pub", "keep")
    keep = site.add_dir(site.pub, "keep", keep_path)
    deep_path = srv.disk("pub", "keep", "deep")
    deep = site.add_dir(keep, "deep", deep_path)
    site.add_file(deep, "a.bin", b"a")
    site.add_file(keep, "b.bin", b"b")
    with open(os.path.join(keep_path, "untracked"), "w") as f:
        f.write("not in the tree")
    f = site.ftp()
    f.cwd("/pub")
    assert "keep" in f.nlst()
    status, body = delete(keep, ["OK"], physical=True)
    assert status == 200 and body["deleted"], body
    assert not os.path.exists(deep_path)
    assert sorted(os.listdir(keep_path)) == ["untracked"]  # a directory holding other files stays
    assert "keep" not in f.nlst()
    f.quit()

    assert refusal(delete(site.root, ["OK"])) == "Cannot delete the root directory of the domain."
    assert site.row(site.root)
    file_id = site.add_file(site.pub, "f.txt")
    assert refusal(delete(file_id, ["OK"])) == "Can't delete that."
    assert refusal(site.api("DELETE", "/api/tree/node?node=", {})) == "Can't delete that."


def test_delete_link_node(site):
    link = site.srv.insert("files", name="ln", parent=site.root, directory=1, link=site.pub, path="",
                           userid=site.alice, groupid=site.staff, domain=site.srv.domain_id())
    q = asked(site.api("DELETE", "/api/tree/node?node=link:%d" % link))
    assert (q["text"], q["buttons"]) == ("Really delete the link?", ["OK", "Cancel"])
    assert site.api("DELETE", "/api/tree/links/%d" % link, answers=["Cancel"]) == (200, {"deleted": False})
    assert site.api("DELETE", "/api/tree/links/%d" % link, answers=["OK"])[1]["deleted"]
    assert site.row(link) is None and site.row(site.pub) is not None
    assert refusal(site.api("DELETE", "/api/tree/links/%d" % site.pub, answers=["OK"])) == "Can't delete that."


def test_file_list_columns_and_sort_orders(site):
    srv = site.srv
    zed = srv.add_user("zed", "x", group=site.plain)
    rows = [  # name, size, modified, owner, group, title
        ("b.txt", 300, "2024-01-03 10:00:00", site.alice, site.staff, "beta"),
        ("A.txt", 100, "2024-01-01 10:00:00", zed, site.plain, "Zulu"),
        ("c.txt", 200, "2024-01-02 10:00:00", site.alice, site.plain, ""),
        ("d.txt", 200, "2024-01-04 10:00:00", zed, site.staff, "beta"),
    ]
    for name, size, when, owner, group, title in rows:
        site.add_file(site.pub, name, b"", size=size, owner=owner, group=group, modified=when, title=title,
                      perms="rw-rw-rwx")
    order = lambda sort, reverse=0: [i["name"] for i in site.api(
        "GET", "/api/files?directory=%d&sort=%s&reverse=%d" % (site.pub, sort, reverse))[1]["items"]]
    assert order("name") == ["A.txt", "b.txt", "c.txt", "d.txt"]
    assert order("name", 1) == ["d.txt", "c.txt", "b.txt", "A.txt"]
    assert order("size") == ["A.txt", "c.txt", "d.txt", "b.txt"]
    assert order("size", 1)[0] == "b.txt"
    assert order("date") == ["A.txt", "c.txt", "b.txt", "d.txt"]
    assert order("group") == ["A.txt", "c.txt", "b.txt", "d.txt"]    # plain, staff; then name
    assert order("owner") == ["c.txt", "b.txt", "A.txt", "d.txt"]    # alice, zed; then group, name
    assert order("comment") == ["c.txt", "b.txt", "d.txt", "A.txt"]  # "", beta, beta, Zulu
    assert site.api("GET", "/api/files?directory=%d&sort=flags" % site.pub)[0] == 400

    body = site.api("GET", "/api/files?directory=%d" % site.pub)[1]
    assert body["columns"] == ["Name", "Size", "Date", "Flags U/G/O", "Group", "Owner", "Comment"]
    first = body["items"][0]
    assert (first["sizeText"], first["flags"], first["group"], first["owner"], first["comment"]) == \
        ("100", "rw/rw/rw", "plain", "zed", "Zulu")
    assert re.fullmatch(r"01/01/(20)?24 10:00:00( AM)?", first["date"]), first["date"]
    assert site.api("GET", "/api/files?directory=999999")[0] == 404


def test_set_user_group_and_three_state_security(site):
    srv = site.srv
    a = site.add_file(site.pub, "a.txt", perms="rw-r-----")
    b = site.add_file(site.pub, "b.txt", perms="r--rw-r-x")
    elsewhere = site.add_file(site.music, "c.txt", perms="---------")
    bits = lambda id: site.row(id, '"user read","user write","user execute","group read","group write",'
                                   '"group execute","other read","other write","other execute"')
    post = lambda what, body: site.api("POST", "/api/files/" + what, dict(body, directory=site.pub))

    access = {"user": {"read": None, "write": False, "execute": True},
              "group": {"write": True},
              "other": {"read": False, "write": None}}
    assert post("set-security", {"ids": [a, b], "access": access})[0] == 200
    assert bits(a) == (1, 0, 1, 1, 1, 0, 0, 0, 0)
    assert bits(b) == (1, 0, 1, 1, 1, 0, 0, 0, 1)
    # A file of another directory is refused and nothing changes.
    assert post("set-security", {"ids": [a, elsewhere], "access": {"other": {"write": True}}})[0] == 404
    assert bits(a)[7] == 0 and bits(elsewhere) == (0,) * 9
    assert post("set-security", {"ids": [a], "access": {"user": {"read": "yes"}}})[0] == 400

    assert post("set-user", {"ids": [a, b], "userId": site.bob})[0] == 200
    assert post("set-group", {"ids": [b], "groupId": site.plain})[0] == 200
    assert site.row(a, "userid, groupid") == (site.bob, site.staff)
    assert site.row(b, "userid, groupid") == (site.bob, site.plain)
    srv.execute("insert into home (name, ip) values ('Other', '10.9.9.9')")
    far = srv.insert("groups", name="far", domain=srv.domain_id("Other"), comment="")
    assert refusal(post("set-group", {"ids": [a], "groupId": far})) == "No such group in this domain."
    assert refusal(post("set-user", {"ids": [a], "userId": 999999})) == "No such user in this domain."
    assert site.row(a, "userid, groupid") == (site.bob, site.staff)

    f = site.ftp()
    listing = []
    f.dir("/pub", listing.append)
    assert any(l.startswith("-r-xrw----") and l.endswith(" a.txt") for l in listing), listing
    f.quit()


def test_delete_files_from_the_list(site):
    a = site.add_file(site.pub, "a.txt", b"a")
    b = site.add_file(site.pub, "b.txt", b"b")
    q = asked(site.api("POST", "/api/files/delete", {"directory": site.pub, "ids": [a]}))
    assert (q["title"], q["text"], q["note"]) == ("Deleting", "Delete file(s).", "Are you really sure?")
    assert site.api("POST", "/api/files/delete", {"directory": site.pub, "ids": [a]}, ["Cancel"])[1] == \
        {"deleted": False}
    assert site.api("POST", "/api/files/delete", {"directory": site.pub, "ids": [a]}, ["OK"])[1]["deleted"]
    assert site.row(a) is None and os.path.exists(os.path.join(site.pub_path, "a.txt"))
    status, body = site.api("DELETE", "/api/files/%d" % b, {"deletePhysical": True}, ["OK"])
    assert status == 200 and body["removed"] == [b]
    assert site.row(b) is None and not os.path.exists(os.path.join(site.pub_path, "b.txt"))
    assert site.api("DELETE", "/api/files/%d" % site.music, {}, ["OK"])[0] == 404


def test_file_sheet_pages_and_rename_on_disk(site):
    srv = site.srv
    doc = site.add_file(site.pub, "doc.txt", b"hello", title="Doc", description="Long text")
    site.add_file(site.pub, "taken.txt", b"t")
    sheet = site.api("GET", "/api/files/%d" % doc)[1]
    assert (sheet["sheetTitle"], sheet["general"]["type"], sheet["general"]["size"], sheet["general"]["showPath"]) == \
        ("doc.txt", "File", "5", False)
    assert (sheet["security"]["login"], sheet["security"]["groupName"], sheet["description"]) == \
        ("alice", "staff", "Long text")
    assert re.fullmatch(r"\w+day, \w+ \d{1,2}, \d{4}, \d\d:\d\d:\d\d", sheet["general"]["lastWrite"])
    root = site.api("GET", "/api/files/%d" % site.root)[1]
    assert (root["sheetTitle"], root["general"]["type"], root["security"]["name"]) == ("Root (/)", "Root Directory", "/")
    link = srv.insert("files", name="ln", parent=site.root, directory=1, link=site.music, path="",
                      userid=site.bob, groupid=site.staff, domain=srv.domain_id())
    general = site.api("GET", "/api/files/%d" % link)[1]["general"]
    assert (general["type"], general["linkTo"]) == ("Link", "alice/pub/music")

    put = lambda id, body: site.api("PUT", "/api/files/%d" % id, body)
    assert refusal(put(doc, {"name": "TAKEN.TXT"})) == "Unable to rename.  An entry by this name exists."
    assert refusal(put(doc, {"name": "a:b"})) == "Invalid file name"
    assert refusal(put(doc, {"name": "../up"})) == "Invalid file name"
    assert refusal(put(doc, {"name": ""})) == "File name cannot be blank."
    os.rename(os.path.join(site.pub_path, "doc.txt"), os.path.join(site.pub_path, "moved"))
    assert refusal(put(doc, {"name": "new.txt"})) == "Unable to rename the file."
    assert site.row(doc, "name") == ("doc.txt",)
    os.rename(os.path.join(site.pub_path, "moved"), os.path.join(site.pub_path, "doc.txt"))

    status, body = put(doc, {"name": "Doc's.txt", "title": "T", "description": "D", "userId": site.bob,
                             "access": {"other": {"write": True}}})
    assert status == 200 and body["name"] == "Doc's.txt", body
    assert sorted(os.listdir(site.pub_path)) == ["Doc's.txt", "music", "taken.txt"]
    assert site.row(doc, 'name, title, description, userid, "other write"') == ("Doc's.txt", "T", "D", site.bob, 1)
    # Only the letter case changes: not a clash with itself.
    assert put(doc, {"name": "doc's.txt"})[0] == 200
    assert os.path.isfile(os.path.join(site.pub_path, "doc's.txt"))
    # A directory is renamed in the tree only; its Path stays.
    assert put(site.music, {"name": "songs"})[0] == 200
    assert site.row(site.music, "name, path") == ("songs", site.music_path) and os.path.isdir(site.music_path)
    # The root keeps its empty name.
    assert put(site.root, {"name": "x", "description": "top"})[0] == 200
    assert site.row(site.root, "name, description") == ("", "top")

    f = site.ftp()
    f.cwd("/pub")
    assert sorted(f.nlst()) == ["doc's.txt", "songs", "taken.txt"]
    assert f.retrbinary("RETR /pub/doc's.txt", lambda b: None).startswith("226")
    f.quit()


def test_directory_picker(site):
    srv = site.srv
    base = srv.disk("pick")
    for name in ("b", "a", ".hidden"):
        os.makedirs(os.path.join(base, name))
    with open(os.path.join(base, "file"), "w") as f:
        f.write("x")
    status, body = srv.api("GET", "/api/picker/directories?path=%s/a/../." % base)
    assert status == 200, body
    assert (body["path"], body["parent"], body["name"]) == (base, os.path.dirname(base), "pick")
    assert [d["name"] for d in body["directories"]] == [".hidden", "a", "b"]
    assert body["directories"][1]["path"] == os.path.join(base, "a")
    root = srv.api("GET", "/api/picker/directories?path=/")[1]
    assert (root["path"], root["name"]) == ("/", "New") and "tmp" in [d["name"] for d in root["directories"]]
    assert srv.api("GET", "/api/picker/directories?path=relative")[0] == 400
    assert refusal(srv.api("GET", "/api/picker/directories?path=%s/file" % base)) == \
        "The path does not refer to a directory."


def test_malformed_requests_change_nothing(site):
    srv = site.srv
    a = site.add_file(site.pub, "a.txt", perms="rw-r--r--")
    before = srv.query("select * from files order by id")
    post = lambda what, body: site.api("POST", "/api/files/" + what, dict(body, directory=site.pub))
    assert post("set-security", {"ids": str(a), "access": {}})[0] == 400
    assert post("set-security", {"ids": [a + 0.5]})[0] == 400
    assert post("set-security", {"ids": [a], "access": {"user": 3}})[0] == 400
    assert post("set-user", {"ids": [a], "userId": "abc"})[0] == 422
    assert site.api("PUT", "/api/files/%d" % a, {"name": 5})[0] == 400
    assert site.api("PUT", "/api/files/%d" % a, {"name": "n" * 256})[0] == 400
    assert site.api("PUT", "/api/files/%d" % site.pub, {"path": "x/../y"})[0] == 422
    assert site.api("GET", "/api/tree/children?node=directory:99999999999999999999")[0] == 400
    assert site.api("DELETE", "/api/tree/directories/99999999999999999999", {}, ["OK"])[0] == 404
    assert site.api("GET", "/api/files?directory=abc")[0] == 404
    assert site.api("POST", "/api/tree/move", {"source": ["directory", 1], "target": None})[0] == 400
    assert srv.api("GET", "/api/picker/directories?path=/tmp%00/etc")[0] == 400
    assert srv.query("select * from files order by id") == before
    # Long texts are cut by characters, never inside one.
    assert site.api("PUT", "/api/files/%d" % a, {"title": "\u00e9" * 150})[0] == 200
    assert site.row(a, "title") == ("\u00e9" * 100,)
