"""The console's HTTP API against the real program with live FTP sessions:
access control, the connection list, kill, message, broadcast, the message
console, spies, exit, settings and the service unit."""
import ftplib
import http.client
import json
import os
import re
import time

import pytest

from harness import Server, wait_for

ALL_RIGHTS = range(1, 12)



def connections(srv):
    status, body = srv.api("GET", "/api/connections")
    assert status == 200
    return body["connections"]


def cookie_request(srv, method, path, body=None, cookie=None, csrf=None):
    conn = http.client.HTTPConnection("127.0.0.1", srv.console_port, timeout=30)
    headers = {"Content-Type": "application/json"}
    if cookie:
        headers["Cookie"] = cookie
    if csrf:
        headers["X-CSRF-Token"] = csrf
    conn.request(method, path, body=None if body is None else json.dumps(body), headers=headers)
    r = conn.getresponse()
    data = r.read()
    result = (r.status, r.getheader("Set-Cookie"), data)
    conn.close()
    return result


@pytest.fixture
def staff(server):
    group = server.add_group("staff", rights=ALL_RIGHTS)
    server.add_user("alice", "secret", group=group, root_perms="rwxrwxrwx")
    return server


def test_nothing_without_the_password(server):
    srv = server
    for method, path in [("GET", "/api/connections"), ("POST", "/api/exit"), ("GET", "/api/settings"),
                         ("POST", "/api/log/clear"), ("GET", "/api/events"), ("GET", "/api/spies/1/events"),
                         ("GET", "/api/no-such-thing")]:
        status, _ = srv.api(method, path, auth=False)
        assert status == 401, path
    status, _ = srv.api("GET", "/api/connections", auth=False, headers={"Authorization": "Bearer wrong"})
    assert status == 401
    # The login page and its files are public.
    status, text = srv.api("GET", "/", auth=False)
    assert status == 200 and "<form" in text
    status, _ = srv.api("GET", "/main.js", auth=False)
    assert status == 200
    # Nothing outside the web folder is served.
    status, _ = srv.api("GET", "/../../db/schema-sqlite.sql", auth=False)
    assert status in (400, 404)

    status, _, body = cookie_request(srv, "POST", "/api/login", {"password": "wrong"})
    assert status == 401 and srv.console_password.encode() not in body
    status, _, _ = cookie_request(srv, "POST", "/api/login", {"password": ""})
    assert status == 401
    status, _, _ = cookie_request(srv, "POST", "/api/login", None)
    assert status == 401


def test_cookie_session_and_csrf(server):
    srv = server
    status, set_cookie, body = cookie_request(srv, "POST", "/api/login", {"password": srv.console_password})
    assert status == 200
    assert "HttpOnly" in set_cookie and "SameSite=Strict" in set_cookie
    cookie = set_cookie.split(";")[0]
    csrf = json.loads(body)["csrf"]
    assert srv.console_password not in set_cookie + body.decode()

    status, _, body = cookie_request(srv, "GET", "/api/session", cookie=cookie)
    assert status == 200 and json.loads(body)["csrf"] == csrf
    status, _, _ = cookie_request(srv, "GET", "/api/connections", cookie=cookie)
    assert status == 200
    # State changes need the token as well as the cookie.
    status, _, _ = cookie_request(srv, "PUT", "/api/windows/console", {"open": True}, cookie=cookie)
    assert status == 403
    status, _, _ = cookie_request(srv, "PUT", "/api/windows/console", {"open": True}, cookie=cookie, csrf="x" * 32)
    assert status == 403
    status, _, _ = cookie_request(srv, "PUT", "/api/windows/console", {"open": True}, cookie=cookie, csrf=csrf)
    assert status == 200
    status, _, _ = cookie_request(srv, "POST", "/api/logout", cookie=cookie, csrf=csrf)
    assert status == 200
    status, _, _ = cookie_request(srv, "GET", "/api/connections", cookie=cookie)
    assert status == 401


def test_answers_are_gzip_or_plain_never_brotli(server):
    """The system library's brotli is slow enough to make a large file list take seconds."""
    import gzip
    for path in ["/api/session", "/index.html"]:
        for offered, expected in [("gzip, deflate, br, zstd", "gzip"), ("br", None), ("identity", None)]:
            status, data, headers = server.api("GET", path, raw=True, headers={"Accept-Encoding": offered})
            assert status == 200, (path, offered)
            assert headers.get("Content-Encoding") == expected, (path, offered, headers)
            if expected == "gzip":
                data = gzip.decompress(data)
            assert data.strip(), (path, offered)


