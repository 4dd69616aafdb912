"""Operating the program: the two information command lines, what it prints
at start, the browser in GUI mode and the service mode's log lines."""
import os
import re
import stat
import subprocess
import time

import pytest

from harness import BINARY, Server

ALL_RIGHTS = range(1, 12)


def run_info(args, tmp_path, binary=BINARY):
    settings = tmp_path / "Kestrel.ini"
    env = dict(os.environ, KESTREL_SETTINGS=str(settings), ODBCINI=str(tmp_path / "odbc.ini"))
    env.pop("DISPLAY", None)
    r = subprocess.run([binary] + args, env=env, capture_output=True, text=True, timeout=30,
                       stdin=subprocess.DEVNULL)
    return r, settings


# --- --help and --version ----------------------------------------------------

def test_help_prints_usage_and_starts_nothing(tmp_path):
    r, settings = run_info(["--help"], tmp_path)
    assert r.returncode == 0, r.stderr
    for word in ("-s", "GUI mode", "KESTREL_SETTINGS", "ODBCINI", "KESTREL_WEB_DIR", "--version"):
        assert word in r.stdout, word
    # Nothing was started: no settings written, no console password, no lock.
    assert not settings.exists()
    assert os.listdir(tmp_path) == []
    assert r.stderr == ""


def test_version_names_the_release_and_the_commit(tmp_path):
    r, settings = run_info(["--version"], tmp_path)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "Kestrel 3.0"
    assert re.fullmatch(r"commit ([0-9a-f]{7,40}(-modified)?|unknown)", lines[1]), lines
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("args", [["--help", "x"], ["--versions"], ["-h"], ["-s", "--help"]])
def test_every_other_command_line_starts_gui_mode(args):
    with Server("sqlite", start=False) as srv:
        srv.start(args)
        assert srv.ftp().getwelcome().startswith("220")
        srv.wait_console()
        srv.stop()
        assert "Usage:" not in srv.output


# --- start-up lines and the browser -----------------------------------------

def test_start_says_where_settings_data_source_and_console_are():
    with Server("sqlite") as srv:
        srv.wait_console()
        srv.stop()
        out = srv.output
        assert "Settings: %s\n" % srv.env["KESTREL_SETTINGS"] in out
        assert re.search(r"Data source: %s \(user data sources: %s" % (srv.dsn, re.escape(srv.env["ODBCINI"])), out), out
        assert "Console: http://127.0.0.1:%d/" % srv.console_port in out


