"""Starts the real kestrel program for a test, on a throw-away data source.

    from harness import Server
    with Server("sqlite") as srv:           # or "postgresql"
        root = srv.anonymous_root()          # files id of the anonymous user's root
        pub = srv.add_dir(root, "pub", srv.disk("pub"), perms="rwxr-xr-x")
        uid = srv.add_user("alice", "secret")   # with its own root row
        ftp = srv.ftp()                      # ftplib.FTP connected (not logged in)
        srv.query("select name from files where parent=%d" % pub)

Every server gets its own settings file (KESTREL_SETTINGS), odbc.ini
(ODBCINI), data source and free loopback port, and must end with exit code
0 and no sanitizer report when stopped.
"""
import ftplib
import os
import select
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
BINARY = os.environ.get("KESTREL_BINARY", os.path.join(SOURCE, "build", "kestrel"))
ENGINES = ["sqlite", "postgresql"]

_pg_lock = threading.Lock()
_pg_cluster = None  # (dir, port)
_counter = [0]


def wait_for(predicate, timeout=30, step=0.05):
    """predicate's first true value, polled until timeout seconds have passed."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    raise AssertionError("condition not met within %ss" % timeout)


def free_ports(count):
    """count distinct free ports: each socket stays bound until all are chosen,
    so the system cannot hand out the same port twice."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def _private_odbcinst(dirpath):
    # The system file turns on the PostgreSQL driver's log in /tmp; a private copy keeps tests clean.
    with open("/etc/odbcinst.ini") as f:
        text = f.read().replace("CommLog=1", "CommLog=0")
    # Drivers stay loaded, so a leak report can name the library it came from.
    text = "\n".join(l + ("\nDontDLClose=1" if l.startswith("[") else "") for l in text.splitlines()) + "\n"
    with open(os.path.join(dirpath, "odbcinst.ini"), "w") as f:
        f.write(text)


def postgres_cluster():
    """One throw-away cluster for the whole test run, stopped at exit."""
    global _pg_cluster
    with _pg_lock:
        if _pg_cluster is None:
            d = tempfile.mkdtemp(prefix="kestrel-pg-")
            out = subprocess.run([os.path.join(HERE, "pg-cluster"), "start", d], check=True,
                                 capture_output=True, text=True).stdout
            port = int([l for l in out.splitlines() if l.startswith("PORT=")][0][5:])
            _pg_cluster = (d, port)
            import atexit
            atexit.register(lambda: subprocess.run([os.path.join(HERE, "pg-cluster"), "stop", d],
                                                   capture_output=True))
        return _pg_cluster


def _unsolicited_reply(ftp):
    """Bytes waiting on a control connection before a command is sent: a
    second final reply to an earlier command (which would answer this one)."""
    sock = getattr(ftp, "sock", None)
    if sock is None:
        return b""
    try:
        readable, _, _ = select.select([sock], [], [], 0)
        if not readable:
            return b""
        return sock.recv(4096, socket.MSG_PEEK | socket.MSG_DONTWAIT)
    except (OSError, ValueError):
        return b""


_original_putcmd = ftplib.FTP.putcmd


def _putcmd_one_reply_each(self, line):
    stray = _unsolicited_reply(self)
    assert not stray, "a reply arrived before %r was sent: %r" % (line.split(" ")[0], stray)
    _original_putcmd(self, line)


# Every test that speaks through ftplib checks that each command got exactly
# one final reply.
ftplib.FTP.putcmd = _putcmd_one_reply_each


