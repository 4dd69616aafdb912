"""Domains, groups and users over the console API: every refusal text, the
sheets' limits, the cascades of each deletion, the domain's IP filter as the
listener applies it, and a user added over the API logging in over FTP; on
every engine."""
import ftplib

import pytest

TRICKY = "O'Brien; -- 100% \\ \"q\" _x"


class Accounts:
    def __init__(self, srv):
        self.srv = srv
        srv.wait_console()
        self.default = srv.domain_id()
        self.system = srv.group_id()

    def api(self, method, path, body=None, answers=None):
        return self.srv.api(method, path, body, answers=answers)

    def one(self, sql):
        rows = self.srv.query(sql)
        return rows[0][0] if rows else None

    def refused(self, method, path, body, text, answers=None):
        status, reply = self.api(method, path, body, answers)
        assert (status, reply["message"]["text"]) == (409, text), reply
        return reply

    def add_domain(self, name, **values):
        status, reply = self.api("POST", "/api/domains", dict(values, name=name))
        assert status == 200, reply
        return reply["id"]

    def add_group(self, name, domain=None, **values):
        status, reply = self.api("POST", "/api/groups", dict(values, name=name, domain=domain or self.default))
        assert status == 200, reply
        return reply["id"]

    def add_user(self, login, password="secret", group=None, domain=None, **values):
        body = dict(values, login=login, password=password, domain=domain or self.default,
                    group=group or self.system)
        status, reply = self.api("POST", "/api/users", body)
        assert status == 200, reply
        return reply["id"]

    def leftovers(self, domain):
        """Rows of every account table that still name the domain."""
        return {t: self.one('select count(*) from %s where %s=%d' % (t, c, domain))
                for t, c in (("users", "domain"), ("files", "domain"), ("groups", "domain"),
                             ('"site list"', '"domain id"'), ("block", "domain"))}


@pytest.fixture
def acc(server):
    return Accounts(server)


def test_domain_sheet_rules_and_new_domain_members(acc):
    # "Default" keeps its name and empty IP; its other fields still change.
    acc.refused("PUT", "/api/domains/%d" % acc.default, {"name": "Main"},
                "The name and IP may not be set for the default domain.")
    acc.refused("PUT", "/api/domains/%d" % acc.default, {"ip": "10.0.0.1"},
                "The name and IP may not be set for the default domain.")
    assert acc.api("PUT", "/api/domains/%d" % acc.default, {"motd": TRICKY})[0] == 200
    status, sheet = acc.api("GET", "/api/domains/%d" % acc.default)
    assert sheet["domain"]["motd"] == TRICKY and sheet["domain"]["name"] == "Default"
    assert sheet["pages"] == ["General", "MOTD", "Text Index", "Blocking"]

    # The proposed name "New", twice.
    assert acc.api("GET", "/api/domains/new")[1]["domain"]["name"] == "New"
    new = acc.add_domain("New")
    acc.refused("POST", "/api/domains", {}, "A domain by the name 'New' already exists.")
    system = acc.srv.query("select id, comment from groups where domain=%d" % new)
    assert len(system) == 1 and acc.one("select name from groups where domain=%d" % new) == "system"
    user = acc.srv.query('select login, name, "group", "max users", "start directory", "root directory" '
                         'from users where domain=%d' % new)
    assert user[0][:5] == ("anonymous", "Anonymous User", system[0][0], 255, "/")
    root = acc.srv.query('select title, parent, directory, userid, "other read", "other execute", "other write" '
                         'from files where id=%d' % user[0][5])
    assert root == [("Root Directory", 0, 1, acc.one("select id from users where domain=%d" % new), 1, 1, 0)]

    # Names with quotes and SQL characters are kept as typed and still found as duplicates.
    tricky = acc.add_domain(TRICKY, ip="10.1.2.3")
    acc.refused("PUT", "/api/domains/%d" % new, {"name": TRICKY.upper()},
                "A domain by the name '%s' already exists." % TRICKY.upper())
    assert acc.api("PUT", "/api/domains/%d" % tricky, {"name": TRICKY.lower()})[0] == 200  # its own name
    assert acc.one("select name from home where id=%d" % tricky) == TRICKY.lower()
    status, reply = acc.api("PUT", "/api/domains/%d" % new, {"name": "x" * 51})
    assert (status, reply["message"]["text"], reply["page"]) == (422, "Enter no more than 50 characters.", "General")
    assert {d["name"] for d in acc.api("GET", "/api/pickers/domains")[1]["items"]} == {"Default", "New",
                                                                                      TRICKY.lower()}


