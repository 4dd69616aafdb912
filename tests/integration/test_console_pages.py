"""The web console in a real browser (headless chromium through playwright-core),
against the real program: the frame, the live views, spy windows, settings and
exit, as an administrator uses them. Screenshots of each window go to
build/screenshots/."""
import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

from browser import Browser
from harness import BINARY, Server, wait_for

ALL_RIGHTS = range(1, 12)
HOSTILE = "<img src=x onerror=alert(1)>"


@pytest.fixture(scope="module")
def browser():
    b = Browser()
    yield b
    b.close()


def pub_file(srv, name, data):
    """A file under alice's /pub, on the disk where the server reads it."""
    root = srv.query("select \"root directory\" from users where login='alice'")[0][0]
    pub = srv.add_dir(root, "pub", srv.disk("pub"), perms="rwxr-xr-x")
    srv.add_file(pub, name, data, perms="rw-r--r--")


def make_server(engine="sqlite"):
    srv = Server(engine, start=False)
    # The service page writes here, never where the machine's systemd reads.
    srv.env["KESTREL_SERVICE_UNIT"] = os.path.join(srv.tmp, "units", "kestrel.service")
    srv.start()
    group = srv.add_group("staff", rights=ALL_RIGHTS)
    srv.add_user("alice", "secret", group=group, root_perms="rwxrwxrwx")
    return srv


@pytest.fixture(scope="module")
def shared(browser):
    """One server for the tests that leave it running; each starts from a clean console."""
    with make_server() as s:
        pub_file(s, "big.bin", os.urandom(3 * 1024 * 1024))
        yield s
        browser.goto("about:blank")


@pytest.fixture
def srv(browser, shared):
    for name in ("domains", "users", "groups", "connections", "console"):
        shared.api("PUT", "/api/windows/" + name, {"open": False})
    for spy in shared.api("GET", "/api/spies")[1]["spies"]:
        shared.api("DELETE", "/api/spies/%d" % spy["id"])
    yield shared
    # The page's streams end first, and no session outlives its test.
    browser.goto("about:blank")
    wait_for(lambda: shared.api("GET", "/api/connections")[1]["connections"] == [])



def open_view(b, name):
    """View > name, by mouse."""
    b.click(".menu-title[data-menu='View']")
    b.click(".menu-item[data-command='view-%s']" % name)


def settings_file(srv):
    with open(srv.env["KESTREL_SETTINGS"]) as f:
        return f.read()


ROW = ".panel-connections tbody tr"


def test_login_shows_the_frame_with_menus_toolbars_and_clock(browser, srv):
    login_and_frame(browser, srv)


def test_login_and_frame_on_postgresql(browser):
    with make_server("postgresql") as srv:
        login_and_frame(browser, srv)
        browser.goto("about:blank")


