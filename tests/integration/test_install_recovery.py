"""Installations that cannot half-happen: a move that fails is done again at
the next check once its cause is gone, and a supervisor killed in the middle
of the move completes the installation after its restart."""
import io
import os
import signal
import subprocess
import tarfile
import threading

import pytest

from conftest import wait_for
from installs import STAGED, Watch, make_app_dir, publish, read_file, start_monitor
from supervised_app import App
from update_archive import probe_bytes, version_archive

pytestmark = STAGED


def installed_app(tmp_path, server, archive):
    """An application directory where archive was installed before."""
    app = App(make_app_dir(str(tmp_path / "app"), server.url("/app.tar.gz")))
    with open(app.path("update.gz"), "wb") as f:
        f.write(archive)
    subprocess.run(["tar", "xzf", app.path("update.gz"), "-C", app.root], check=True)
    publish(server, archive)
    return app


@pytest.fixture
def read_only_bind(tmp_path):
    """mount(folder) makes folder a read-only bind mount of itself; undone at the end."""
    mounted = []

    def mount(folder):
        if os.getuid() != 0:
            pytest.skip("a read-only bind mount needs root")
        r = subprocess.run(["mount", "--bind", folder, folder], stderr=subprocess.PIPE)
        if r.returncode != 0:
            pytest.skip("cannot bind mount here: " + r.stderr.decode(errors="replace"))
        mounted.append(folder)
        subprocess.run(["mount", "-o", "remount,bind,ro", folder], check=True)

    def unmount(folder):
        subprocess.run(["umount", folder], check=True)
        mounted.remove(folder)

    mount.unmount = unmount
    yield mount
    for folder in mounted:
        subprocess.run(["umount", "-l", folder], check=False)


def test_failed_move_is_installed_at_the_next_check(tmp_path, server, processes,
                                                    read_only_bind):
    app = installed_app(tmp_path, server, version_archive("v1", extra={"data/old.txt": b"old"}))
    start_monitor(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    read_only_bind(app.path("data"))

    v2 = version_archive("v2", extra={"data/new.txt": b"new", "data/old.txt": b"old 2"})
    watch = Watch(app)
    publish(server, v2)
    outcome, log = watch.outcome(v2)
    assert outcome == "failed", log[-2000:]
    assert read_file(app.path("update.gz")) != v2  # still due
    # The next check tries again, and fails again while the cause stands.
    wait_for(lambda: watch.count("unpack failed!") >= 2 and watch.count("remote file crc") >= 3,
             timeout=30, what="a second try")
    assert read_file(app.path("update.gz")) != v2

    read_only_bind.unmount(app.path("data"))
    assert Watch(app).outcome(v2)[0] == "installed"
    assert read_file(app.path("data", "new.txt")) == b"new"
    assert read_file(app.path("data", "old.txt")) == b"old 2"
    wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 running")
    staging = app.path("update.staging")
    left = [os.path.relpath(os.path.join(d, f), staging)
            for d, ds, fs in os.walk(staging) for f in ds + fs]
    assert not os.path.lexists(staging), left


FOLDERS, FILES = 20, 200  # entries enough for the move to take a while


def many_files(program, text):
    """version_archive(program) and FOLDERS x FILES small files saying text."""
    extra = {}
    for d in range(FOLDERS):
        for f in range(FILES):
            extra["many/d%03d/f%03d" % (d, f)] = b"%s %d %d\n" % (text, d, f)
    buf = io.BytesIO(version_archive(program))
    # Rewrite the small version archive with the many files added.
    with tarfile.open(fileobj=buf, mode="r:gz") as src:
        members = [(m, src.extractfile(m).read() if m.isfile() else None) for m in src]
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w:gz", compresslevel=1) as tar:
        for m, data in members:
            tar.addfile(m, io.BytesIO(data) if data is not None else None)
        for name, data in extra.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


def texts(app):
    seen = {}
    for d in range(FOLDERS):
        for f in range(FILES):
            data = read_file(app.path("many", "d%03d" % d, "f%03d" % f)) or b""
            seen[data.split(b" ")[0]] = seen.get(data.split(b" ")[0], 0) + 1
    return seen


def test_supervisor_killed_while_moving_completes_after_restart(tmp_path, server, processes):
    v1 = many_files("v1", b"v1")
    app = installed_app(tmp_path, server, v1)
    # A file of the host's own in every folder, so that the folders are
    # merged file by file (a folder the release covers moves in one rename).
    for d in range(FOLDERS):
        with open(app.path("many", "d%03d" % d, "local.data"), "wb") as f:
            f.write(b"host %d\n" % d)
    sup = start_monitor(processes, app, stdout=subprocess.PIPE)
    wait_for(lambda: app.runs("v1"), timeout=20, what="version 1 running")

    v2 = many_files("v2", b"v2")
    publish(server, v2)
    # The programs are stopped right before the move; kill once the first of
    # the many files is in place (the move goes in name order).
    for line in sup.stdout:
        if line.startswith(b"kill process pid:"):
            break
    drain = threading.Thread(target=sup.stdout.read)  # a full pipe must not hold the move
    drain.start()
    first = app.path("many", "d000", "f000")
    wait_for(lambda: (read_file(first) or b"").startswith(b"v2"), timeout=30, interval=0.0005,
             what="the move under way")
    os.kill(sup.pid, signal.SIGKILL)
    sup.wait()
    drain.join()
    sup.stdout.close()
    at_kill = texts(app)
    assert read_file(app.path("update.gz")) != v2, "killed only after the installation ended"
    # In the middle, and every file in place: each is exchanged with the old
    # one in a single rename.
    assert {b"v1", b"v2"} == set(at_kill), at_kill

    start_monitor(processes, app)
    # Replacing a file frees the old one's blocks: seconds for these on a slow disk.
    assert Watch(app).outcome(v2, timeout=120)[0] == "installed"
    assert texts(app) == {b"v2": FOLDERS * FILES}, at_kill
    for d in range(FOLDERS):
        assert read_file(app.path("many", "d%03d" % d, "local.data")) == b"host %d\n" % d
    wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 running")
    assert not os.path.lexists(app.path("update.staging"))
    assert read_file(app.path("bin", "v2")) == probe_bytes()
