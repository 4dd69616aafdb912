"""What the web console's page keeps and reads beside the settings sheet: its
window layout in the Position section, the About box's version, refusals that
name the control they belong to, the Message Console's text across a close,
and a connection row's Activity once its transfer is over."""
import re

import pytest

from harness import Server


@pytest.fixture
def srv():
    with Server("sqlite", settings={"Position": {"VSplit": 250}}) as s:
        yield s


def settings_text(srv):
    with open(srv.env["KESTREL_SETTINGS"]) as f:
        return f.read()


def test_layout_round_trip_keeps_other_position_values(srv):
    assert srv.api("GET", "/api/position")[1]["values"] == {"VSplit": 250}
    status, _ = srv.api("PUT", "/api/position", {"values": {"ConnectionsX": 40, "ConnectionsY": -3, "vsplit": 300}})
    assert status == 200
    values = srv.api("GET", "/api/position")[1]["values"]
    # A name differing only in case replaces the value it names, as every reader of the file sees it.
    assert values == {"VSplit": 300, "ConnectionsX": 40, "ConnectionsY": -3}
    text = settings_text(srv)
    assert re.search(r"^\[Position\]$", text, re.M) and re.search(r"^ConnectionsX=40$", text, re.M)
    assert "[Console]" in text  # the rest of the file is untouched


@pytest.mark.parametrize("values", [
    {"Bad=Name": 1}, {"Bad\nName": 1}, {"": 1}, {"x" * 41: 1}, {"Fine": "1"}, {"Fine": 1.5}, {"Fine": 10 ** 9},
    [1, 2],
])
def test_layout_refuses_what_is_not_a_name_and_an_integer(srv, values):
    status, _ = srv.api("PUT", "/api/position", {"values": values})
    assert status == 400
    assert "Fine" not in srv.api("GET", "/api/position")[1]["values"]


def test_layout_is_bounded(srv):
    many = {"W%d" % i: i for i in range(250)}
    status, body = srv.api("PUT", "/api/position", {"values": many})
    assert status == 422 and body["message"]["text"] == "Too many layout values."
    assert srv.api("GET", "/api/position")[1]["values"] == {"VSplit": 250}


def test_about_names_the_version(srv):
    body = srv.api("GET", "/api/about")[1]
    assert body["product"] == "Kestrel" and re.fullmatch(r"\d+\.\d+(\.\d+)*", body["version"])
    assert re.fullmatch(r"\d+ KB", body["memory"])


def test_refusals_name_their_page_and_field(srv):
    status, body = srv.api("PUT", "/api/settings", {"Timeout": 29})
    assert status == 422 and (body["page"], body["field"]) == ("General", "Timeout")
    status, body = srv.api("PUT", "/api/service", {"startType": "manual", "logOnAs": "user", "account": ""})
    assert status == 422 and (body["page"], body["field"]) == ("Service", "account")
    status, body = srv.api("PUT", "/api/service", {"startType": "manual", "logOnAs": "user", "account": "bad name!"})
    assert status == 422 and (body["page"], body["field"]) == ("Service", "account")
    assert "not a valid account name" in body["message"]["text"]


def test_closing_the_message_console_forgets_its_text(srv):
    group = srv.add_group("staff", rights=range(1, 12))
    srv.add_user("alice", "secret", group=group)
    assert srv.api("PUT", "/api/windows/console", {"open": True})[0] == 200
    f = srv.ftp()
    f.login("alice", "secret")
    f.sendcmd("SITE MSG first")
    assert "first" in srv.api("GET", "/api/console")[1]["text"]
    assert srv.api("PUT", "/api/windows/console", {"open": False})[0] == 200
    assert srv.api("PUT", "/api/windows/console", {"open": True})[0] == 200
    assert srv.api("GET", "/api/console")[1]["text"] == ""
    f.quit()


def test_activity_empties_when_a_download_completes(srv):
    group = srv.add_group("staff", rights=range(1, 12))
    srv.add_user("alice", "secret", group=group)
    root = srv.query('select "root directory" from users where login=\'alice\'')[0][0]
    pub = srv.add_dir(root, "pub", srv.disk("pub"), perms="rwxr-xr-x")
    srv.add_file(pub, "a.txt", b"x" * 5000, perms="rw-r--r--")
    events = srv.events()
    events.next("state")
    f = srv.ftp()
    f.login("alice", "secret")
    f.retrbinary("RETR pub/a.txt", lambda data: None)
    events.next("connection-changed", where=lambda row: row["activity"] == "RETR a.txt")
    # Fault guarded: the cell kept "RETR a.txt" after the 226 until the next failed transfer.
    _, row = events.next("connection-changed", where=lambda row: row["activity"] == "")
    assert row["downloads"] == 1
    f.quit()
    events.close()
