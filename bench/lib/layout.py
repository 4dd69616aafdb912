"""The files every server serves, from one physical tree:

    ROOT/big/big.bin            the large file (1 GiB; smaller with --quick)
    ROOT/list/entry-NNNNN.txt   the directory to list (10 000 empty files)
    ROOT/list-long/entry-NNNNN.txt  the long listing whose memory is measured (50 000)
    ROOT/small/fNNNN.bin        the small files (1 000 of 4 KiB)
    ROOT/up-SERVER/             one upload folder per server

The peers log in to ROOT itself; Kestrel's tree maps its directories onto
the same folders. The tree is kept between runs and completed when a size
changes.
"""
import os
import shutil

MIB = 1024 * 1024


class Layout:
    def __init__(self, root, big_bytes, list_entries, small_files, small_bytes=4096, long_list_entries=0):
        self.root = root
        self.big_bytes = big_bytes
        self.list_entries = list_entries
        self.long_list_entries = long_list_entries
        self.small_files = small_files
        self.small_bytes = small_bytes

    # Client paths, relative to the login directory.
    big_path = "big/big.bin"
    list_dir = "list"
    long_list_dir = "list-long"
    small_dir = "small"
    small_prefix, small_digits, small_suffix = "f", 4, ".bin"

    def disk(self, *parts):
        return os.path.join(self.root, *parts)

    def list_name(self, i):
        return "entry-%05d.txt" % i

    def small_name(self, i):
        return "%s%0*d%s" % (self.small_prefix, self.small_digits, i, self.small_suffix)

    def upload_name(self, server):
        return "up-" + server

    def make_upload(self, name, owner=None):
        path = self.disk(name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        os.chmod(path, 0o755)
        if owner:
            os.chown(path, *owner)
        return path

    def build(self, log):
        for d in ("", "big", "list", "list-long", "small"):
            os.makedirs(self.disk(d), exist_ok=True)
            # Readable by a server whose sessions run as another account.
            os.chmod(self.disk(d), 0o755)
        self._big(log)
        self._list(log, self.list_dir, self.list_entries)
        self._list(log, self.long_list_dir, self.long_list_entries)
        self._small(log)

    def _big(self, log):
        path = self.disk("big", "big.bin")
        if os.path.exists(path) and os.path.getsize(path) == self.big_bytes:
            return
        log("writing %s (%d MiB)" % (path, self.big_bytes // MIB))
        # Real bytes, not a sparse file: reading holes costs a server nothing.
        block = os.urandom(MIB)
        with open(path + ".tmp", "wb") as f:
            left = self.big_bytes
            while left > 0:
                n = min(left, MIB)
                f.write(block[:n])
                left -= n
        os.chmod(path + ".tmp", 0o644)
        os.replace(path + ".tmp", path)

    def _list(self, log, name, entries):
        d = self.disk(name)
        want = {self.list_name(i) for i in range(1, entries + 1)}
        have = set(os.listdir(d))
        if have == want:
            return
        log("filling %s with %d entries" % (d, entries))
        for name in have - want:
            os.remove(os.path.join(d, name))
        for name in want - have:
            with open(os.path.join(d, name), "wb"):
                pass
            os.chmod(os.path.join(d, name), 0o644)

    def _small(self, log):
        d = self.disk("small")
        want = {self.small_name(i) for i in range(1, self.small_files + 1)}
        have = {n for n in os.listdir(d) if os.path.getsize(os.path.join(d, n)) == self.small_bytes}
        if have == want and len(os.listdir(d)) == len(want):
            return
        log("writing %d small files of %d bytes" % (self.small_files, self.small_bytes))
        for name in set(os.listdir(d)) - want:
            os.remove(os.path.join(d, name))
        for name in want - have:
            with open(os.path.join(d, name), "wb") as f:
                f.write(os.urandom(self.small_bytes))
            os.chmod(os.path.join(d, name), 0o644)