def login_and_frame(b, srv):
    b.goto("http://127.0.0.1:%d/" % srv.console_port)
    b.wait("#login")
    b.fill("#login-password", "wrong")
    b.press("Enter")
    b.wait_text("#login-error", "Wrong console password.")
    b.fill("#login-password", srv.console_password)
    b.press("Enter")
    b.wait("#frame")
    # The login form is gone, not merely covered.
    assert b.eval("() => getComputedStyle(document.getElementById('login')).display") == "none"
    b.wait(".splash")
    b.shot("splash")
    b.press("Shift")  # the first key closes the splash
    b.wait(".splash", state="detached")

    assert b.texts(".menu-title") == ["System", "Reports", "Add", "View", "Window", "Help"]
    tools = b.eval("() => [...document.querySelectorAll('.toolbar')].map(t => [...t.children].map("
                   "c => c.dataset.command || (c.classList.contains('toolbar-separator') ? '|' : '')).join(' '))")
    assert tools == [" settings | view-connections view-domains view-users view-groups view-console | delete "
                     "add-user add-group add-domain",
                     " spy kill message",
                     " refresh add-directory build-index find-descriptions | set-security set-user set-group"]
    assert b.attr("button[data-command='view-connections']", "title") == "Connections"
    # Spy, Kill and Message need a selected connection.
    for cmd in ("spy", "kill", "message"):
        assert b.eval("(c) => document.querySelector(`button[data-command=${c}]`).disabled", cmd)

    clock = b.text("#clock")
    assert re.fullmatch(r"\d{1,2}:\d\d:\d\d( [AP]M)?", clock), clock
    b.wait_for("(t) => document.getElementById('clock').textContent !== t", clock, timeout=3000)

    # Hovering a button puts its prompt in the status bar.
    b.hover("button[data-command='settings']")
    assert "settings" in b.text(".pane-message").lower()

    # The View menu by keyboard: checked items follow the windows.
    b.press("Alt+v")
    b.wait(".dropdown")
    assert b.attr(".menu-item[data-command='view-connections']", "aria-checked") == "false"
    assert b.attr(".menu-item[data-command='toolbar-tools']", "aria-checked") == "true"
    b.shot("view-menu")
    b.press("n")  # Co&nnections
    b.wait(".panel-connections")
    b.press("Alt+v")
    assert b.attr(".menu-item[data-command='view-connections']", "aria-checked") == "true"
    b.press("Escape")
    assert b.count(".dropdown") == 0
    # Help > About: the version and the machine's memory.
    b.click(".menu-title[data-menu='Help']")
    b.click(".menu-item[data-command='about']")
    b.wait_text(".dialog .about", "Physical memory:")
    assert re.search(r"Kestrel Version \d+\.\d+", b.text(".dialog .about"))
    assert re.search(r"Physical memory: \d+ KB", b.text(".dialog .about"))
    b.press("Escape")
    b.wait(".dialog", state="detached")
    # No script failed, and nothing broke the content security policy (the 401s are the login's).
    assert not [e for e in b.events() if e["kind"] in ("pageerror", "dialog")
                or e["kind"] == "console" and "401" not in e["text"]], b.events()
    # A session on this engine shows up under its login name and goes when it ends.
    f = srv.ftp()
    f.login("alice", "secret")
    b.wait_text(ROW + " td:nth-child(2)", "alice")
    b.shot("frame")
    f.quit()
    b.wait(ROW, state="detached")


def test_session_row_lives_and_dies_with_the_connection(browser, srv):
    b = browser
    b.login(srv)
    open_view(b, "connections")
    b.wait(".panel-connections")
    assert b.texts(".panel-connections th") == ["Domain", "Name", "When", "Downloads", "Uploads", "Activity"]
    widths = b.eval("() => [...document.querySelectorAll('.panel-connections th')].map(c => c.getBoundingClientRect().width)")
    assert [round(w) for w in widths[:5]] == [80, 80, 90, 50, 50] and widths[5] >= 50
    # Every Activity text the row shows is recorded, however briefly it is there.
    b.eval("""() => { window.seen = new Set();
      new MutationObserver(() => document.querySelectorAll('.panel-connections td:nth-child(6)')
        .forEach(td => window.seen.add(td.textContent)))
        .observe(document.querySelector('.panel-connections tbody'), {subtree: true, childList: true}); }""")

    f = srv.ftp()
    b.wait_text(ROW + " td:nth-child(2)", "<unknown>")
    assert b.text(ROW + " td:nth-child(1)") == "Default"
    f.login("alice", "secret")
    b.wait_text(ROW + " td:nth-child(2)", "alice")
    f.retrbinary("RETR pub/big.bin", lambda data: None, blocksize=65536)
    b.wait_text(ROW + " td:nth-child(4)", "1")
    assert "RETR big.bin" in b.eval("() => [...window.seen]")
    b.wait_for("() => document.querySelector('.panel-connections td:nth-child(6)').textContent === ''")
    b.shot("connections", ".panel-connections")
    f.quit()
    b.wait(ROW, state="detached")


