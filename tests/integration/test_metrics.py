"""GET /api/metrics: the Prometheus text format, and counters that move
with the work a client does."""
import io
import re

from harness import Server

NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
LABEL_VALUE = r'"(?:[^"\\\n]|\\[\\"n])*"'
LABELS = r"\{(?:%s=%s(?:,%s=%s)*)?\}" % (NAME, LABEL_VALUE, NAME, LABEL_VALUE)
VALUE = r"(?:[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?|[+-]Inf|NaN)"
SAMPLE = re.compile(r"(%s)(%s)? (%s)(?: -?\d+)?" % (NAME, LABELS, VALUE))
HELP = re.compile(r"# HELP (%s) .*" % NAME)
TYPE = re.compile(r"# TYPE (%s) (counter|gauge|histogram|summary|untyped)" % NAME)


def scrape(srv):
    status, text = srv.api("GET", "/api/metrics")
    assert status == 200, text
    return parse(text)


def parse(text):
    """{(name, frozenset(labels)): value}, checking every line on the way."""
    assert text.endswith("\n")
    samples, types = {}, {}
    for line in text[:-1].split("\n"):
        if line.startswith("# HELP"):
            assert HELP.fullmatch(line), line
            continue
        if line.startswith("# TYPE"):
            m = TYPE.fullmatch(line)
            assert m, line
            assert m.group(1) not in types, "family declared twice: " + line
            types[m.group(1)] = m.group(2)
            continue
        m = SAMPLE.fullmatch(line)
        assert m, "not an exposition line: %r" % line
        name, labels = m.group(1), m.group(2) or "{}"
        family = re.sub(r"_(bucket|sum|count)$", "", name) if name not in types else name
        assert family in types, "sample before its TYPE: " + line
        pairs = frozenset(re.findall(r'(%s)="((?:[^"\\]|\\.)*)"' % NAME, labels))
        key = (name, pairs)
        assert key not in samples, "sample twice: " + line
        samples[key] = float(m.group(3))
    return samples


def value(samples, name, **labels):
    return samples.get((name, frozenset(labels.items())), 0.0)


def test_metrics_need_the_console_password(server):
    status, _ = server.api("GET", "/api/metrics", auth=False)
    assert status == 401
    status, body, headers = server.api("GET", "/api/metrics", raw=True)
    assert status == 200
    assert headers["Content-Type"].startswith("text/plain; version=0.0.4")


def test_counters_move_after_a_download(server):
    root = server.anonymous_root()
    pub = server.add_dir(root, "pub", server.disk("pub"))
    payload = b"k" * 70000
    server.add_file(pub, "big.bin", payload)
    before = scrape(server)

    f = server.ftp()
    f.login("anonymous", "guest@example.org")
    assert f.sendcmd("NOOP").startswith("200")
    try:
        f.sendcmd("FROB")  # an unknown verb is counted too
    except Exception as e:
        assert str(e).startswith("500")
    during = scrape(server)
    assert value(during, "kestrel_sessions_open") == value(before, "kestrel_sessions_open") + 1
    out = io.BytesIO()
    f.retrbinary("RETR pub/big.bin", out.write)
    assert out.getvalue() == payload
    f.quit()
    refused = server.ftp()
    try:
        refused.login("nobody", "wrong")
        answered = "230"
    except Exception as e:
        answered = str(e)
    assert answered.startswith("530"), answered
    refused.close()

    after = scrape(server)
    grew = lambda name, **l: value(after, name, **l) - value(before, name, **l)
    assert grew("kestrel_bytes_sent_total") >= len(payload)
    assert grew("kestrel_transfers_total", result="complete") == 1
    assert grew("kestrel_logins_total", result="ok") == 1
    assert grew("kestrel_logins_total", result="incorrect") == 1
    assert grew("kestrel_commands_total", verb="RETR") == 1
    assert grew("kestrel_commands_total", verb="NOOP") == 1
    assert grew("kestrel_commands_total", verb="unknown") == 1
    assert grew("kestrel_database_statement_seconds_count") > 0
    assert value(after, "kestrel_database_statement_seconds_bucket", le="+Inf") == \
        value(after, "kestrel_database_statement_seconds_count")
    assert value(after, "kestrel_refresh_state", state="idle") == 1
    assert value(after, "kestrel_refresh_state", state="running") == 0


def test_uploads_are_counted(server):
    uid = server.add_user("alice", "secret")
    root = server.query('select "root directory" from users where id=%d' % uid)[0][0]
    server.add_dir(root, "up", server.disk("up"), owner=uid)
    before = scrape(server)
    f = server.ftp()
    f.login("alice", "secret")
    f.storbinary("STOR up/new.bin", io.BytesIO(b"u" * 5000))
    f.quit()
    after = scrape(server)
    assert value(after, "kestrel_bytes_received_total") - value(before, "kestrel_bytes_received_total") == 5000
    assert value(after, "kestrel_transfers_total", result="complete") - \
        value(before, "kestrel_transfers_total", result="complete") == 1


def test_database_errors_are_counted():
    with Server("sqlite") as srv:
        before = scrape(srv)
        f = srv.ftp()
        f.login("anonymous", "guest@example.org")
        # The tree's table is gone: the command is answered 451 and counted.
        srv.execute('ALTER TABLE "files" RENAME TO "files_gone"')
        try:
            f.sendcmd("CWD somewhere")
            answered = "no error"
        except Exception as e:
            answered = str(e)
        assert answered.startswith("451"), answered
        f.quit()
        after = scrape(srv)
        assert value(after, "kestrel_database_errors_total") > value(before, "kestrel_database_errors_total")