def test_domain_deletion_asks_then_leaves_no_rows(acc):
    acc.refused("DELETE", "/api/domains/%d" % acc.default, None, "Cannot delete the default domain.")
    dom = acc.add_domain("shop", blocking=["Block\t1.2.3.4"])
    staff = acc.add_group("staff", dom, siteCommands=[1, 2])
    acc.add_user("carol", group=staff, domain=dom)
    disk = acc.srv.disk("shop")
    status, reply = acc.api("DELETE", "/api/domains/%d" % dom)
    assert status == 409 and reply["question"] == {
        "text": "EXTREME WARNING! This will delete all database records related to the domain.  Physical files "
                "will not be deleted.  Are you really sure?",
        "buttons": ["Yes", "No"], "icon": "question", "index": 0, "default": "No"}
    assert acc.api("DELETE", "/api/domains/%d" % dom, answers=["No"])[1]["changed"] is False
    assert acc.leftovers(dom)["users"] == 2
    assert acc.api("DELETE", "/api/domains/%d" % dom, answers=["Yes"])[0] == 200
    assert acc.one("select count(*) from home where id=%d" % dom) == 0
    assert set(acc.leftovers(dom).values()) == {0}
    import os
    assert os.path.isdir(disk)
    assert acc.api("GET", "/api/domains/%d" % dom)[0] == 404


BAD_PATTERNS = ["1.2.3", "1.2.3.4.5", "256.0.0.0", "1.2.3.4 ", "5-5.0.0.0", "7-3.0.0.0", "*1.0.0.0",
                "1-*.0.0.0", "-1.0.0.0", "1.2..4", "", "a.b.c.d", "1-2-3.0.0.0", "0-256.0.0.0"]


def test_blocking_list_round_trip_and_listener(acc):
    url = "/api/domains/%d/blocking" % acc.default
    for pattern in BAD_PATTERNS:
        status, reply = acc.api("POST", "/api/domains/blocking/check", {"pattern": pattern})
        assert (status, reply["message"]["text"]) == (422, "Invalid filter format."), pattern
    assert acc.api("POST", "/api/domains/blocking/check", {"pattern": "010.0.0.0-255"})[1] == {"valid": True}

    entries = ["Admit\t010.0.0.0-255", {"allow": False, "pattern": "192.168.1-7.*"}, "Block\t0-254.*.*.000"]
    status, reply = acc.api("PUT", url, {"entries": entries})
    assert status == 200
    rows = acc.srv.query('select sequence, allow, "ip1 lo", "ip1 hi", "ip2 lo", "ip2 hi", "ip3 lo", "ip3 hi", '
                         '"ip4 lo", "ip4 hi" from block where domain=%d order by sequence' % acc.default)
    assert rows == [(1, 1, 10, 10, 0, 0, 0, 0, 0, 255), (2, 0, 192, 192, 168, 168, 1, 7, 0, 255),
                    (3, 0, 0, 254, 0, 255, 0, 255, 0, 0)]
    assert [e["text"] for e in acc.api("GET", url)[1]["entries"]] == [
        "Allow\t10.0.0.*", "Block\t192.168.1-7.*", "Block\t0-254.*.*.0"]

    # One bad entry refuses the whole list and keeps the stored one.
    status, reply = acc.api("PUT", url, {"entries": ["Admit\t1.2.3.4", "Block\t7-3.0.0.0"]})
    assert (status, reply["message"]["text"], reply["index"]) == (422, "Invalid filter format.", 1)
    assert acc.one("select count(*) from block where domain=%d" % acc.default) == 3

    # The listener reads the stored form: the first matching Sequence decides.
    acc.api("PUT", url, {"entries": ["Admit\t127.0.0.2", "Block\t127.*.*.*"]})
    raw = acc.srv.connect_raw()
    assert raw.closed() and raw.buf == b""
    acc.api("PUT", url, {"entries": []})
    assert acc.one("select count(*) from block where domain=%d" % acc.default) == 0
    assert acc.srv.ftp().getwelcome().startswith("220")

    # A new domain's list is stored under the new domain, not under id 0.
    dom = acc.add_domain("filtered", blocking=["Block\t9.9.9.9"])
    assert acc.srv.query("select domain, sequence from block") == [(dom, 1)]