def test_context_menu_message_and_kill(browser, srv):
    b = browser
    b.login(srv)
    open_view(b, "connections")
    alice = srv.connect_raw()
    alice.reply()
    alice.cmd("USER alice")
    alice.cmd("PASS secret")
    b.wait_text(ROW, "alice")

    # By mouse: a right click selects the row and opens the menu there.
    b.click(ROW, button="right")
    assert b.texts(".context-menu .menu-label") == ["Kill", "Spy", "Message..."]
    assert b.attr(ROW, "aria-selected") == "true"
    b.shot("context-menu")
    b.press("Escape")
    assert b.count(".context-menu") == 0

    # By keyboard: Shift+F10 on the list, 5 pixels in from the window's corner.
    b.click(".panel-connections tbody")
    b.press("Shift+F10")
    b.wait(".context-menu")
    at = b.eval("() => { const m = document.querySelector('.context-menu').getBoundingClientRect();"
                " const p = document.querySelector('.panel-connections .panel-body').getBoundingClientRect();"
                " return [m.left - p.left, m.top - p.top]; }")
    assert at == [5, 5]
    b.press("ArrowDown")
    b.press("ArrowDown")
    b.press("Enter")  # Message...
    b.wait(".dialog input#message-text")
    assert b.text(".dialog-title") == "Send system message"
    assert b.attr("#message-text", "maxlength") == "100"
    b.fill("#message-text", "Back in 5")
    # Tab stays inside the dialog.
    for _ in range(5):
        b.press("Tab")
        assert b.eval("() => !!document.activeElement.closest('.dialog')")
    b.click("#message-text")
    b.shot("message-dialog", ".dialog")
    b.press("Enter")
    b.wait(".dialog", state="detached")
    reply = wait_for(lambda: (lambda r: r if any("Back in 5" in l for l in r) else None)(alice.cmd("NOOP")))
    assert reply[-1].startswith("200")
    # System > Broadcast... reaches every session the same way.
    b.click(".menu-title[data-menu='System']")
    b.click(".menu-item[data-command='broadcast']")
    b.fill("#message-text", "Going down soon")
    b.press("Enter")
    b.wait(".dialog", state="detached")
    wait_for(lambda: any("Going down soon" in l for l in alice.cmd("NOOP")))

    # Kill asks; Cancel keeps the session, OK ends it.
    b.click("button[data-command='kill']")
    b.wait_text(".message-text", "Really disconnect user(s)?")
    b.shot("kill-question", ".dialog")
    b.press("Escape")
    b.wait(".dialog", state="detached")
    assert alice.cmd("NOOP")[-1].startswith("200")
    b.click("button[data-command='kill']")
    b.wait_text(".message-text", "Really disconnect user(s)?")
    b.press("Enter")
    assert alice.closed()
    b.wait(ROW, state="detached")
    # With the row gone, nothing is selected and the buttons grey out again.
    assert b.eval("() => document.querySelector('button[data-command=kill]').disabled")


def test_spy_window_follows_commands_replies_and_progress(browser, srv):
    b = browser
    b.login(srv)
    open_view(b, "connections")
    open_view(b, "console")
    f = srv.ftp()
    b.wait(ROW)
    b.dblclick(ROW)
    b.wait(".panel-spy")
    assert b.text(".panel-spy h2") == "Default:Unknown (127.0.0.1)"
    # The canvas pane's state is mirrored in its data attributes; record what it shows.
    b.eval("""() => { window.progress = [];
      const c = document.querySelector('.panel-spy canvas');
      new MutationObserver(() => window.progress.push([c.dataset.mode, Number(c.dataset.value)]))
        .observe(c, {attributes: true}); }""")
    f.login("alice", "secret")
    f.retrbinary("RETR pub/big.bin", lambda data: None)
    b.wait_text(".panel-spy .spy-log", "226")
    log = b.text(".panel-spy .spy-log")
    for part in ("USER alice", "230", "RETR pub/big.bin", "150", "226"):
        assert part in log, log
    assert log.index("RETR pub/big.bin") < log.index("150") < log.index("226")
    progress = b.eval("() => window.progress")
    downloads = [v for mode, v in progress if mode == "download"]
    assert downloads and max(downloads) == 100, progress
    assert downloads == sorted(downloads)
    b.shot("spy", ".panel-spy")
    f.sendcmd("SITE MSG Downloaded the big file, thanks")
    b.wait_text(".console-text", "thanks")
    b.click(ROW)
    b.shot("overview")
    f.quit()
    b.wait(".panel-spy[data-connected='false']")
    assert "221" in b.text(".panel-spy .spy-log")
    b.click(".panel-spy .panel-close")
    b.wait(".panel-spy", state="detached")
    assert srv.api("GET", "/api/spies")[1]["spies"] == []


def test_message_console_shows_site_msg(browser, srv):
    b = browser
    b.login(srv)
    f = srv.ftp()
    f.login("alice", "secret")
    f.sendcmd("SITE MSG sent while closed")
    open_view(b, "console")
    b.wait(".panel-console")
    assert b.text(".panel-console h2") == "Message Console"
    f.sendcmd("SITE MSG hello from alice")
    b.wait_text(".console-text", "hello from alice")
    assert "sent while closed" not in b.text(".console-text")
    b.shot("console", ".panel-console")
    # Console > Clear, from the menu the active window brings.
    b.click(".panel-console .panel-title")
    b.click(".menu-title[data-menu='Console']")
    b.click(".menu-item[data-command='console-clear']")
    b.wait_for("() => document.querySelector('.console-text').textContent === ''")
    f.quit()