def test_password_generated_once_and_never_shown():
    with Server("sqlite", start=False) as srv:
        del srv.settings["Console"]["Password"]
        srv.write_settings()
        srv.start()
        srv.wait_console()
        settings = open(srv.env["KESTREL_SETTINGS"]).read()
        password = re.search(r"(?im)^Password=(\S+)$", settings).group(1)
        assert len(password) >= 16
        srv.console_password = password
        assert srv.api("GET", "/api/connections")[0] == 200
        srv.stop()
        first_log = srv.read_log()
        assert first_log.count(password) == 1  # printed once, at its creation
        srv.start()
        srv.wait_console()
        status, body = srv.api("GET", "/api/settings")
        assert password not in json.dumps(body)
        srv.stop()
        assert password not in srv.read_log()
        assert password in open(srv.env["KESTREL_SETTINGS"]).read()


def test_bad_requests_get_clear_errors(server):
    srv = server
    assert srv.api("POST", "/api/connections/kill", {"ids": "all"}, answers=["OK"])[0] == 400
    assert srv.api("POST", "/api/spies", {"connection": "x"})[0] == 400
    assert srv.api("POST", "/api/spies", {"connection": 999})[0] == 404
    assert srv.api("DELETE", "/api/spies/999")[0] == 404
    assert srv.api("PUT", "/api/windows/nothing", {"open": True})[0] == 404
    assert srv.api("DELETE", "/api/connections")[0] == 405
    status, body, _ = srv.api("POST", "/api/broadcast", None, raw=True, headers={"Content-Type": "text/plain"})
    assert status == 400
    import http.client as hc
    conn = hc.HTTPConnection("127.0.0.1", srv.console_port, timeout=10)
    conn.request("POST", "/api/broadcast", body=b"{not json", headers={"Authorization": "Bearer " + srv.console_password})
    r = conn.getresponse()
    assert r.status == 400 and "error" in json.loads(r.read())
    conn.close()


def test_connection_rows_kill_and_message(staff):
    srv = staff
    events = srv.events()
    assert events.next("status")[1] == 200
    assert events.next("state")[1]["connections"] == []

    alice = srv.connect_raw()
    alice.reply()
    alice.cmd("USER alice")
    assert alice.cmd("PASS secret")[0].startswith("230")
    _, added = events.next("connection-added")
    assert added["domain"] == "Default" and added["name"] == "<unknown>"
    events.next("connection-changed", where=lambda row: row["name"] == "alice")
    rows = wait_for(lambda: [r for r in connections(srv) if r["name"] == "alice"])
    row = rows[0]
    assert (row["downloads"], row["uploads"], row["activity"]) == (0, 0, "")
    assert re.match(r"\d\d:\d\d:\d\d \d\d/\d\d/\d\d", row["when"])

    # Message: at most 100 characters, queued for the user's next reply.
    status, body = srv.api("POST", "/api/connections/message", {"ids": [row["id"]], "text": "x" * 101})
    assert status == 422 and body["message"]["text"] == "A message may have at most 100 characters."
    status, body = srv.api("POST", "/api/connections/message", {"ids": [row["id"]], "text": "Back in 5"})
    assert status == 200 and body["sent"] == 1
    reply = wait_for(lambda: (lambda r: r if any("Back in 5" in l for l in r) else None)(alice.cmd("NOOP")))
    assert reply[-1].startswith("200")
    status, _ = srv.api("POST", "/api/broadcast", {"text": "Going down soon"})
    assert status == 200
    reply = wait_for(lambda: (lambda r: r if any("Going down soon" in l for l in r) else None)(alice.cmd("NOOP")))

    # Kill asks first and changes nothing without the answer.
    status, body = srv.api("POST", "/api/connections/kill", {"ids": [row["id"]]})
    assert status == 409
    assert body["question"] == {"text": "Really disconnect user(s)?", "buttons": ["OK", "Cancel"],
                                "icon": "question", "index": 0}
    assert srv.api("POST", "/api/connections/kill", {"ids": [row["id"]]}, answers=["Cancel"])[1]["killed"] == 0
    assert alice.cmd("NOOP")[-1].startswith("200")
    status, body = srv.api("POST", "/api/connections/kill", {"ids": [row["id"]]}, answers=["OK"])
    assert status == 200 and body["killed"] == 1
    assert alice.closed()
    _, removed = events.next("connection-removed")
    assert removed["id"] == row["id"]
    assert connections(srv) == []
    events.close()