def test_group_add_edit_and_site_rights(acc):
    sales = acc.add_group("Sales Team", comment=TRICKY, siteCommands=[11, 2, 2])
    assert acc.srv.query("select name, comment from groups where id=%d" % sales) == [("sales", TRICKY)]
    acc.refused("POST", "/api/groups", {"domain": acc.default, "name": "Sales-Team"}, "Group already exists.")
    # Same name in another domain is fine.
    other = acc.add_domain("other")
    acc.add_group("sales", other)
    # A name that normalises to nothing is accepted once.
    acc.add_group("-x")
    acc.refused("POST", "/api/groups", {"domain": acc.default, "name": "!"}, "Group already exists.")

    status, sheet = acc.api("GET", "/api/groups/%d" % sales)
    assert [c["id"] for c in sheet["siteCommands"] if c["allowed"]] == [2, 11]
    assert [c["name"] for c in sheet["siteCommands"]] == sorted(c["name"] for c in sheet["siteCommands"])
    assert acc.api("PUT", "/api/groups/%d" % sales, {"comment": "c", "siteCommands": [4]})[0] == 200
    assert acc.srv.query('select "site id", "domain id" from "site list" where "group id"=%d' % sales) == [
        (4, acc.default)]
    assert acc.api("PUT", "/api/groups/%d" % sales, {"name": "Sales"})[0] == 200  # rights stay
    assert acc.one('select count(*) from "site list" where "group id"=%d' % sales) == 1
    assert acc.api("PUT", "/api/groups/%d" % sales, {"siteCommands": [48]})[0] == 400

    # The system group keeps its name while the other changes are saved.
    status, reply = acc.api("PUT", "/api/groups/%d" % acc.system, {"name": "admins", "comment": "core"})
    assert status == 200 and [m["text"] for m in reply["messages"]] == [
        "Warning! The 'system' group may not have its name changed."]
    assert acc.srv.query("select name, comment from groups where id=%d" % acc.system) == [("system", "core")]

    acc.refused("PUT", "/api/groups/%d" % sales, {"name": "%%"}, "The group name cannot be blank.")
    web = acc.add_group("web")
    acc.refused("PUT", "/api/groups/%d" % web, {"name": "SALES"}, "A group by this name already exists.")
    status, reply = acc.api("PUT", "/api/groups/%d" % web, {"name": "x" * 21})
    assert (status, reply["message"]["text"], reply["page"]) == (422, "Enter no more than 20 characters.",
                                                                   "  General  ")
    assert acc.one("select name from groups where id=%d" % web) == "web"

    items = acc.api("GET", "/api/pickers/groups?domain=%d" % other)[1]["items"]
    assert sorted(g["name"] for g in items) == ["sales", "system"]


