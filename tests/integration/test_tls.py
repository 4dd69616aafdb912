"""Explicit FTPS: AUTH TLS, PBSZ and PROT with the clients people use (curl,
lftp, Python's ftplib), the TLSRequired setting, and handshakes that stall or
send garbage."""
import ftplib
import io
import os
import socket
import ssl
import subprocess

import pytest

from harness import Server, wait_for

CONTENT = bytes(range(256)) * 4000 + b"tail"  # about 1 MB, every byte value


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    """A throw-away self-signed certificate and key."""
    d = tmp_path_factory.mktemp("tls")
    cert, key = str(d / "cert.pem"), str(d / "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


def tls_server(engine, pair, **settings):
    values = {"TLSCertificate": pair[0], "TLSKey": pair[1]}
    values.update(settings)
    return Server(engine, settings={"Settings": values})


class Site:
    """alice (password secret) owns /up, holding big.bin."""

    def __init__(self, srv):
        self.srv = srv
        self.alice = srv.add_user("alice", "secret")
        root = srv.query('select "root directory" from users where id=%d' % self.alice)[0][0]
        self.up_disk = srv.disk("up")
        self.up = srv.add_dir(root, "up", self.up_disk, owner=self.alice)
        srv.add_file(self.up, "big.bin", content=CONTENT, owner=self.alice)

    def uploaded(self, name):
        with open(os.path.join(self.up_disk, name), "rb") as f:
            return f.read()


@pytest.fixture
def site(engine, pair):
    with tls_server(engine, pair) as srv:
        yield Site(srv)


def client_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def ftps(srv):
    f = ftplib.FTP_TLS(context=client_context(), timeout=10)
    f.connect("127.0.0.1", srv.port)
    return f


# --- clients -----------------------------------------------------------------

def test_ftplib_lists_downloads_and_uploads_over_tls(site):
    f = ftps(site.srv)
    f.login("alice", "secret")  # AUTH TLS first, then USER and PASS
    assert f.sock.version() in ("TLSv1.2", "TLSv1.3")
    f.prot_p()
    f.cwd("/up")
    assert f.nlst() == ["big.bin"]
    assert [n for n, _ in f.mlsd()] == ["big.bin"]
    got = io.BytesIO()
    f.retrbinary("RETR big.bin", got.write)
    assert got.getvalue() == CONTENT
    f.storbinary("STOR back.bin", io.BytesIO(CONTENT))
    assert site.uploaded("back.bin") == CONTENT
    # Active mode: the server connects out and is still the TLS server.
    f.set_pasv(False)
    got = io.BytesIO()
    f.retrbinary("RETR back.bin", got.write)
    assert got.getvalue() == CONTENT
    f.set_pasv(True)
    # PROT C: the data goes in clear again, the control connection stays TLS.
    f.prot_c()
    got = io.BytesIO()
    f.retrbinary("RETR back.bin", got.write)
    assert got.getvalue() == CONTENT
    f.quit()


def test_curl_requires_tls_and_moves_bytes(site, tmp_path):
    url = site.srv.url("alice", "secret", "/up/")
    base = ["curl", "-sS", "--ssl-reqd", "-k", "--max-time", "30"]
    r = subprocess.run(base + [url], capture_output=True)
    assert r.returncode == 0, r.stderr
    assert b"big.bin" in r.stdout
    out = tmp_path / "big.bin"
    r = subprocess.run(base + ["-o", str(out), url + "big.bin"], capture_output=True)
    assert r.returncode == 0, r.stderr
    assert out.read_bytes() == CONTENT
    r = subprocess.run(base + ["-T", str(out), url + "curl.bin"], capture_output=True)
    assert r.returncode == 0, r.stderr
    assert site.uploaded("curl.bin") == CONTENT


def test_curl_clear_command_channel_is_refused(site, tmp_path):
    url = site.srv.url("alice", "secret", "/up/big.bin")
    r = subprocess.run(["curl", "-v", "-sS", "--ssl-reqd", "-k", "--ftp-ssl-ccc", "--max-time", "30",
                        "-o", str(tmp_path / "x"), url], capture_output=True)
    # curl asks, is refused and goes on with the control connection still encrypted.
    assert b"> CCC" in r.stderr
    assert b"< 534 CCC refused" in r.stderr
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "x").read_bytes() == CONTENT


def test_lftp_forces_tls_for_everything(site, tmp_path):
    local = tmp_path / "from-lftp.bin"
    local.write_bytes(CONTENT[::-1])
    script = ("set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:verify-certificate no; "
              "set net:max-retries 1; set net:timeout 10; set cmd:fail-exit true; "
              "open -u alice,secret -p %d 127.0.0.1; cd up; ls; get big.bin -o %s; put %s; bye"
              % (site.srv.port, tmp_path / "got.bin", local))
    r = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=60, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert b"big.bin" in r.stdout
    assert (tmp_path / "got.bin").read_bytes() == CONTENT
    assert site.uploaded("from-lftp.bin") == CONTENT[::-1]


# --- commands ------------------------------------------------------------------

