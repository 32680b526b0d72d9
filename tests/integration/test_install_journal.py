"""An installation is a transaction: the supervisor killed at any point of the
move, or of the rollback that undoes a failed one, finishes it at its next
start from what is on disk, with the update server down: never a tree of two
releases, never a lost file."""
import hashlib
import json
import os
import shutil
import signal
import subprocess

import pytest

from conftest import build_path, wait_for
from update_archive import crc_text, make_archive, probe_bytes

FILES = 2000  # entries of the release, in 20 folders
LOCAL = 10  # of them, the folders that hold a file of the host's own
DOWN = "http://127.0.0.1:9/app.tar.gz"  # nothing listens there


def release(version, added=0, extra=None):
    """The probe as bin/<version>, its list, and FILES small files saying
    version; with added, that many files only this release has; extra:
    more members, {name: bytes}."""
    files = {
        "bin/config.json": json.dumps({"list": [{"path": version, "param": "", "run": 0}]}).encode(),
        "bin/" + version: (probe_bytes(), 0o755),
        "bin/%s.sleep" % version: b"600000",
    }
    for i in range(FILES):
        files["many/d%02d/f%04d" % (i % 20, i)] = b"%s %d\n" % (version.encode(), i)
    for i in range(added):
        files["new/n%03d" % i] = b"added %d\n" % i
    files["old-only.txt" if version == "v1" else "v2-only.txt"] = version.encode()
    files.update(extra or {})
    return make_archive(files)


def tree(root):
    """Every entry below root but the supervisor's own: its type, mode and
    content digest."""
    own = {"Log", "status.json", "tavrin.lock", "tavrin.exe", "update.gz", "update.gz.part",
           "update.gz.part.json", "config.json", "monitor", "test-hook.kill", "bin/v1.out",
           "bin/v2.out"}
    seen = {}
    for base, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(base, name)
            rel = os.path.relpath(path, root)
            if rel.split("/")[0] in own or rel in own:
                continue
            st = os.lstat(path)
            digest = ""
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    digest = hashlib.sha1(f.read()).hexdigest()
            seen[rel] = (st.st_mode, digest)
    return seen


class Host:
    """One application directory, laid out afresh with v1 for each cut."""

    def __init__(self, root, processes, server):
        self.root = str(root)
        self.processes = processes
        self.server = server
        self.v1 = release("v1")
        self.v2 = release("v2", added=30)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def lay_out(self, url):
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)
        shutil.copy2(build_path("monitor-fast"), self.path("monitor"))
        with open(self.path("update.gz"), "wb") as f:
            f.write(self.v1)
        subprocess.run(["tar", "xzf", self.path("update.gz"), "-C", self.root], check=True)
        # Files of the host's own in half the folders, as programs leave:
        # those folders are merged file by file, the others exchanged whole.
        for i in range(LOCAL):
            with open(self.path("many", "d%02d" % i, "local.data"), "w") as f:
                f.write("host %d\n" % i)
        self.settings(url)
        return tree(self.root)

    def settings(self, url):
        with open(self.path("config.json"), "w") as f:
            json.dump({"url": url}, f)

    def log(self):
        text = ""
        folder = self.path("Log")
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            with open(os.path.join(folder, name), errors="replace") as f:
                text += f.read()
        return text

    def run_until_killed(self, hook):
        """Runs the supervisor with the test hook until it kills itself."""
        with open(self.path("test-hook.kill"), "w") as f:
            f.write(hook)
        proc = self.processes.start([self.path("monitor")], cwd=self.root)
        assert proc.wait(timeout=60) == -signal.SIGKILL, self.log()[-2000:]
        os.unlink(self.path("test-hook.kill"))

    def restart_offline(self, record):
        """Starts the supervisor with the server down; returns once it has
        reported record and started the programs."""
        self.settings(DOWN)
        proc = self.processes.start([self.path("monitor")], cwd=self.root)
        wait_for(lambda: record in self.log(), timeout=60, what=record)
        wait_for(lambda: "down crc file error!" in self.log(), timeout=30, what="the offline check")
        return proc

    def end(self, proc):
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(timeout=10)