def test_group_deletion_in_both_windows(acc):
    srv = acc.srv
    staff, web, ops = acc.add_group("staff", siteCommands=[1]), acc.add_group("web"), acc.add_group("ops")
    alice, bob = acc.add_user("alice", group=staff), acc.add_user("bob", group=ops)
    alice_root = acc.one('select "root directory" from users where id=%d' % alice)
    f1 = srv.add_dir(alice_root, "pub", "", owner=alice, group=staff)
    f2 = srv.add_dir(alice_root, "ops", "", owner=alice, group=ops)

    body = {"ids": [staff, acc.system, web]}
    status, reply = acc.api("DELETE", "/api/groups", body)
    assert reply["question"]["text"] == "Caution: this will change all files and users that use the group.  Continue?"
    assert reply["question"]["buttons"] == ["OK", "Cancel"]
    assert acc.api("DELETE", "/api/groups", body, answers=["Cancel"])[1]["changed"] is False
    status, reply = acc.api("DELETE", "/api/groups", body, answers=["OK"])
    assert status == 200 and sorted(reply["removed"]) == sorted([staff, web])
    assert [m["text"] for m in reply["messages"]] == ["Cannot delete the 'system' group."]
    assert acc.one('select "group" from users where id=%d' % alice) == acc.system
    assert srv.query("select groupid from files where id in (%d, %d) order by id" % (alice_root, f1)) == [
        (acc.system,), (acc.system,)]
    assert acc.one('select count(*) from "site list" where "group id"=%d' % staff) == 0

    # The Domains window: one group, its own texts, and the files keep their group.
    acc.refused("DELETE", "/api/groups/%d?view=domains" % acc.system, None, "Can't delete the system group.")
    status, reply = acc.api("DELETE", "/api/groups/%d?view=domains" % ops)
    assert reply["question"]["text"] == ("Deleting group.  Users will be assigned to the system group. "
                                         "Are you sure you want to do this?")
    assert acc.api("DELETE", "/api/groups/%d?view=domains" % ops, answers=["Yes"])[0] == 200
    assert acc.one('select "group" from users where id=%d' % bob) == acc.system
    assert acc.one("select groupid from files where id=%d" % f2) == ops
    assert acc.one("select count(*) from groups where id=%d" % ops) == 0


def test_user_added_over_api_logs_in_and_lists(acc):
    staff = acc.add_group("staff")
    uid = acc.add_user("Bob Smith", "Secret1", group=staff, name=TRICKY, email="b@x", notes="n",
                       maxUsers=3, ratio=0, spaceLimit=100)
    row = acc.srv.query('select login, password, name, email, notes, "max users", '
                        'case when "last on" is null then 1 else 0 end, "start directory", '
                        'deleteownfiles, overwriteownfiles, renameownfiles, "group" from users where id=%d' % uid)
    assert row == [("bob", "secret1", TRICKY, "b@x", "n", 3, 1, "/", 1, 1, 1, staff)]
    root = acc.srv.query('select title, name, path, parent, userid, groupid, "user read", "user write", '
                         '"user execute", "group read", "other read", "other execute" from files '
                         'where id=(select "root directory" from users where id=%d)' % uid)
    assert root == [("Root Directory", "", "", 0, uid, staff, 1, 1, 1, 0, 0, 0)]

    f = acc.srv.ftp()
    f.login("bob", "SECRET1")
    assert f.pwd() == "/"
    f.quit()
    with pytest.raises(ftplib.error_perm):
        acc.srv.ftp().login("bob", "wrong")

    rows = acc.api("GET", "/api/users")[1]
    assert [c["title"] for c in rows["columns"]] == ["Name", "Domain", "Last On"]
    bob = [r for r in rows["rows"] if r["id"] == uid][0]
    assert (bob["login"], bob["domain"]) == ("bob", "Default") and bob["lastOn"] != ""  # stamped by the login
    names = [r["login"] for r in acc.api("GET", "/api/users?sort=name&reverse=1")[1]["rows"]]
    assert names == sorted(names, reverse=True)
    assert acc.api("PUT", "/api/users/columns", {"widths": [120, 90, 60]})[0] == 200
    assert [c["width"] for c in acc.api("GET", "/api/users")[1]["columns"]] == [120, 90, 60]

    status, sheet = acc.api("GET", "/api/users/%d" % uid)
    assert "password" not in sheet["user"] and sheet["user"]["name"] == TRICKY
    assert {g["id"] for g in sheet["groups"]} == {acc.system, staff}
    users = acc.api("GET", "/api/pickers/users?domain=%d" % acc.default)[1]["items"]
    assert {(u["login"], u["group"]) for u in users} == {("anonymous", "system"), ("bob", "staff")}