def test_console_lines_and_the_10000_character_rule(staff):
    srv = staff
    events = srv.events()
    events.next("state")
    f = srv.ftp()
    f.login("alice", "secret")
    # Lines sent while the Console window is closed are dropped.
    f.sendcmd("SITE MSG before the window opened")
    assert srv.api("PUT", "/api/windows/console", {"open": True})[0] == 200
    events.next("window", where=lambda d: d == {"window": "console", "open": True})
    f.sendcmd("SITE MSG hello console")
    _, line = events.next("console-line")
    assert "hello console" in line["text"]
    text = srv.api("GET", "/api/console")[1]["text"]
    assert "before the window" not in text and text.endswith("\r\n")

    for i in range(130):
        f.sendcmd("SITE MSG %03d %s" % (i, "y" * 90))
    events.next("console-line", where=lambda d: "129 " in d["text"])
    text = srv.api("GET", "/api/console")[1]["text"]
    assert len(text) <= 10000
    assert "hello console" not in text and "129 " in text and text.endswith("\r\n")
    assert srv.api("POST", "/api/console/clear")[0] == 200
    assert srv.api("GET", "/api/console")[1]["text"] == ""
    f.quit()
    events.close()


def test_spy_sees_traffic_in_order_and_download_progress(staff):
    srv = staff
    root = srv.query('select "root directory" from users where login=\'alice\'')[0][0]
    pub = srv.add_dir(root, "pub", srv.disk("pub"), perms="rwxr-xr-x")
    data = os.urandom(3 * 1024 * 1024)
    srv.add_file(pub, "big.bin", data, perms="rw-r--r--")
    f = srv.ftp()
    row = wait_for(lambda: connections(srv))[0]
    status, spy = srv.api("POST", "/api/spies", {"connection": row["id"]})
    assert status == 200 and spy["connected"] and spy["log"] == ""
    assert spy["title"] == "Default:Unknown (127.0.0.1)"
    assert (spy["domainLine"], spy["userLine"]) == ("Domain: Default", "User: Unknown (127.0.0.1)")
    stream = srv.events("/api/spies/%d/events" % spy["id"])
    assert stream.next("status")[1] == 200
    stream.next("state")
    f.login("alice", "secret")
    received = bytearray()
    f.retrbinary("RETR pub/big.bin", received.extend)
    assert bytes(received) == data
    f.quit()

    traffic, percents, transfer = "", [], []
    while True:
        name, item = stream.next()
        if name == "traffic":
            traffic += item["text"]
        elif name == "progress":
            percents.append(item["value"])
        elif name == "transfer":
            transfer.append((item["mode"], item["file"]))
        elif name == "disconnected":
            break
    # Each line start in turn, so digits inside an earlier reply (a PASV port) cannot match.
    position = 0
    for start in ("USER alice\r\n", "331 ", "PASS ", "230", "TYPE I\r\n", "200 ", "PASV\r\n", "227 ",
                  "RETR pub/big.bin\r\n", "150 ", "226 ", "QUIT\r\n", "221 "):
        found = traffic.find(start if position == 0 else "\r\n" + start, position)
        assert found >= 0, (start, traffic)
        position = found + 1
    assert percents == sorted(percents) and percents[-1] == 100 and len(percents) >= 3
    assert transfer[0][0] == "download" and transfer[0][1].endswith("big.bin") and transfer[-1][0] == "idle"
    stream.close()

    # The window outlives its connection and keeps its log; closing it sends nothing.
    status, kept = srv.api("GET", "/api/spies/%d" % spy["id"])
    assert status == 200 and not kept["connected"] and "RETR pub/big.bin" in kept["log"]
    assert kept["title"] == spy["title"]
    assert srv.api("DELETE", "/api/spies/%d" % spy["id"])[0] == 200
    assert srv.api("GET", "/api/spies/%d" % spy["id"])[0] == 404



