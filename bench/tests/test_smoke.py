"""bench/run end to end on the tiny sizes of --smoke, against the suite's own
build on SQLite: every figure must come out as a number, so that a renamed
harness helper or a changed load generator cannot break the bench unseen.
No peer is fetched and nothing here judges a time."""
import os
import re
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
RUN = os.path.join(os.path.dirname(HERE), "run")


def test_smoke_run_gives_every_figure_for_kestrel():
    binary = os.environ.get("KESTREL_BINARY")
    if not binary or not os.access(binary, os.X_OK):
        pytest.skip("KESTREL_BINARY names no program")
    r = subprocess.run([sys.executable, RUN, "--smoke", "--servers", "kestrel-sqlite", "--kestrel", binary],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr[-3000:]
    table = r.stdout
    assert "Kestrel" in table and "SQLite" in table, table
    # Figure rows are indented by two blanks; the first cell after the label
    # is Kestrel's. A figure that failed or was skipped shows a word there.
    rows = [l for l in table.splitlines()
            if l.startswith("  ") and not l.strip().startswith(("min", "Kestrel"))]
    assert len(rows) >= 15, table
    for line in rows:
        cells = re.split(r"\s{2,}", line.strip())
        assert len(cells) >= 2, line
        assert re.fullmatch(r"-?\d+(\.\d+)?(\[\d+\])?|yes", cells[1]), line