def thread_stacks(pid):
    """Every thread's stack of a program that did not stop, for the failure's text."""
    gdb = shutil.which("gdb")
    if not gdb:
        return ""
    try:
        r = subprocess.run([gdb, "-p", str(pid), "-batch", "-ex", "thread apply all bt 20"],
                           capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return ""
    return "\n--- threads of the program that did not stop on SIGTERM\n" + r.stdout[-12000:]


class Server:
    def __init__(self, engine="sqlite", settings=None, start=True, binary=None, db_dir=None):
        """binary and db_dir: another program and database scripts (an unpacked package)."""
        self.engine = engine
        self.binary = binary or BINARY
        db_dir = db_dir or os.path.join(SOURCE, "db")
        self.tmp = tempfile.mkdtemp(prefix="kestrel-test-")
        self.env = dict(os.environ)
        # A desktop session would open every test server's console in a browser.
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env["KESTREL_SETTINGS"] = os.path.join(self.tmp, "Kestrel.ini")
        self.env["ODBCINI"] = os.path.join(self.tmp, "odbc.ini")
        self.env["ODBCSYSINI"] = self.tmp
        self.env["LSAN_OPTIONS"] = "suppressions=" + os.path.join(SOURCE, "tests", "lsan.supp")
        # The drivers are built without frame pointers: only the slow unwinder
        # reaches the driver frames that the suppressions name.
        self.env["ASAN_OPTIONS"] = "fast_unwind_on_malloc=0"
        _private_odbcinst(self.tmp)
        _counter[0] += 1
        self.dsn = "KestrelTest%d_%d" % (os.getpid(), _counter[0])
        self.port, self.console_port = free_ports(2)
        self.console_password = "console-test-%d" % _counter[0]
        # Loopback only; the second address lets tests reach another domain.
        self.settings = {"Settings": {"Database": self.dsn, "Port": str(self.port),
                                      "ListenAddress": "127.0.0.1,127.0.0.2"},
                         "Console": {"Port": str(self.console_port), "Password": self.console_password}}
        if engine == "sqlite":
            self.dbfile = os.path.join(self.tmp, "kestrel.db")
            self._run([os.path.join(db_dir, "create-datasource"), "sqlite", self.dbfile, self.dsn])
        else:
            d, pgport = postgres_cluster()
            self.dbname = "k%d_%d" % (os.getpid(), _counter[0])
            subprocess.run([os.path.join(HERE, "pg-cluster"), "createdb", d, self.dbname], check=True,
                           capture_output=True)
            self.pgport = pgport
            conninfo = "host=127.0.0.1 port=%d dbname=%s user=kestrel password=kestrel" % (pgport, self.dbname)
            self._run([os.path.join(db_dir, "create-datasource"), "postgresql", conninfo, self.dsn])
            self.settings["Settings"].update({"DBLogin": "kestrel", "DBPassword": "kestrel"})
        for section, values in (settings or {}).items():
            self.settings.setdefault(section, {}).update({k: str(v) for k, v in values.items()})
        self.write_settings()
        self.proc = None
        self.output = ""
        if start:
            self.start()

    # --- process ---------------------------------------------------------
    def _run(self, argv):
        r = subprocess.run(argv, env=self.env, capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError("%s failed: %s%s" % (argv[0], r.stdout, r.stderr))
        return r.stdout

    def write_settings(self):
        with open(self.env["KESTREL_SETTINGS"], "w") as f:
            for section, values in self.settings.items():
                f.write("[%s]\n" % section)
                for k, v in values.items():
                    f.write("%s=%s\n" % (k, v))

    def start(self, args=(), descriptor_limit=None):
        """descriptor_limit: soft and hard RLIMIT_NOFILE of the program, to run it out of descriptors.

        A port chosen free can be taken by another test before the program
        binds it (tests run in parallel); then both ports are chosen again."""
        for attempt in range(3):
            try:
                return self._start_once(args, descriptor_limit)
            except RuntimeError as e:
                if "Error 98" not in str(e) or attempt == 2:
                    raise
                self.proc.kill()
                self.proc.wait()
                self.proc = None
                self.log.close()
                self.port, self.console_port = free_ports(2)
                self.settings["Settings"]["Port"] = str(self.port)
                self.settings["Console"]["Port"] = str(self.console_port)
                self.write_settings()

    def _start_once(self, args, descriptor_limit):
        self.log = open(os.path.join(self.tmp, "kestrel.log"), "w+")
        preexec = None
        if descriptor_limit:
            import resource
            preexec = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (descriptor_limit, descriptor_limit))
        self.proc = subprocess.Popen([self.binary] + list(args), env=self.env, stdout=self.log,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, preexec_fn=preexec)
        deadline = time.time() + 30
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("kestrel exited early:\n" + self.read_log())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    s.recv(1024)
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("kestrel did not listen:\n" + self.read_log())

    def wait_console(self, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.console_port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("console did not listen:\n" + self.read_log())

    # --- console API -----------------------------------------------------
    def api(self, method, path, body=None, answers=None, headers=None, auth=True, raw=False):
        """One console API request with the Bearer password; returns (status, json or text)."""
        import http.client
        import json
        if answers is not None:
            body = dict(body or {})
            body["answers"] = list(answers)
        h = {"Content-Type": "application/json"}
        if auth:
            h["Authorization"] = "Bearer " + self.console_password
        h.update(headers or {})
        conn = http.client.HTTPConnection("127.0.0.1", self.console_port, timeout=60)
        try:
            conn.request(method, path, body=None if body is None else json.dumps(body), headers=h)
            r = conn.getresponse()
            data = r.read()
            if raw:
                return r.status, data, dict(r.getheaders())
            ctype = r.getheader("Content-Type", "")
            if ctype.startswith("application/json"):
                return r.status, json.loads(data or b"null")
            return r.status, data.decode("utf-8", "replace")
        finally:
            conn.close()

    def events(self, path="/api/events"):
        """A Server-Sent Events subscription read on a thread of its own."""
        return EventStream(self, path)

    def read_log(self):
        with open(os.path.join(self.tmp, "kestrel.log")) as f:
            return f.read()

    def stop(self, expect_code=0):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        stacks = ""
        try:
            code = self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            stacks = thread_stacks(self.proc.pid)
            self.proc.kill()
            code = self.proc.wait()
        self.proc = None
        self.log.close()
        self.output = self.read_log() + stacks
        assert "Sanitizer" not in self.output and "runtime error:" not in self.output, self.output
        if expect_code is not None:
            assert code == expect_code, "exit code %r\n%s" % (code, self.output)

    def close(self):
        try:
            self.stop()
        finally:
            if self.engine == "postgresql":
                self.execute_admin("DROP DATABASE IF EXISTS %s" % self.dbname)
            shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # --- clients ----------------------------------------------------------
    def ftp(self, source="127.0.0.1", timeout=10):
        f = ftplib.FTP(timeout=timeout)
        f.connect("127.0.0.1", self.port, source_address=(source, 0) if source != "127.0.0.1" else None)
        return f

    def connect_raw(self, host="127.0.0.1", source=None):
        s = socket.create_connection((host, self.port), timeout=10,
                                     source_address=(source, 0) if source else None)
        return RawClient(s)

    def url(self, user=None, password=None, path="/"):
        auth = "%s:%s@" % (user, password) if user else ""
        return "ftp://%s127.0.0.1:%d%s" % (auth, self.port, path)

    # --- database ---------------------------------------------------------
    def execute(self, sql):
        if self.engine == "sqlite":
            con = sqlite3.connect(self.dbfile, timeout=10)
            try:
                cur = con.execute(sql)
                con.commit()
                return cur.lastrowid
            finally:
                con.close()
        self._psql(sql)

    def query(self, sql):
        if self.engine == "sqlite":
            con = sqlite3.connect(self.dbfile, timeout=10)
            try:
                return [tuple(r) for r in con.execute(sql).fetchall()]
            finally:
                con.close()
        import csv
        import io
        # CSV keeps a row holding only an empty text apart from no row at all.
        out = self._psql(sql, tuples=True)
        return [tuple(_pgvalue(v) for v in row) for row in csv.reader(io.StringIO(out)) if row]

    def _psql(self, sql, tuples=False, db=None):
        env = dict(self.env, PGPASSWORD="kestrel")
        argv = ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1", "-p", str(self.pgport),
                "-U", "kestrel", "-d", db or self.dbname, "-c", sql]
        if tuples:
            argv[1:1] = ["--csv", "-t"]
        r = subprocess.run(argv, env=env, capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError(r.stderr)
        return r.stdout

    def execute_admin(self, sql):
        try:
            self._psql(sql, db="postgres")
        except RuntimeError:
            pass

    def insert(self, table, **cols):
        """Inserts a row and returns its id."""
        names = ",".join('"%s"' % k.replace("_", " ") if " " in k.replace("_", " ") and k not in _PLAIN
                         else '"%s"' % k for k in cols)
        values = ",".join(_sqlvalue(v) for v in cols.values())
        sql = 'INSERT INTO "%s" (%s) VALUES (%s)' % (table, names, values)
        if self.engine == "sqlite":
            return self.execute(sql)
        return int(self._psql(sql + " RETURNING id", tuples=True).split()[0])

    # --- the tree and accounts --------------------------------------------
    def disk(self, *parts):
        """A physical directory under the test's folder (created)."""
        p = os.path.join(self.tmp, "disk", *parts)
        os.makedirs(p, exist_ok=True)
        return p

    def domain_id(self, name="Default"):
        return self.query("select id from home where name='%s'" % name)[0][0]

    def group_id(self, name="system", domain="Default"):
        return self.query("select id from groups where name='%s' and domain=%d" % (name, self.domain_id(domain)))[0][0]

    def anonymous_root(self, domain="Default"):
        return self.query("select \"root directory\" from users where login='anonymous' and domain=%d"
                          % self.domain_id(domain))[0][0]

    def add_group(self, name, domain="Default", rights=()):
        d = self.domain_id(domain)
        gid = self.insert("groups", name=name, domain=d, comment="")
        for r in rights:
            self.insert("site list", **{"group id": gid, "site id": r, "domain id": d})
        return gid

    def add_user(self, login, password, group=None, domain="Default", root_perms="rwx------", **cols):
        d = self.domain_id(domain)
        gid = group if group is not None else self.group_id("system", domain)
        values = {"login": login, "password": password, "group": gid, "domain": d, "max users": 5,
                  "start directory": "/", "deleteownfiles": 1, "overwriteownfiles": 1, "renameownfiles": 1}
        values.update({k.replace("_", " "): v for k, v in cols.items()})
        uid = self.insert("users", **values)
        root = self.add_dir(0, "", "", owner=uid, group=gid, perms=root_perms, domain=domain, title="Root Directory")
        self.execute('update users set "root directory"=%d where id=%d' % (root, uid))
        return uid

    def add_dir(self, parent, name, path, owner=None, group=None, perms="rwxr-xr-x", domain="Default", **cols):
        return self._add_entry(parent, name, path, True, 0, owner, group, perms, domain, cols)

    def add_file(self, parent, name, content=b"", owner=None, group=None, perms="rw-r--r--", domain="Default",
                 size=None, **cols):
        """Adds a file row and writes its bytes into the parent's physical directory."""
        ppath = self.query("select path from files where id=%d" % parent)[0][0]
        if content is not None and ppath:
            with open(os.path.join(ppath, name), "wb") as f:
                f.write(content)
        return self._add_entry(parent, name, "", False, len(content or b"") if size is None else size,
                               owner, group, perms, domain, cols)

    def _add_entry(self, parent, name, path, directory, size, owner, group, perms, domain, cols):
        d = self.domain_id(domain)
        if owner is None:
            owner = self.query("select id from users where login='anonymous' and domain=%d" % d)[0][0]
        if group is None:
            group = self.group_id("system", domain)
        bits = dict(zip(["user read", "user write", "user execute", "group read", "group write",
                         "group execute", "other read", "other write", "other execute"],
                        [0 if c == "-" else 1 for c in perms]))
        now = time.strftime("%Y-%m-%d %H:%M:%S")
        values = {"name": name, "parent": parent, "path": path, "directory": 1 if directory else 0,
                  "size": size, "userid": owner, "groupid": group, "domain": d, "link": 0,
                  "downloads": 0, "description": "", "title": "", "created": now, "modified": now,
                  "last read": now}
        values.update(bits)
        values.update({k.replace("_", " "): v for k, v in cols.items()})
        return self.insert("files", **values)


_PLAIN = set()


class EventStream:
    """Collects (event, data) pairs from a console event stream."""

    def __init__(self, server, path):
        import queue
        self.queue = queue.Queue()
        self.sock = socket.create_connection(("127.0.0.1", server.console_port), timeout=60)
        req = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer %s\r\n"
               "Accept: text/event-stream\r\n\r\n" % (path, server.console_password))
        self.sock.sendall(req.encode())
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        import json
        f = self.sock.makefile("rb")
        try:
            status = f.readline()
            self.queue.put(("status", int(status.split()[1])))
            while f.readline() not in (b"\r\n", b"\n", b""):
                pass
            event, data = "message", []
            while True:
                line = f.readline()
                if not line:
                    break
                line = line.rstrip(b"\r\n").decode("utf-8", "replace")
                if line.startswith("event:"):
                    event = line[6:].strip()
                elif line.startswith("data:"):
                    data.append(line[5:].lstrip())
                elif line == "" and data:
                    self.queue.put((event, json.loads("\n".join(data))))
                    event, data = "message", []
                elif line and all(c in "0123456789abcdefABCDEF" for c in line):
                    continue  # chunk sizes of the chunked encoding
        except OSError:
            pass
        self.queue.put(("closed", None))

    def next(self, event=None, timeout=15, where=None):
        """The next item, or the next of the given event name (others skipped)."""
        import queue
        deadline = time.time() + timeout
        while True:
            left = deadline - time.time()
            if left <= 0:
                raise AssertionError("no %s event within %ss" % (event or "", timeout))
            try:
                name, data = self.queue.get(timeout=left)
            except queue.Empty:
                continue
            if event is None or name == event:
                if where is None or where(data):
                    return name, data
            if name == "closed":
                raise AssertionError("event stream closed while waiting for %s" % event)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def _sqlvalue(v):
    if v is None:
        return "NULL"
    if isinstance(v, bool):
        return "1" if v else "0"
    if isinstance(v, (int, float)):
        return str(v)
    return "'" + str(v).replace("'", "''") + "'"


def _pgvalue(v):
    try:
        return int(v)
    except ValueError:
        return v


class RawClient:
    """Speaks the control protocol byte for byte."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.sock.sendall(data)

    def line(self, timeout=10):
        self.sock.settimeout(timeout)
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError(self.buf)
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    def reply(self, timeout=10):
        """A whole reply, multi-line ones included, as a list of lines."""
        lines = [self.line(timeout)]
        if len(lines[0]) > 3 and lines[0][3] == "-":
            code = lines[0][:3]
            while not (lines[-1].startswith(code + " ")):
                lines.append(self.line(timeout))
        return lines

    def cmd(self, text):
        self.send(text + "\r\n")
        return self.reply()

    def closed(self, timeout=10):
        """True when the server has closed the connection (after any pending bytes)."""
        self.sock.settimeout(timeout)
        try:
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    return True
                self.buf += chunk
        except socket.timeout:
            return False

    def close(self):
        self.sock.close()


def assert_golden(folder, name, data, encoding="utf-8"):
    """data must equal tests/golden/FOLDER/NAME byte for byte (line ends included);
    KESTREL_UPDATE_GOLDEN=1 rewrites the file from data first."""
    path = os.path.join(SOURCE, "tests", "golden", folder, name)
    if os.environ.get("KESTREL_UPDATE_GOLDEN"):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    with open(path, "rb") as f:
        expected = f.read()
    # Lines first, for a readable difference; then the bytes.
    assert data.decode(encoding).splitlines() == expected.decode(encoding).splitlines()
    assert data == expected