def test_spy_progress_of_a_small_file_steps_by_kilobyte_blocks(staff):
    """Progress is taken at each 1024-byte block end, however many bytes one system call moves."""
    srv = staff
    root = srv.query('select "root directory" from users where login=\'alice\'')[0][0]
    pub = srv.add_dir(root, "pub", srv.disk("pub"), perms="rwxr-xr-x")
    srv.add_file(pub, "small.bin", os.urandom(10000), perms="rw-r--r--")
    srv.add_file(pub, "empty.bin", b"", perms="rw-r--r--")
    f = srv.ftp()
    row = wait_for(lambda: connections(srv))[0]
    spy = srv.api("POST", "/api/spies", {"connection": row["id"]})[1]
    stream = srv.events("/api/spies/%d/events" % spy["id"])
    stream.next("state")
    f.login("alice", "secret")
    for name in ("small.bin", "empty.bin"):
        f.retrbinary("RETR pub/" + name, lambda data: None)
    f.quit()
    percents = []
    while True:
        event, item = stream.next()
        if event == "progress":
            percents.append(item["value"])
        elif event == "disconnected":
            break
    # 10 000 bytes: nine full blocks, then the short last one; the empty file reports nothing.
    assert percents == [10, 20, 30, 40, 51, 61, 71, 81, 92, 100]
    stream.close()

def test_exit_asks_while_users_are_connected(staff):
    srv = staff
    f = srv.ftp()
    f.login("alice", "secret")
    wait_for(lambda: connections(srv))
    status, body = srv.api("POST", "/api/exit")
    assert status == 409
    assert body["question"]["text"] == "There are still users connected.  Really exit?"
    assert body["question"]["buttons"] == ["OK", "Cancel"] and body["question"]["icon"] == "warning"
    # The listener closed with the question; a cancelled exit does not reopen it.
    assert srv.api("POST", "/api/exit", answers=["Cancel"])[1]["state"] == "running"
    import socket
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", srv.port), timeout=2).recv(10)
    assert f.voidcmd("NOOP").startswith("200")
    status, body = srv.api("POST", "/api/exit", answers=["OK"])
    assert status == 200 and body["state"] == "closing"
    # The session ends, and with it the program.
    with pytest.raises(ftplib.all_errors):
        for _ in range(50):
            f.voidcmd("NOOP")
            time.sleep(0.1)
    assert srv.proc.wait(timeout=30) == 0


def stop_with_a_user_and_a_console(srv):
    """SIGTERM while alice is logged in and a console listens: (events, ftp, the question asked)."""
    events = srv.events()
    events.next("state")
    f = srv.ftp()
    f.login("alice", "secret")
    wait_for(lambda: connections(srv))
    srv.proc.send_signal(15)
    return events, f, events.next("question")[1]


def test_stop_signal_asks_open_consoles(staff):
    srv = staff
    events, f, q = stop_with_a_user_and_a_console(srv)
    assert q["kind"] == "exit" and q["text"] == "There are still users connected.  Really exit?"
    assert srv.proc.poll() is None
    assert srv.api("POST", "/api/exit", answers=["OK"])[1]["state"] == "closing"
    assert srv.proc.wait(timeout=30) == 0
    events.close()
    f.close()


@pytest.mark.parametrize("leave", ["users", "console"])
def test_stop_question_nobody_can_answer_proceeds(staff, leave):
    """A stop waits for an answer only while there is something to confirm and someone to confirm it."""
    srv = staff
    events, f, _ = stop_with_a_user_and_a_console(srv)
    if leave == "users":
        f.quit()
        events.next("question-closed")
    else:
        events.close()
    assert srv.proc.wait(timeout=30) == 0
    f.close()
    events.close()