SHEET_LIMITS = [
    ("maxUsers", 256, "Please enter an integer between 0 and 255.", "Connection"),
    ("maxUsers", -1, "Please enter an integer between 0 and 255.", "Connection"),
    ("ratio", 101, "Please enter an integer between 0 and 100.", "File Limits"),
    ("ratio", "x", "Please enter an integer.", "File Limits"),
    ("ratio", 1.5, "Please enter an integer.", "File Limits"),
    ("spaceLimit", 2 ** 40, "Please enter an integer between 0 and 2147483647.", "File Limits"),
    ("login", "a" * 16, "Enter no more than 15 characters.", "Connection"),
    ("login", "", "Entry may not be blank", "Connection"),
    ("password", "p" * 16, "Enter no more than 15 characters.", "Connection"),
    ("state", "abc", "Enter no more than 2 characters.", "Accounting"),
    ("notes", "n" * 2049, "Enter no more than 2048 characters.", "   Notes     "),
]


def test_user_sheet_limits(acc):
    for field, value, text, page in SHEET_LIMITS:
        status, reply = acc.api("POST", "/api/users", {"domain": acc.default, "group": acc.system, "login": "eve",
                                                       field: value})
        assert (status, reply["message"]["text"], reply["page"], reply["field"]) == (422, text, page, field)
    assert acc.one("select count(*) from users") == 1
    # The bounds themselves are accepted; characters count, not bytes.
    for login, max_users in (("eve", 0), ("zoe", 255)):
        acc.add_user(login, maxUsers=max_users, ratio=100, state="\u00e9\u00e9", notes="\u00e9" * 2048)
    assert acc.srv.query('select "max users" from users where login in (\'eve\', \'zoe\') order by login') == [
        (0,), (255,)]


def test_user_edit_rules_and_move(acc):
    bob = acc.add_user("bob", maxUsers=255)
    acc.add_user("carl", maxUsers=0)
    anonymous = acc.one("select id from users where login='anonymous'")
    acc.refused("POST", "/api/users", {"domain": acc.default, "group": acc.system, "login": "BOB!"},
                "A user by this name already exists.")
    acc.refused("POST", "/api/users", {"domain": acc.default, "group": acc.system, "login": "'; --"},
                "Entry may not be blank")

    # The Users window keeps the anonymous login; the other changes are saved.
    status, reply = acc.api("PUT", "/api/users/%d" % anonymous, {"login": "guest", "message": TRICKY})
    assert status == 200 and reply["messages"][0]["text"] == "You cannot change the name of the 'anonymous' user."
    assert acc.srv.query("select login, message from users where id=%d" % anonymous) == [("anonymous", TRICKY)]
    acc.refused("PUT", "/api/users/%d" % bob, {"login": "Carl"}, "A user by this name already exists.")
    # The Domains window checks only that the login is free.
    acc.refused("PUT", "/api/users/%d?view=domains" % anonymous, {"login": "carl"},
                "A user by this name already exists.")
    assert acc.api("PUT", "/api/users/%d" % bob, {"login": "Robert Jr", "locked": True})[0] == 200
    assert acc.srv.query("select login, locked from users where id=%d" % bob) == [("robert", 1)]

    other = acc.add_domain("other")
    foreign = acc.one("select id from groups where domain=%d" % other)
    assert acc.api("PUT", "/api/users/%d" % bob, {"group": foreign})[0] == 400
    acc.refused("POST", "/api/users/%d/move" % bob, {"group": foreign}, "Users may not be moved between domains.")
    staff = acc.add_group("staff")
    assert acc.api("POST", "/api/users/%d/move" % bob, {"group": staff})[0] == 200
    assert acc.one('select "group" from users where id=%d' % bob) == staff