def test_settings_sheet_writes_the_settings_file_and_marks_bad_fields(browser, srv):
    b = browser
    b.login(srv)
    # By keyboard: Alt+S, Enter on Settings...
    b.press("Alt+s")
    b.wait(".dropdown")
    b.press("Enter")
    b.wait(".sheet-dialog")
    assert b.texts(".sheet-dialog .tab") == ["General", "Database", "Encryption", "Logging", "Service"]
    b.shot("settings-general", ".dialog")

    # The sheet's own range check: a box, then the message on the control.
    b.fill(".sheet-dialog input[name='Timeout']", "5")
    b.press("Enter")
    b.wait_text(".message-dialog .message-text", "Please enter an integer between 30 and 7200.")
    b.press("Enter")
    b.wait_text(".field.invalid .field-error", "Please enter an integer between 30 and 7200.")
    assert b.attr(".field.invalid", "data-field") == "Timeout"

    b.fill(".sheet-dialog input[name='Timeout']", "900")
    b.click(".sheet-dialog .tab:text('Logging')")
    b.click("label:text('Download')")
    b.shot("settings-logging", ".dialog")

    # A refusal from the server lands on the control it names.
    b.click(".sheet-dialog .tab:text('Service')")
    b.click("label:text('This User')")
    b.fill(".sheet-dialog input[name='account']", "bad name!")
    b.click(".dialog-buttons button:text('OK')")
    b.wait(".field.invalid[data-field='account'] .field-error")
    assert "not a valid account name" in b.text(".field.invalid .field-error")
    b.shot("settings-service", ".dialog")
    # The pages already saved stay saved; the sheet stays open for the fix.
    assert re.search(r"^Timeout=900$", settings_file(srv), re.M)
    assert re.search(r"^LogDOWNLOAD=1$", settings_file(srv), re.M)

    # Fixed, the unit is written and the page shows it with what to run next.
    b.click("label:text('Manual')")
    b.fill(".sheet-dialog input[name='account']", "nobody")
    b.click(".dialog-buttons button:text('OK')")
    b.wait(".unit-dialog")
    assert "systemctl daemon-reload" in b.text(".unit-dialog .message-text")
    unit = b.text(".unit-dialog .unit-text")
    assert "User=nobody" in unit
    with open(srv.env["KESTREL_SERVICE_UNIT"]) as f:
        assert f.read() == unit
    b.shot("service-unit", ".dialog")
    b.press("Enter")
    b.wait(".dialog", state="detached")


def test_exit_question_answered_from_the_page(browser):
    b = browser
    with make_server() as srv:
        exit_from_the_page(b, srv)


def exit_from_the_page(b, srv):
    b.login(srv)
    f = srv.ftp()
    f.login("alice", "secret")
    # A stop from outside asks in every open console; an answer from one takes the box off the others.
    srv.proc.send_signal(signal.SIGTERM)
    b.wait_text(".message-text", "There are still users connected.  Really exit?")
    assert srv.api("POST", "/api/exit", answers=["Cancel"])[1]["state"] == "running"
    b.wait(".dialog", state="detached")
    # Cancel from the page keeps the program and its users.
    srv.proc.send_signal(signal.SIGTERM)
    b.wait_text(".message-text", "There are still users connected.  Really exit?")
    b.press("Escape")
    b.wait(".dialog", state="detached")
    assert f.voidcmd("NOOP").startswith("200") and srv.proc.poll() is None

    b.click(".menu-title[data-menu='System']")
    b.click(".menu-item[data-command='exit']")
    b.wait_text(".message-text", "There are still users connected.  Really exit?")
    b.shot("exit-question", ".dialog")
    b.press("Enter")
    b.wait("#ended")
    assert "ended" in b.text("#ended-text")
    assert srv.proc.wait(timeout=30) == 0
    # The page stops trying once the program has ended.
    time.sleep(2)
    assert not [e for e in b.events() if e["kind"] == "pageerror" or "ERR_CONNECTION_REFUSED" in e["text"]]