def test_settings_defaults_written_and_read_back(server):
    srv = server
    status, body = srv.api("GET", "/api/settings")
    assert status == 200
    assert body["Mail"] == "ftpadmin@localhost" and body["Timeout"] == 600 and body["Lookup"] is False
    assert body["Database"] == srv.dsn
    assert "DBPassword" not in body
    assert body["LoggingOrder"] == ["LogUPLOAD", "LogDOWNLOAD", "LogRENAME", "LogDELETE", "LogCHMOD", "LogCHGRP",
                                     "LogCHOWN", "LogKICK", "LogCONSOLE", "LogUMSG", "LogLOGIN", "LogLOGOUT"]
    assert sorted(body["Logging"]) == sorted(body["LoggingOrder"]) and not any(body["Logging"].values())

    for bad in (29, 7201, "600"):
        status, answer = srv.api("PUT", "/api/settings", {"Timeout": bad, "Mail": "x@y"})
        assert status == 422 and answer["message"]["text"] == "Please enter an integer between 30 and 7200."
    assert srv.api("GET", "/api/settings")[1]["Mail"] == "ftpadmin@localhost"  # all or nothing
    assert srv.api("PUT", "/api/settings", {"Mail": "a\r\nb"})[0] == 400
    assert srv.api("PUT", "/api/settings", {"Logging": {"LogNOTHING": True}})[0] == 400

    status, body = srv.api("PUT", "/api/settings", {"Mail": "ops@example.org", "Timeout": 30, "Lookup": True,
                                                    "Logging": {"LogLOGIN": True}})
    assert status == 200 and body["Timeout"] == 30 and body["Logging"]["LogLOGIN"] is True
    ini = open(srv.env["KESTREL_SETTINGS"]).read()
    assert "Mail=ops@example.org" in ini and "Timeout=30" in ini and "LogLOGIN=1" in ini
    # The switch applies at once: the next login is logged.
    f = srv.ftp()
    f.login("anonymous", "me@example.org")
    f.quit()
    wait_for(lambda: srv.query("select count(*) from log")[0][0] >= 1)
    assert srv.api("GET", "/api/settings")[1]["Timeout"] == 30

    # Clear Log asks, then empties the table.
    status, body = srv.api("POST", "/api/log/clear")
    assert status == 409 and body["question"]["text"] == "Clearing activity log.  Are you really sure?"
    assert srv.query("select count(*) from log")[0][0] >= 1
    assert srv.api("POST", "/api/log/clear", answers=["OK"])[1]["cleared"] is True
    assert srv.query("select count(*) from log")[0][0] == 0

    status, body = srv.api("GET", "/api/datasources")
    assert status == 200 and srv.dsn in [d["name"] for d in body["dataSources"]]
    status, body = srv.api("GET", "/api/about")
    assert status == 200 and re.fullmatch(r"\d+ KB", body["memory"])


def test_service_unit_written_or_returned(tmp_path):
    unit = tmp_path / "systemd" / "kestrel.service"
    unit.parent.mkdir()
    with Server("sqlite", start=False) as srv:
        srv.env["KESTREL_SERVICE_UNIT"] = str(unit)
        srv.start()
        srv.wait_console()
        status, body = srv.api("GET", "/api/service")
        assert status == 200 and body["installed"] is False and body["startType"] == "automatic"
        status, body = srv.api("PUT", "/api/service", {"startType": "automatic", "logOnAs": "user",
                                                        "account": "CORP\\ftp"})
        assert status == 200 and body["installed"] is True
        text = unit.read_text()
        assert "User=ftp" in text and re.search(r'ExecStart=.*kestrel"? -s', text)
        assert (unit.parent / "multi-user.target.wants" / "kestrel.service").is_symlink()
        status, body = srv.api("GET", "/api/service")
        assert (body["startType"], body["logOnAs"], body["account"]) == ("automatic", "user", "ftp")
        status, body = srv.api("PUT", "/api/service", {"startType": "disabled", "logOnAs": "administrator"})
        assert status == 200 and "User=" not in unit.read_text()
        assert not (unit.parent / "multi-user.target.wants" / "kestrel.service").exists()
        assert srv.api("GET", "/api/service")[1]["startType"] == "disabled"
        assert srv.api("PUT", "/api/service", {"startType": "sometimes"})[0] == 400
        assert srv.api("PUT", "/api/service", {"logOnAs": "user", "account": "bad name;"})[0] == 422
        # Where the program may not write, the unit comes back for the operator.
        os.chmod(unit.parent, 0o500)
        try:
            status, body = srv.api("PUT", "/api/service", {"startType": "manual"})
            if os.geteuid() != 0:
                assert status == 200 and body["installed"] is False and "ExecStart=" in body["unit"]
        finally:
            os.chmod(unit.parent, 0o700)
