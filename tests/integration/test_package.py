"""The Debian package as scripts/package builds it, unpacked into a
throw-away root with dpkg-deb -x: the unpacked program, scripts and pages
must work together from there, and the unit must satisfy systemd."""
import glob
import os
import re
import shutil
import subprocess
import urllib.request

import pytest

from harness import SOURCE, Server

PACKAGE_DIR = os.environ.get("KESTREL_PACKAGE_DIR", os.path.join(SOURCE, "build"))


@pytest.fixture(scope="module")
def deb():
    debs = sorted(glob.glob(os.path.join(PACKAGE_DIR, "kestrel_*_amd64.deb")))
    if not debs:
        pytest.skip("no package in %s: run scripts/package" % PACKAGE_DIR)
    return debs[-1]


@pytest.fixture(scope="module")
def root(deb, tmp_path_factory):
    r = tmp_path_factory.mktemp("pkgroot")
    subprocess.run(["dpkg-deb", "-x", deb, str(r)], check=True)
    return str(r)


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", deb, name], check=True, capture_output=True, text=True).stdout.strip()


def test_package_name_and_layout(deb, root):
    assert os.path.basename(deb) == "kestrel_3.0_amd64.deb"
    for path in ("usr/bin/kestrel", "usr/lib/kestrel/libsqlserial.so", "usr/share/kestrel/web/index.html",
                 "usr/share/kestrel/db/schema-sqlite.sql", "usr/share/kestrel/db/schema-postgresql.sql",
                 "usr/share/kestrel/db/create-datasource", "usr/share/kestrel/db/seed-demo",
                 "lib/systemd/system/kestrel.service", "usr/share/man/man8/kestrel.8.gz",
                 "usr/share/doc/kestrel/copyright"):
        assert os.path.exists(os.path.join(root, path)), path
    for program in ("usr/bin/kestrel", "usr/share/kestrel/db/create-datasource"):
        assert os.access(os.path.join(root, program), os.X_OK), program
    # The program finds its private library through its run path, not the system's.
    dyn = subprocess.run(["readelf", "-d", os.path.join(root, "usr/bin/kestrel")],
                         check=True, capture_output=True, text=True).stdout
    assert "$ORIGIN/../lib/kestrel" in dyn
    assert "libodbc" not in dyn


def test_package_depends_on_the_run_time_packages_only(deb):
    depends = [d.strip().split()[0] for d in field(deb, "Depends").split(",")]
    for needed in ("libodbc2", "libsqliteodbc", "sqlite3", "adduser", "libc6"):
        assert needed in depends, depends
    assert not [d for d in depends if d.endswith("-dev") or d in ("libgtest-dev", "cmake")], depends


def test_maintainer_scripts_are_there(deb, tmp_path):
    control = tmp_path / "control"
    subprocess.run(["dpkg-deb", "-e", deb, str(control)], check=True)
    postinst = (control / "postinst").read_text()
    assert "adduser" in postinst and "create-datasource" in postinst
    assert "rm -rf /var/lib/kestrel" in (control / "postrm").read_text()
    for script in ("postinst", "prerm", "postrm"):
        subprocess.run(["sh", "-n", str(control / script)], check=True)


def test_unpacked_program_answers_help_and_version(root, tmp_path):
    program = os.path.join(root, "usr/bin/kestrel")
    env = dict(os.environ, KESTREL_SETTINGS=str(tmp_path / "k.ini"))
    r = subprocess.run([program, "--version"], capture_output=True, text=True, env=env, timeout=30)
    assert r.returncode == 0 and r.stdout.startswith("Kestrel 3.0\ncommit "), r
    r = subprocess.run([program, "--help"], capture_output=True, text=True, env=env, timeout=30)
    assert r.returncode == 0
    # The pages beside the unpacked program, not the source tree's.
    assert os.path.join(root, "usr/share/kestrel/web") in r.stdout
    assert not (tmp_path / "k.ini").exists()