def test_hostile_names_show_as_text(browser, srv):
    b = browser
    srv.add_user(HOSTILE, "pw", group=srv.group_id("staff"))
    b.login(srv)
    open_view(b, "connections")
    open_view(b, "console")
    f = srv.ftp()
    f.login(HOSTILE, "pw")
    b.wait_text(ROW + " td:nth-child(2)", HOSTILE)
    f.sendcmd("SITE MSG " + HOSTILE)
    b.wait_text(".console-text", HOSTILE)
    assert b.count("img") == 0
    b.click(ROW)
    b.click("button[data-command='spy']")
    b.wait(".panel-spy")
    assert HOSTILE in b.text(".panel-spy h2")
    assert b.count("img") == 0
    assert not [e for e in b.events() if e["kind"] == "dialog"]
    f.quit()


def test_layout_kept_in_the_position_section(browser, srv):
    b = browser
    b.login(srv)
    open_view(b, "connections")
    b.wait(".panel-connections")
    before = b.eval("() => parseInt(document.querySelector('.panel-connections').style.left)")
    b.drag(".panel-connections .panel-title", 100, 60, x=60, y=8)
    wait_for(lambda: "ConnectionsX=" in settings_file(srv))
    x = int(re.search(r"^ConnectionsX=(\d+)", settings_file(srv), re.M).group(1))
    assert x == before + 100
    b.login(srv)
    b.wait(".panel-connections")
    assert b.eval("() => parseInt(document.querySelector('.panel-connections').style.left)") == x


def test_frame_fits_both_screen_sizes(browser, srv):
    b = browser
    for width, height in ((1280, 800), (1920, 1080)):
        srv.api("PUT", "/api/windows/console", {"open": True})
        b.login(srv, width, height)
        b.wait(".panel-console")
        assert b.eval("() => document.documentElement.scrollWidth <= innerWidth"
                      " && document.documentElement.scrollHeight <= innerHeight")
        b.shot("frame-%dx%d" % (width, height))


class DroppingProxy:
    """A loopback TCP relay to the console whose connections the test can cut,
    as a network drop would, and then let through again."""

    def __init__(self, port):
        self.upstream = port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.down = False
        self.open = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            if self.down:
                client.close()
                continue
            server = socket.create_connection(("127.0.0.1", self.upstream))
            with self.lock:
                self.open += [client, server]
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    @staticmethod
    def _pump(a, b):
        try:
            while True:
                data = a.recv(65536)
                if not data:
                    break
                b.sendall(data)
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def drop(self):
        self.down = True
        with self.lock:
            for s in self.open:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.open = []

    def restore(self):
        self.down = False

    def close(self):
        self.drop()
        self.listener.close()


def test_streams_come_back_after_a_network_drop_with_nothing_stale(browser, srv):
    b = browser
    proxy = DroppingProxy(srv.console_port)
    try:
        b.goto("http://127.0.0.1:%d/" % proxy.port)
        b.fill("#login-password", srv.console_password)
        b.press("Enter")
        b.wait(".splash")
        b.click(".splash")
        open_view(b, "connections")
        open_view(b, "console")
        b.wait(".panel-console")
        proxy.drop()
        b.wait_text(".pane-message", "lost")
        # What happens meanwhile reaches the server only.
        f = srv.ftp()
        f.login("alice", "secret")
        f.sendcmd("SITE MSG while the page was away")
        time.sleep(1)
        proxy.restore()
        b.wait_text(ROW + " td:nth-child(2)", "alice", timeout=20000)
        b.wait_text(".console-text", "while the page was away")
        assert b.text(".pane-message") == "Ready"
        f.quit()
        b.wait(ROW, state="detached")
    finally:
        b.goto("about:blank")
        proxy.close()


def test_server_notice_shows_as_a_message_box(browser):
    b = browser
    # No database: the program serves the console alone and says why.
    with Server("sqlite", settings={"Settings": {"Database": "NoSuchDataSource"}}, start=False) as srv:
        srv.log = open(os.path.join(srv.tmp, "kestrel.log"), "w+")
        srv.proc = subprocess.Popen([BINARY], env=srv.env, stdout=srv.log, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)
        srv.wait_console()
        b.login(srv)
        b.wait_text(".message-dialog .message-text", "Missing or invalid database")
        b.shot("notice", ".dialog")
        b.press("Enter")
        b.wait(".dialog", state="detached")
        b.goto("about:blank")
