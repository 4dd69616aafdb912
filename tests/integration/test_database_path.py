"""What the faster database path must keep: counters gathered in memory reach
the database when a session ends and when the server stops, a listing that
the client reads slowly holds no other session back, and values a client
sends are bound, never spliced into SQL. Runs on SQLite and on PostgreSQL."""
import socket

from harness import wait_for
from test_transfers import Site, login, pasv, read_all


def retr(raw, name):
    data = pasv(raw)
    raw.send("RETR %s\r\n" % name)
    assert raw.reply()[0].startswith("150")
    body = read_all(data)
    assert raw.reply() == ["226 Transfer Complete.  Data connection closed."]
    return body


def stor(raw, name, body):
    data = pasv(raw)
    raw.send("STOR %s\r\n" % name)
    assert raw.reply()[0].startswith("150")
    data.sendall(body)
    data.close()
    assert raw.reply()[0].startswith("226")


def counts(srv, user_id, file_id):
    (downloads, uploads), = srv.query("select downloads, uploads from users where id=%d" % user_id)
    (file_downloads,), = srv.query("select downloads from files where id=%d" % file_id)
    return downloads or 0, uploads or 0, file_downloads or 0


def test_counters_are_written_when_the_session_ends(server):
    site = Site(server)
    fid = server.add_file(site.up, "a.bin", b"abc", owner=site.alice)
    raw = login(server, "alice", "secret")
    for _ in range(3):
        assert retr(raw, "up/a.bin") == b"abc"
    stor(raw, "up/b.bin", b"12345")
    raw.cmd("QUIT")
    raw.closed()
    assert wait_for(lambda: counts(server, site.alice, fid) == (3, 1, 3), timeout=10), \
        counts(server, site.alice, fid)


# A stop by SIGTERM while the session is still open must not lose the counts
# that wait for the next one-second write.
def test_counters_survive_a_stop_with_the_session_open(server):
    site = Site(server)
    fid = server.add_file(site.up, "a.bin", b"abc", owner=site.alice)
    raw = login(server, "alice", "secret")
    retr(raw, "up/a.bin")
    retr(raw, "up/a.bin")
    server.stop()
    assert counts(server, site.alice, fid) == (2, 0, 2)


# The listing's rows are read at once and sent as the client takes them: a
# client that stops reading in the middle of a long listing must not keep
# other clients from logging in and listing.
def test_a_stalled_listing_holds_no_other_session_back(server):
    site = Site(server)
    big = server.add_dir(site.pub, "many", server.disk("pub", "many"))
    d, gid = server.domain_id(), server.group_id()
    uid = server.query("select id from users where login='anonymous'")[0][0]
    server.execute(
        'WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<5000) '
        'INSERT INTO "files" ("name","parent","path","directory","size","userid","groupid","domain","link",'
        '"user read","other read") '
        # Every other name in capitals: pages must follow the engine's
        # case-blind order, or rows are lost at a page's end.
        "SELECT CASE WHEN i %% 2 = 1 THEN 'F' ELSE 'f' END || CAST(10000+i AS TEXT), %d, '', 0, i, %d, %d, %d, 0, "
        "1, 1 FROM n" % (big, uid, gid, d))
    server.execute("UPDATE files SET modified='2020-05-06 07:08:09' WHERE parent=%d" % big)
    slow = login(server)
    data = pasv(slow)
    data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    slow.send("LIST pub/many\r\n")
    assert slow.reply()[0].startswith("150")
    first = data.recv(100)
    assert first  # the listing has started and now waits on this client

    for _ in range(3):
        other = login(server)
        quick = pasv(other)
        other.send("NLST pub\r\n")
        assert other.reply()[0].startswith("150")
        assert read_all(quick) == b"many\r\n"
        assert other.reply()[0].startswith("226")
        other.cmd("QUIT")

    lines = (first + read_all(data)).split(b"\r\n")
    assert lines[-1] == b"" and len(lines) == 5001
    assert lines[-2] == b"-r-----r--   1 anonymou   system      5000 May 06 2020  f15000"
    assert len(set(lines)) == 5001
    assert slow.reply() == ["226 Transfer Complete.  Data connection closed."]


# Names chosen by the client travel as bound values: quotes, wildcards and
# statement separators are stored, listed and found exactly as written.
def test_names_that_look_like_sql_are_plain_names(server):
    site = Site(server)
    raw = login(server, "alice", "secret")
    names = ["it's.txt", "100%.txt", "a_b.txt", "x;drop table files;--.txt"]
    for name in names:
        stor(raw, "up/" + name, name.encode())
    for name in names:
        assert retr(raw, "up/" + name) == name.encode()
    data = pasv(raw)
    raw.send("NLST up\r\n")
    assert raw.reply()[0].startswith("150")
    assert sorted(read_all(data).decode().split("\r\n")[:-1]) == sorted(names)
    assert raw.reply()[0].startswith("226")
    # A wildcard matches itself only.
    assert raw.cmd("CWD up/%")[0].startswith("550")
    assert server.query("select count(*) from files where parent=%d" % site.up) == [(4,)]