def test_unpacked_program_serves_ftp_and_its_console(root):
    with Server("sqlite", start=False, binary=os.path.join(root, "usr/bin/kestrel"),
                db_dir=os.path.join(root, "usr/share/kestrel/db")) as srv:
        srv.env.pop("KESTREL_WEB_DIR", None)
        srv.start()
        f = srv.ftp()
        assert f.login("anonymous", "guest@example.org").startswith("230")
        f.quit()
        srv.wait_console()
        with urllib.request.urlopen("http://127.0.0.1:%d/" % srv.console_port, timeout=30) as r:
            page = r.read()
        with open(os.path.join(root, "usr/share/kestrel/web/index.html"), "rb") as f:
            assert page == f.read()
        srv.stop()
        assert "Settings: %s" % srv.env["KESTREL_SETTINGS"] in srv.output


def test_release_build_from_the_package_run_starts_once():
    # The package's own build folder holds the run build (tests off, GTest hidden).
    program = os.path.join(PACKAGE_DIR, "package", "kestrel")
    if not os.path.exists(program):
        pytest.skip("no package build in %s" % PACKAGE_DIR)
    cache = open(os.path.join(PACKAGE_DIR, "package", "CMakeCache.txt")).read()
    assert "KESTREL_TESTS:BOOL=OFF" in cache
    assert re.search(r"^CMAKE_DISABLE_FIND_PACKAGE_GTest:\w+=ON$", cache, re.M)
    assert "CMAKE_BUILD_TYPE:STRING=Release" in cache
    with Server("sqlite", binary=program) as srv:
        assert srv.ftp().getwelcome().startswith("220")


def test_unit_passes_systemd_analyze(root):
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        pytest.skip("systemd-analyze is not installed")
    unit = os.path.join(root, "lib/systemd/system/kestrel.service")
    text = open(unit).read()
    for line in ("Type=notify", "User=kestrel", "AmbientCapabilities=CAP_NET_BIND_SERVICE", "LimitNOFILE=65536",
                 "NoNewPrivileges=yes", "ProtectSystem=full", "PrivateTmp=yes", "Restart=on-failure",
                 'ExecStart="/usr/bin/kestrel" -s', 'Environment="KESTREL_SETTINGS=/var/lib/kestrel/Kestrel.ini"',
                 'Environment="ODBCINI=/var/lib/kestrel/odbc.ini"', "WantedBy=multi-user.target"):
        assert line + "\n" in text, line
    # systemd checks that ExecStart's program exists: point a copy at the
    # unpacked one (the host's own units satisfy the dependencies).
    copy = os.path.join(os.path.dirname(root), "verify", "kestrel.service")
    os.makedirs(os.path.dirname(copy), exist_ok=True)
    with open(copy, "w") as f:
        f.write(text.replace('ExecStart="/usr/bin/kestrel"', 'ExecStart="%s/usr/bin/kestrel"' % root))
    r = subprocess.run([analyze, "verify", "--man=no", copy], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr


def test_console_service_page_writes_the_packaged_unit(root, tmp_path):
    # One source for both: the page's unit differs only in the paths it runs with.
    packaged = open(os.path.join(root, "lib/systemd/system/kestrel.service")).read()
    written = tmp_path / "kestrel.service"
    program = os.path.join(root, "usr/bin/kestrel")
    with Server("sqlite", start=False, binary=program, db_dir=os.path.join(root, "usr/share/kestrel/db")) as srv:
        srv.env["KESTREL_SERVICE_UNIT"] = str(written)
        srv.start()
        srv.wait_console()
        status, body = srv.api("PUT", "/api/service", {"startType": "automatic", "logOnAs": "user",
                                                        "account": "kestrel"})
        assert status == 200 and body["installed"] is True, body
        expected = (packaged.replace('"/usr/bin/kestrel"', '"%s"' % program)
                    .replace("/var/lib/kestrel/Kestrel.ini", srv.env["KESTREL_SETTINGS"])
                    .replace("/var/lib/kestrel/odbc.ini", srv.env["ODBCINI"]))
        assert written.read_text() == expected