@pytest.fixture
def host(tmp_path, processes, server):
    host = Host(tmp_path / "app", processes, server)
    server.publish("app.tar.gz", host.v2)
    server.publish("app.tar.gz.crc", json.dumps({"crc": crc_text(host.v2)}).encode())
    return host


def installed_tree(host):
    """The tree a whole installation of v2 over v1 leaves."""
    host.lay_out(host.server.url("/app.tar.gz"))
    subprocess.run(["tar", "xzf", "-", "-C", host.root], input=host.v2, check=True)
    return tree(host.root)


def assert_settled(host, cut, expected, archive, gone=()):
    """The tree is expected, update.gz is archive, and nothing of the
    installation is left."""
    after = tree(host.root)
    assert after == expected, (cut, sorted(set(after) ^ set(expected))[:10])
    with open(host.path("update.gz"), "rb") as f:
        assert f.read() == archive
    for name in ("update.journal", "update.previous", "update.staging") + gone:
        assert not os.path.lexists(host.path(name)), (cut, name)


# Cut after these many moved entries: every 10th of the first 100, then
# every 250th, and around the folders exchanged whole. The release moves
# 1,015: 3 in bin, 1,000 files of the merged folders, the 10 others whole,
# then new and v2-only.txt.
CUTS = list(range(1, 101, 10)) + [250, 500, 750, 1000, 1003, 1004, 1010, 1013, 1015]


def test_a_move_cut_anywhere_is_finished_at_the_next_start(host):
    whole = installed_tree(host)
    for cut in CUTS:
        host.lay_out(host.server.url("/app.tar.gz"))
        host.run_until_killed("moving %d" % cut)
        assert os.path.exists(host.path("update.journal")), cut
        proc = host.restart_offline("installation finished after an interruption! crc:" +
                                    crc_text(host.v2))
        wait_for(lambda: os.path.exists(host.path("bin", "v2.out")), what="version 2 running")
        # Confirmed once the programs run: the previous release and the journal go.
        wait_for(lambda: not os.path.lexists(host.path("update.journal")), what="the confirmation")
        assert_settled(host, cut, whole, host.v2, ("update.gz.part",))
        host.end(proc)


# Cut after these many entries put back or aside (the rollback handles 1,015:
# first the 4 the release added, then the 1,011 it replaced: bin/config.json,
# the files of the merged folders, the 10 folders exchanged whole).
ROLLBACK_CUTS = [1, 4, 5, 17, 700, 1005, 1006, 1015]


def test_a_rollback_cut_anywhere_is_finished_at_the_next_start(host):
    if os.geteuid() != 0:
        pytest.skip("a read-only bind mount needs root")
    # The last folder the move reaches cannot change: the move fails there,
    # after every other entry, and the installation is undone.
    v2 = release("v2", added=30, extra={"zz/late": b"cannot land"})
    host.server.publish("app.tar.gz", v2)
    host.server.publish("app.tar.gz.crc", json.dumps({"crc": crc_text(v2)}).encode())
    for cut in ROLLBACK_CUTS:
        host.lay_out(host.server.url("/app.tar.gz"))
        zz = host.path("zz")
        os.makedirs(zz)
        before = tree(host.root)
        subprocess.run(["mount", "--bind", zz, zz], check=True)
        try:
            subprocess.run(["mount", "-o", "remount,bind,ro", zz], check=True)
            host.run_until_killed("rolling-back %d" % cut)
            with open(host.path("update.journal")) as f:
                assert json.load(f)["phase"] == "rolling back", cut
            proc = host.restart_offline("rollback finished after an interruption! crc:" +
                                        crc_text(v2))
            wait_for(lambda: os.path.exists(host.path("bin", "v1.out")), what="version 1 running")
            wait_for(lambda: not os.path.lexists(host.path("update.staging")), what="the trash gone")
            assert_settled(host, cut, before, host.v1)
            host.end(proc)
        finally:
            subprocess.run(["umount", "-l", zz], check=False)
