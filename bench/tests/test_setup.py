"""What the harness sets up and tears down: no server process may outlive
it, the served tree must hold exactly the sizes the figures assume, and a
peer that cannot be fetched must say why instead of stopping the run."""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "lib"))

import layout  # noqa: E402
import peers  # noqa: E402
import procs  # noqa: E402


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def test_stopping_a_server_ends_its_session_processes_too():
    # A parent that ignores SIGTERM and children that outlive it, like a
    # forking server whose sessions are busy.
    script = "trap '' TERM; sleep 60 & sleep 60 & echo ready; wait"
    proc = subprocess.Popen(["sh", "-c", script], stdout=subprocess.PIPE, start_new_session=True)
    assert proc.stdout.readline() == b"ready\n"
    tree = procs.tree(proc.pid)
    assert len(tree) == 3 and tree[0] == proc.pid
    assert procs.pss_kib(proc.pid) > 0
    procs.stop_tree(proc, grace=1)
    deadline = time.time() + 5
    while time.time() < deadline and any(alive(p) for p in tree):
        time.sleep(0.05)
    assert not any(alive(p) for p in tree)


def test_served_tree_has_the_sizes_the_figures_assume_and_is_repaired():
    lay = layout.Layout(tempfile.mkdtemp(prefix="bench-layout-"), 3 * layout.MIB + 5, 30, 7, 4096, 45)
    lay.build(lambda text: None)
    assert os.path.getsize(lay.disk("big", "big.bin")) == 3 * layout.MIB + 5
    assert sorted(os.listdir(lay.disk("list"))) == [lay.list_name(i) for i in range(1, 31)]
    assert sorted(os.listdir(lay.disk(lay.long_list_dir))) == [lay.list_name(i) for i in range(1, 46)]
    assert all(os.path.getsize(lay.disk("small", lay.small_name(i))) == 4096 for i in range(1, 8))
    # A truncated file and a stray one from a larger earlier run are put right.
    with open(lay.disk("small", lay.small_name(3)), "wb") as f:
        f.write(b"short")
    open(lay.disk("small", "f9999.bin"), "wb").close()
    lay.build(lambda text: None)
    assert sorted(os.listdir(lay.disk("small"))) == [lay.small_name(i) for i in range(1, 8)]
    assert os.path.getsize(lay.disk("small", lay.small_name(3))) == 4096


def test_upload_folder_starts_empty():
    lay = layout.Layout(tempfile.mkdtemp(prefix="bench-layout-"), 1, 1, 1)
    path = lay.make_upload("up-x")
    open(os.path.join(path, "left-over.bin"), "wb").close()
    assert os.listdir(lay.make_upload("up-x")) == []


def test_a_peer_that_cannot_be_fetched_is_reported_not_fatal(monkeypatch):
    install = peers.PeerInstall(tempfile.mkdtemp(prefix="bench-peers-"), lambda text: None)
    monkeypatch.setattr(peers.shutil, "which", lambda tool: None if tool == "apt-get" else "/bin/" + tool)
    install.prepare(["vsftpd", "proftpd"])
    assert set(install.problems) == {"vsftpd", "proftpd"}
    assert "apt-get" in install.problems["vsftpd"]


def test_library_packages_follow_debian_naming():
    install = peers.PeerInstall(tempfile.mkdtemp(prefix="bench-peers-"), lambda text: None)
    assert install._package_for("libwrap.so.0") == "libwrap0"
    assert install._package_for("libhashkit.so.2") == "libhashkit2"
    assert install._package_for("not-a-library") is None
