"""Kestrel as a server under test, on SQLite or on PostgreSQL.

The test suite's harness (tests/support/harness.py) does the setting up: a
data source made by db/create-datasource (PostgreSQL in a throw-away cluster
of tests/support/pg-cluster), a private ODBCSYSINI, the settings file named by
KESTREL_SETTINGS with free ports, and the rows of the user and its tree. The
benchmark only points it at a release build and adds the bulk rows.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))

USER = "bench"
PASSWORD = "bench"  # kept in lower case: the server compares passwords lowered
MAX_SESSIONS = 100000


class KestrelTarget:
    # Every session lives in the one server process, so its peak memory
    # shows what a listing costs.
    lists_in_one_process = True
    offers_tls = True

    def __init__(self, engine, layout, binary):
        self.engine = engine
        self.name = "kestrel-" + engine
        self.label = "Kestrel/" + ("SQLite" if engine == "sqlite" else "PostgreSQL")
        self.layout = layout
        self.binary = binary
        self.user = USER
        self.password = PASSWORD
        self.upload = "upload"
        self.srv = None
        self.port = None
        self.tls = None  # (certificate, key), set by bench/run
        self.tls_missing = "no certificate could be made"

    def _harness(self):
        # The harness reads the program's path once, when first imported.
        os.environ["KESTREL_BINARY"] = self.binary
        import harness
        if harness.BINARY != self.binary:
            harness.BINARY = self.binary
        return harness

    def pid(self):
        return self.srv.proc.pid if self.srv and self.srv.proc else None

    def start(self):
        from peers import Unavailable
        harness = self._harness()
        try:
            settings = {"Settings": {"TLSCertificate": self.tls[0], "TLSKey": self.tls[1]}} if self.tls else None
            self.srv = harness.Server(self.engine, settings=settings)
        except Exception as e:  # no PostgreSQL, no driver: the column says why
            lines = str(e).strip().splitlines()
            raise Unavailable("%s could not start: %s" % (self.label, lines[-1] if lines else repr(e)))
        self.port = self.srv.port
        try:
            self._seed(harness)
        except Exception:
            self.stop()
            raise

    def _seed(self, harness):
        srv, lay = self.srv, self.layout
        uid = srv.add_user(USER, PASSWORD, max_users=MAX_SESSIONS)
        gid = srv.group_id()
        root = srv.query('select "root directory" from users where id=%d' % uid)[0][0]
        own = dict(owner=uid, group=gid)
        big = srv.add_dir(root, "big", lay.disk("big"), **own)
        listing = srv.add_dir(root, "list", lay.disk("list"), **own)
        small = srv.add_dir(root, "small", lay.disk("small"), **own)
        srv.add_dir(root, self.upload, lay.make_upload(lay.upload_name(self.name)), perms="rwxr-xr-x", **own)
        srv.add_file(big, "big.bin", content=None, size=lay.big_bytes, **own)
        first = srv.add_file(listing, lay.list_name(1), content=None, size=0, **own)
        self._clone(first, "entry-", 5, ".txt", lay.list_entries)
        if lay.long_list_entries:
            long_list = srv.add_dir(root, lay.long_list_dir, lay.disk(lay.long_list_dir), **own)
            first = srv.add_file(long_list, lay.list_name(1), content=None, size=0, **own)
            self._clone(first, "entry-", 5, ".txt", lay.long_list_entries)
        first = srv.add_file(small, lay.small_name(1), content=None, size=lay.small_bytes, **own)
        self._clone(first, lay.small_prefix, lay.small_digits, lay.small_suffix, lay.small_files)
        # Statistics as after any bulk load (autovacuum would gather them
        # within a minute): without them PostgreSQL sorts the 10 000 rows
        # instead of reading them in the index's order.
        if self.engine == "postgresql":
            srv.execute("analyze")

    def _clone(self, template, prefix, digits, suffix, last):
        """Rows 2..last as copies of the template row, names numbered in SQL:
        one statement instead of thousands of round trips."""
        if last < 2:
            return
        srv = self.srv
        if self.engine == "sqlite":
            columns = [r[1] for r in srv.query('pragma table_info("files")')]
        else:
            columns = [r[0] for r in srv.query("select column_name from information_schema.columns "
                                               "where table_name='files' order by ordinal_position")]
        copied = [c for c in columns if c not in ("id", "name")]
        quoted = ",".join('"%s"' % c for c in copied)
        if self.engine == "sqlite":
            name = "printf('%s%%0%dd%s', n.i)" % (prefix, digits, suffix)
            series = "(with recursive n(i) as (select 2 union all select i+1 from n where i < %d) " \
                     "select i from n) as n" % last
        else:
            name = "'%s' || lpad(n.i::text, %d, '0') || '%s'" % (prefix, digits, suffix)
            series = "generate_series(2, %d) as n(i)" % last
        srv.execute('insert into files ("name",%s) select %s,%s from files, %s where files.id=%d'
                    % (quoted, name, ",".join("files.\"%s\"" % c for c in copied), series, template))
        count = srv.query("select count(*) from files where parent=(select parent from files where id=%d)"
                          % template)[0][0]
        if int(count) != last:
            raise RuntimeError("expected %d rows under the directory, found %s" % (last, count))

    def stop(self):
        if self.srv is None:
            return
        srv, self.srv = self.srv, None
        try:
            srv.close()
        except AssertionError as e:
            # A non-zero exit at the end is reported, not hidden.
            print("note: %s ended badly: %s" % (self.label, str(e)[:300]), file=sys.stderr)

    def log_tail(self):
        try:
            return self.srv.read_log()[-300:] if self.srv else ""
        except OSError:
            return ""
