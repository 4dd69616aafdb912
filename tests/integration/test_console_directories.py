"""The Directories window, the account and domain sheets, refresh, index files
and reports, driven in headless chromium (tests/browser/directories.mjs) against
the real program, with FTP clients checking what the server then does.
Screenshots of each window go to build/screenshots/directories-<engine>/."""
import os
import shutil
import subprocess
import tempfile

import pytest

from harness import SOURCE, Server

BROWSER_DIR = os.path.join(SOURCE, "tests", "browser")


def server_log(srv):
    try:
        return srv.read_log()[-4000:]
    except OSError:
        return srv.output[-4000:]


def run_scenario(srv, engine):
    if not os.path.isdir(os.path.join(BROWSER_DIR, "node_modules", "playwright-core")):
        pytest.skip("playwright-core is not installed (scripts/install-deps --test)")
    # Short: the File and Tree Reports take output names of at most 50 characters.
    scratch = tempfile.mkdtemp(prefix="kd")
    try:
        env = dict(os.environ,
                   KESTREL_CONSOLE_URL="http://127.0.0.1:%d/" % srv.console_port,
                   KESTREL_CONSOLE_PASSWORD=srv.console_password,
                   KESTREL_FTP_PORT=str(srv.port),
                   KESTREL_SCRATCH=scratch,
                   KESTREL_SCREENSHOTS=os.path.join(SOURCE, "build", "screenshots", "directories-" + engine))
        r = subprocess.run(["node", os.path.join(BROWSER_DIR, "directories.mjs")], env=env, cwd=BROWSER_DIR,
                           capture_output=True, text=True, timeout=240)
        assert r.returncode == 0 and "scenario passed" in r.stdout, \
            "scenario failed\n--- stdout\n%s\n--- stderr\n%s\n--- server\n%s" % (r.stdout, r.stderr[-6000:],
                                                                             server_log(srv))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def test_directories_accounts_refresh_reports_blocking(engine):
    """Domain, group and user made in the page log in over FTP; a limit past its range
    is refused; a directory is added with "Create?", refreshed, secured, linked by a
    drag, indexed, reported on and deleted with its files; a blocked address is refused."""
    with Server(engine) as srv:
        run_scenario(srv, engine)