def test_user_deletion_in_both_windows(acc):
    srv = acc.srv
    alice, bob, carl = acc.add_user("alice"), acc.add_user("bob"), acc.add_user("carl")
    anonymous = acc.one("select id from users where login='anonymous'")
    alice_root = acc.one('select "root directory" from users where id=%d' % alice)
    bob_root = acc.one('select "root directory" from users where id=%d' % bob)
    # bob keeps a directory inside alice's tree, and links to it from his own.
    shared = srv.add_dir(alice_root, "shared", srv.disk("shared"), owner=bob)
    inner = srv.add_file(shared, "inner.txt", None, owner=carl)
    link = srv.add_dir(bob_root, "to-alice", "", owner=bob, link=alice_root)

    status, reply = acc.api("DELETE", "/api/users", {"ids": [alice, anonymous]})
    assert reply["question"]["text"] == (
        "Deleting User.  File records will be deleted, but the files will be left and must be deleted manually.  "
        "Are you sure you want to do this?")
    status, reply = acc.api("DELETE", "/api/users", {"ids": [alice, anonymous]}, answers=["Yes"])
    assert status == 200 and reply["removed"] == [alice]
    assert [m["text"] for m in reply["messages"]] == ["Cannot delete the 'anonymous' user."]
    assert acc.one("select count(*) from users where id=%d" % alice) == 0
    # Nothing is left below or linking into what went.
    assert srv.query("select id from files where id in (%d, %d, %d, %d)" % (alice_root, shared, inner, link)) == []
    assert acc.one("select count(*) from files f where parent<>0 and not exists "
                   "(select 1 from files p where p.id=f.parent)") == 0

    status, reply = acc.api("DELETE", "/api/users/%d" % anonymous, answers=["Yes"])
    assert reply["message"]["text"] == "Cannot delete the 'anonymous' user."
    acc.refused("DELETE", "/api/users/%d?view=domains" % anonymous, None, "Can't delete the anonymous user.")
    assert acc.api("DELETE", "/api/users/%d?view=domains" % bob, answers=["No"])[1]["changed"] is False
    assert acc.api("DELETE", "/api/users/%d?view=domains" % bob, answers=["Yes"])[0] == 200
    assert acc.one("select count(*) from files where userid=%d" % bob) == 0
    assert {r["login"] for r in acc.api("GET", "/api/users")[1]["rows"]} == {"anonymous", "carl"}


def test_malformed_requests_are_answered(acc):
    for method, path, body in [("POST", "/api/users", {"domain": "x", "group": 1, "login": "a"}),
                               ("POST", "/api/groups", {"domain": acc.default, "name": 5}),
                               ("PUT", "/api/domains/%d/blocking" % acc.default, {"entries": "1.2.3.4"}),
                               ("PUT", "/api/domains/%d/blocking" % acc.default, {"entries": [7]}),
                               ("DELETE", "/api/users", {"ids": "all"}),
                               ("DELETE", "/api/users/1", {"view": "nowhere"}),
                               ("GET", "/api/pickers/groups?domain=1x", None)]:
        assert acc.api(method, path, body)[0] == 400, (method, path, body)
    for path in ["/api/users/999999", "/api/groups/999999", "/api/domains/999999",
                 "/api/domains/99999999999999999999"]:
        assert acc.api("GET", path)[0] == 404, path