def fake_browser(tmp_path):
    """An xdg-open that records what it was asked to open."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    opened = tmp_path / "opened"
    script = bindir / "xdg-open"
    script.write_text("#!/bin/sh\nprintf '%%s\\n' \"$1\" >> %s\n" % opened)
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    return str(bindir), opened


def wait_file(path, timeout=15):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if path.exists() and path.read_text():
            return path.read_text()
        time.sleep(0.05)
    return ""


def test_gui_mode_with_a_desktop_opens_the_console(tmp_path):
    bindir, opened = fake_browser(tmp_path)
    with Server("sqlite", start=False) as srv:
        srv.env["PATH"] = bindir + os.pathsep + srv.env.get("PATH", "")
        srv.env["DISPLAY"] = ":99"
        srv.start()
        assert wait_file(opened) == "http://127.0.0.1:%d/\n" % srv.console_port


@pytest.mark.parametrize("desktop, args", [(False, []), (True, ["-s"])])
def test_no_browser_without_a_desktop_or_in_service_mode(tmp_path, desktop, args):
    bindir, opened = fake_browser(tmp_path)
    with Server("sqlite", start=False) as srv:
        srv.env["PATH"] = bindir + os.pathsep + srv.env.get("PATH", "")
        if desktop:
            srv.env["WAYLAND_DISPLAY"] = "wayland-0"
        srv.start(args)
        srv.wait_console()
        srv.stop()
        assert not opened.exists()


def test_a_desktop_without_xdg_open_is_quietly_skipped(tmp_path):
    with Server("sqlite", start=False) as srv:
        srv.env["PATH"] = str(tmp_path)  # nothing in it
        srv.env["DISPLAY"] = ":99"
        srv.start()
        srv.wait_console()
        srv.stop()
        assert "xdg-open" not in srv.output


# --- service mode's log -------------------------------------------------------

def test_service_mode_lines_carry_their_priority_and_never_a_password():
    with Server("sqlite", start=False) as srv:
        srv.start(["-s"])
        srv.wait_console()
        staff = srv.add_group("staff", rights=ALL_RIGHTS)
        srv.add_user("alice", "secret", group=staff)
        f = srv.ftp()
        f.login("alice", "secret")
        # The Console window is closed, yet the journal keeps the line.
        f.sendcmd("SITE MSG hello journal")
        # A user who types the console password into a message must not put it in the log.
        f.sendcmd("SITE MSG the password is %s" % srv.console_password)
        # A second instance asks this one to show itself: an information notice.
        second = subprocess.run([srv.binary], env=srv.env, capture_output=True, text=True, timeout=30,
                                stdin=subprocess.DEVNULL)
        assert second.returncode == 0
        deadline = time.time() + 15
        while time.time() < deadline and "already running" not in srv.read_log():
            time.sleep(0.05)
        f.quit()
        srv.stop()
        out = srv.output
        assert "<6>alice: hello journal\n" in out, out
        assert "<6>alice: the password is ********\n" in out, out
        assert "<6>Kestrel is already running.\n" in out, out
        assert srv.console_password not in out


def test_service_mode_database_failure_is_an_error_on_every_line():
    with Server("sqlite", start=False, settings={"Settings": {"Database": "NoSuchSource",
                                                               "DBPassword": "db-secret-pw"}}) as srv:
        r = subprocess.run([srv.binary, "-s"], env=srv.env, capture_output=True, text=True, timeout=60,
                           stdin=subprocess.DEVNULL)
        assert r.returncode == 1
        lines = r.stderr.splitlines()
        assert lines[0] == "<3>Missing or invalid database", r.stderr
        assert len(lines) >= 2 and all(l.startswith("<3>") for l in lines), r.stderr
        assert "db-secret-pw" not in r.stderr + r.stdout


def test_gui_mode_keeps_plain_lines():
    with Server("sqlite", start=False, settings={"Settings": {"Database": "NoSuchSource"}}) as srv:
        proc = subprocess.Popen([srv.binary], env=srv.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, stdin=subprocess.DEVNULL)
        try:
            srv.wait_console()
        finally:
            proc.terminate()
            try:
                out, err = proc.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                out, err = proc.communicate()
        assert proc.returncode == 0, err
        assert err.startswith("Missing or invalid database\n("), err
        assert "<3>" not in err


def test_service_mode_without_its_port_says_so_in_the_service_status():
    """Another program holds the FTP port: the service still starts (Port can
    be fixed in the console) but its status must not claim a plain "Running"."""
    import socket
    with Server("sqlite", start=False) as srv, \
            socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder, \
            socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
        holder.bind(("0.0.0.0", srv.port))
        holder.listen()
        path = os.path.join(srv.tmp, "notify")
        manager.bind(path)
        manager.settimeout(30)
        env = dict(srv.env, NOTIFY_SOCKET=path)
        proc = subprocess.Popen([srv.binary, "-s"], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)
        try:
            messages = []
            while not any("not listening" in m for m in messages):
                messages.append(manager.recv(4096).decode())
            assert any(m.startswith("READY=1") for m in messages), messages
            assert messages[-1] == "STATUS=Running, but not listening for FTP clients: see the console's notices"
        finally:
            proc.terminate()
            _, err = proc.communicate(timeout=30)
        assert "<3>Failed to create socket for net port %d.  Error 98" % srv.port in err, err