def test_feat_offers_tls_and_the_commands_keep_their_order(site):
    c = site.srv.connect_raw()
    c.reply()
    assert c.cmd("FEAT")[:4] == ["211-Features:", " AUTH TLS", " PBSZ", " PROT"]
    assert c.cmd("PBSZ 0")[0].startswith("503")
    assert c.cmd("PROT P")[0].startswith("503")
    assert c.cmd("AUTH KERBEROS")[0].startswith("504")
    c.close()
    f = ftps(site.srv)
    f.auth()
    with pytest.raises(ftplib.error_perm, match="^503"):
        f.sendcmd("AUTH TLS")
    with pytest.raises(ftplib.error_perm, match="^503"):
        f.sendcmd("PROT P")  # PBSZ comes first
    assert f.sendcmd("PBSZ 0") == "200 PBSZ=0"
    with pytest.raises(ftplib.error_perm, match="^536"):
        f.sendcmd("PROT S")
    with pytest.raises(ftplib.error_perm, match="^534"):
        f.sendcmd("CCC")
    f.login("alice", "secret")
    f.quit()


@pytest.mark.parametrize("level", [1, 2])
def test_tls_required_refuses_clear_text_logins(engine, pair, level):
    with tls_server(engine, pair, TLSRequired=level) as srv:
        Site(srv)
        c = srv.connect_raw()
        c.reply()
        # Refused at USER: the password never has to cross in clear text.
        assert c.cmd("USER alice") == ["530 This server requires TLS: send AUTH TLS before logging in."]
        anonymous = c.cmd("USER anonymous")[0]
        assert anonymous.startswith("331" if level == 1 else "530")
        c.close()
        f = ftps(srv)
        f.login("alice", "secret")
        f.quit()


# --- hostile handshakes ----------------------------------------------------------

def ended(client, timeout):
    """The server closed the connection, or reset it."""
    try:
        return client.closed(timeout=timeout)
    except ConnectionResetError:
        return True


def open_descriptors(srv):
    return len(os.listdir("/proc/%d/fd" % srv.proc.pid))


def test_garbage_and_stalled_handshakes_end_without_leaks(engine, pair):
    with tls_server(engine, pair, Timeout=2) as srv:
        Site(srv)
        f = ftps(srv)  # one good session first, so every lazy descriptor is open
        f.login("alice", "secret")
        f.quit()
        baseline = open_descriptors(srv)
        garbage = srv.connect_raw()
        garbage.reply()
        assert garbage.cmd("AUTH TLS")[0].startswith("234")
        garbage.send(b"\x16\x03\x01\x00\x05hello, this is not TLS at all\r\n" * 4)
        assert ended(garbage, 10)
        stalled = srv.connect_raw()
        stalled.reply()
        assert stalled.cmd("AUTH TLS")[0].startswith("234")
        # Meanwhile another client is served as usual.
        g = ftps(srv)
        g.login("alice", "secret")
        g.prot_p()
        got = io.BytesIO()
        g.retrbinary("RETR /up/big.bin", got.write)
        assert got.getvalue() == CONTENT
        g.quit()
        # The stalled handshake ends at the idle limit, not never.
        assert ended(stalled, 20)
        garbage.close()
        stalled.close()
        wait_for(lambda: open_descriptors(srv) <= baseline, timeout=20)


def test_unreadable_certificate_gives_a_notice_and_plain_ftp(engine, tmp_path):
    missing = str(tmp_path / "none.pem")
    settings = {"TLSCertificate": missing, "TLSKey": missing, "TLSRequired": 1}
    with Server(engine, settings={"Settings": settings}) as srv:
        wait_for(lambda: "TLS is off" in srv.read_log())
        c = srv.connect_raw()
        c.reply()
        assert c.cmd("AUTH TLS") == ["500 'AUTH TLS': Unknown command"]
        assert " AUTH TLS" not in c.cmd("FEAT")
        # A requirement that cannot be met keeps named logins out rather
        # than let their passwords cross in clear text; anonymous goes on.
        assert c.cmd("USER alice")[0].startswith("530 This server requires TLS")
        assert c.cmd("USER anonymous")[0].startswith("331")
        c.close()


# --- the console ------------------------------------------------------------------

def test_console_serves_https_with_the_same_pair_and_a_secure_cookie(pair):
    import http.client
    import json
    with Server("sqlite", settings={"Settings": {"TLSCertificate": pair[0], "TLSKey": pair[1]},
                                    "Console": {"TLS": 1}}) as srv:
        srv.wait_console()
        conn = http.client.HTTPSConnection("127.0.0.1", srv.console_port, timeout=30, context=client_context())
        conn.request("POST", "/api/login", body=json.dumps({"password": srv.console_password}),
                     headers={"Content-Type": "application/json"})
        r = conn.getresponse()
        r.read()
        assert r.status == 200
        cookie = r.getheader("Set-Cookie")
        assert "HttpOnly" in cookie and "SameSite=Strict" in cookie and cookie.endswith("; Secure")
        conn.close()
        # Clear text gets no console.
        plain = http.client.HTTPConnection("127.0.0.1", srv.console_port, timeout=10)
        with pytest.raises((http.client.HTTPException, ConnectionError, OSError)):
            plain.request("GET", "/api/session")
            plain.getresponse().read()


def test_settings_sheet_reads_and_checks_the_tls_values(site, pair):
    srv = site.srv
    status, body = srv.api("GET", "/api/settings")
    assert status == 200
    assert (body["TLSCertificate"], body["TLSKey"], body["TLSRequired"]) == (pair[0], pair[1], 0)
    status, body = srv.api("PUT", "/api/settings", {"TLSRequired": 3})
    assert status != 200
    status, body = srv.api("PUT", "/api/settings", {"TLSRequired": 1})
    assert status == 200 and body["TLSRequired"] == 1
    c = srv.connect_raw()
    c.reply()
    assert c.cmd("USER alice")[0].startswith("530 This server requires TLS")
    c.close()
