#!/usr/bin/env python3
"""How long the console's file list takes to show a directory of 10 000 entries.

Starts the program on a throw-away SQLite data source (the test harness), puts
10 000 files in one directory on disk, lets the program's own refresh add their
rows, then opens the directory in headless chromium several times and prints
the time from the click on its tree node until the list shows its rows.

    bench/console_filelist.py [--files N] [--runs N] [--kestrel build/kestrel]

Needs tests/browser/node_modules (scripts/install-deps --test) and chromium."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--files", type=int, default=10000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--kestrel", default=None)
    args = ap.parse_args()
    if args.kestrel:
        os.environ["KESTREL_BINARY"] = os.path.abspath(args.kestrel)
    from harness import Server  # noqa: E402  (reads KESTREL_BINARY)

    with Server("sqlite") as srv, tempfile.TemporaryDirectory(prefix="kbench") as scratch:
        big = os.path.join(scratch, "big")
        os.mkdir(big)
        for i in range(args.files):
            with open(os.path.join(big, "file%05d.dat" % i), "wb") as f:
                f.write(b"x" * (i % 512))
        directory = srv.add_dir(srv.anonymous_root(), "big", big)
        status, _ = srv.api("POST", "/api/refresh", {"directory": directory})
        assert status == 200, status
        deadline = time.time() + 600
        while time.time() < deadline:
            status, state = srv.api("GET", "/api/refresh")
            if not state["running"]:
                break
            time.sleep(0.5)
        count = srv.query("select count(*) from files where parent=%d" % directory)[0][0]
        # The server's part alone: the list's answer, without the page.
        answers = []
        for _ in range(min(args.runs, 3)):
            start = time.time()
            status, _ = srv.api("GET", "/api/files?directory=%d&sort=name&reverse=0" % directory)
            assert status == 200, status
            answers.append((time.time() - start) * 1000)
        env = dict(os.environ, KESTREL_CONSOLE_URL="http://127.0.0.1:%d/" % srv.console_port,
                   KESTREL_CONSOLE_PASSWORD=srv.console_password, BENCH_RUNS=str(args.runs),
                   BENCH_ROWS=str(count))
        r = subprocess.run(["node", os.path.join(HERE, "console_filelist.mjs")], env=env, capture_output=True,
                           text=True, timeout=1800)
        if r.returncode != 0:
            sys.exit("browser run failed:\n" + r.stdout + r.stderr)
        times = [float(x) for x in r.stdout.split()]
        print("file list of %d entries: open to rows shown, %d runs" % (count, len(times)))
        print("  median %.0f ms, best %.0f ms, worst %.0f ms" % (statistics.median(times), min(times), max(times)))
        print("  of which the server's answer (GET /api/files): median %.0f ms" % statistics.median(answers))


if __name__ == "__main__":
    main()
