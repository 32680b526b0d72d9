"""What the network may make of a download: replies in an encoding, replies
that would fill the application directory's file system, and redirects to
other protocols. monitor-fast against the loopback server; the free-space
cases run it in a private mount namespace on a small tmpfs."""
import json
import os
import shutil
import socket
import subprocess
import sys

import pytest

from conftest import build_path, private_mounts, wait_for
from supervised_app import App
from test_signed_updates import KeyPair
from update_archive import crc_file, crc_text, version_archive

NAME = "app.tar.gz"
SUFFIX = {"crc": ".crc", "archive": "", "minisig": ".minisig"}


def failure_of(kind, server):
    """The report of a check that could not get the file of this kind."""
    return {
        "crc": "down crc file error! url:%s" % server.url("/" + NAME + ".crc"),
        "archive": "down file error! url:%s" % server.url("/" + NAME),
        "minisig": "signature refused, nothing installed! no signature file at %s"
                   % server.url("/" + NAME + ".minisig"),
    }[kind]


@pytest.fixture
def key(tmp_path):
    return KeyPair(tmp_path / "key")


@pytest.fixture
def signed_release(server, key):
    """Version 2, published with its CRC file and its signature; the bytes of
    each file by kind."""
    archive = version_archive("v2")
    files = {"archive": archive, "crc": crc_file(archive), "minisig": key.sign(archive)}
    for kind, data in files.items():
        server.publish(NAME + SUFFIX[kind], data)
    return files


@pytest.fixture
def app(app_dir, server, key):
    app = App(app_dir)
    app.write_text("config.json", json.dumps({"url": server.url("/" + NAME),
                                              "public_key": key.key_line}))
    app.write_list([])
    return app


def start(processes, app):
    return processes.start([app.path("monitor")], cwd=app.root)


def check_ends(app, report, installs):
    """Waits for version 2 running, or for report of two checks that then
    installed nothing."""
    if installs:
        wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 running")
        return
    wait_for(lambda: app.log_text().count(report) >= 2, timeout=20, what=report)
    assert app.runs("v2") == []
    assert not os.path.lexists(app.path("bin", "v2"))
    assert not os.path.lexists(app.path("update.gz"))


def part_size(app):
    """The download's size; 0 when there is none (a check may be starting one)."""
    try:
        return os.path.getsize(app.path("update.gz.part"))
    except FileNotFoundError:
        return 0


# --- Content encodings ----------------------------------------------------


@pytest.mark.parametrize("kind,coding,installs", [
    ("crc", "gzip", False),
    ("archive", "gzip", False),
    ("archive", "x-gzip", False),
    ("minisig", "gzip", False),
    ("archive", "Identity", True),
    ("crc", "identity", True),
])
def test_replies_in_an_encoding_are_refused(app, server, processes, signed_release,
                                            kind, coding, installs):
    """A gzip-encoded reply decodes to the very file, so taking it would
    install; the encoded bytes are refused before one of them is kept."""
    server.behave(NAME + SUFFIX[kind], "encoding " + coding)
    start(processes, app)
    check_ends(app, failure_of(kind, server), installs)
    if not installs and kind == "archive":
        assert "reply refused: Content-Encoding:%s, only the identity encoding is taken url:%s" % (
            coding, server.url("/" + NAME)) in app.log_text()
        assert part_size(app) == 0  # not a byte of it was written
    if not installs and kind == "crc":
        assert "remote file crc:" not in app.log_text()


# --- Redirects ------------------------------------------------------------


class Listener:
    """A port on 127.0.0.1 that listens and never answers; a transfer that
    reached it stays behind as a connection waiting to be accepted."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.sock.setblocking(False)
        self.port = self.sock.getsockname()[1]

    def connections(self):
        count = 0
        while True:
            try:
                conn, _ = self.sock.accept()
            except BlockingIOError:
                return count
            conn.close()
            count += 1

    def close(self):
        self.sock.close()


@pytest.fixture
def listener():
    port = Listener()
    try:
        yield port
    finally:
        port.close()


@pytest.mark.parametrize("kind", ["crc", "archive", "minisig"])
@pytest.mark.parametrize("target", ["file", "ftp", "http"])
def test_redirects_lead_to_http_only(app, server, processes, signed_release, listener, tmp_path,
                                     kind, target):
    """The very file the check wants waits at the redirect's target; only an
    http one is fetched."""
    name = NAME + SUFFIX[kind]
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / name).write_bytes(signed_release[kind])
    server.publish("moved/" + name, signed_release[kind])
    location = {
        "file": "file://%s/%s" % (elsewhere, name),
        "ftp": "ftp://127.0.0.1:%d/%s" % (listener.port, name),
        "http": server.url("/moved/" + name),
    }[target]
    server.behave(name, "redirect " + location)
    start(processes, app)
    check_ends(app, failure_of(kind, server), target == "http")
    assert listener.connections() == 0
    assert [r.status for r in server.requests() if r.path == "/" + name][0] == 302
    if target != "http" and kind == "crc":
        assert crc_text(signed_release["archive"]) not in app.log_text()


# --- The free-space reserve -----------------------------------------------

FS_SIZE = 160 << 20
RESERVE = 64 << 20  # max(5 %, 64 MiB) of the tmpfs


def fs_in_between():
    """A size that fits in the free space of the tmpfs holding the
    application directory, but half the reserve past the room it leaves."""
    free = FS_SIZE - os.path.getsize(build_path("monitor-fast")) - (1 << 20)
    return free - RESERVE // 2


def run_on_small_fs(fs_dir, seed):
    """In the private mount namespace: a tmpfs over fs_dir, the application
    directory copied from seed onto it, and its supervisor in place of this
    process."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % FS_SIZE, "tmpfs", fs_dir],
                   check=True)
    app = os.path.join(fs_dir, "app")
    shutil.copytree(seed, app, symlinks=True)
    os.chdir(app)
    os.execv(os.path.join(app, "monitor"), [os.path.join(app, "monitor")])


class SmallFsApp:
    """An application directory on a tmpfs of FS_SIZE that only its
    supervisor's mount namespace sees; read through /proc/<pid>/root."""

    def __init__(self, tmp_path, server):
        self.fs_dir = str(tmp_path / "fs")
        os.mkdir(self.fs_dir)
        self.seed = App(tmp_path / "seed")
        shutil.copy2(build_path("monitor-fast"), self.seed.path("monitor"))
        self.seed.write_text("config.json", json.dumps({"url": server.url("/" + NAME)}))
        self.seed.write_list([])
        self.proc = None

    def start(self, processes):
        self.proc = processes.start(["unshare", "-m", "--propagation", "private", sys.executable,
                                     os.path.abspath(__file__), self.fs_dir, self.seed.root])
        self.app = App("/proc/%d/root%s/app" % (self.proc.pid, self.fs_dir))
        wait_for(lambda: os.path.exists(self.app.path("monitor")), what="the tmpfs laid out")
        return self.app


@pytest.fixture
def small_fs(tmp_path, server):
    if not private_mounts():
        pytest.skip("needs root and unshare for a private mount namespace")
    return SmallFsApp(tmp_path, server)


def sparse(server, name, size):
    """Publishes a file of size zero bytes that takes no room on disk."""
    path = server.publish(name, b"")
    with open(path, "r+b") as f:
        f.truncate(size)


def last_message(app):
    try:
        with open(app.path("status.json")) as f:
            last = json.load(f)["update"]["last"]
    except (FileNotFoundError, ValueError):
        return None
    return last and last["message"]


NO_ROOM = "not enough free space: the download keeps 64 MiB and 5 % of the inodes free; "


def settle(app, server):
    """Holds every later check at its CRC file, so that what the download
    left stays as it is: waits for the first check that fails there."""
    server.behave(NAME + ".crc", "stall 30")
    wait_for(lambda: "down crc file error!" in app.log_text(), what="a check held off")


@pytest.mark.parametrize("case", ["claimed length", "no length", "continuation"])
def test_a_download_keeps_the_free_space_reserve(small_fs, server, processes, case):
    size = fs_in_between()
    held = 1 << 20
    url = server.url("/" + NAME)
    server.publish(NAME + ".crc", json.dumps({"crc": "1234"}).encode())
    if case == "claimed length":
        # The reply stops short of what it announced and would be kept.
        server.publish(NAME, os.urandom(held))
        server.behave(NAME, "length %d" % size)
        reason = "the reply needs %d more bytes, the part is removed" % size
    elif case == "no length":
        # The whole of it would fit on the file system; the part would stay.
        sparse(server, NAME, size)
        server.behave(NAME, "chunked hold 60")
        reason = "stopped at "
    else:
        sparse(server, NAME, size)
        with open(small_fs.seed.path("update.gz.part"), "wb") as f:
            f.write(bytes(held))
        small_fs.seed.write_text("update.gz.part.json", json.dumps({"crc": "1234", "size": size}))
        reason = "the reply needs %d more bytes, the part is removed" % (size - held)
    app = small_fs.start(processes)
    report = NO_ROOM + reason
    wait_for(lambda: report in app.log_text(), timeout=30, what="the reason")
    wait_for(lambda: (last_message(app) or "").startswith(report), what="the reason in the status")
    log = app.log_text()
    # The specified record first, then the reason, on one line with the address.
    assert log.index("down file error! url:%s" % url) < log.index(report)
    assert log[log.index(report):].split("\n")[0].endswith(" url:%s" % url)
    settle(app, server)
    assert not os.path.lexists(app.path("update.gz.part"))
    assert not os.path.lexists(app.path("update.gz.part.json"))
    asked = [t for t in server.transfers() if t.path == "/" + NAME]
    assert asked and asked[0].status in (200, 206)
    if case == "continuation":
        assert asked[0].range == "bytes=%d-" % held and asked[0].status == 206
    if case == "no length":
        stopped = int(log[log.index(report) + len(report):].split(" ")[0])
        assert held < stopped <= FS_SIZE - RESERVE


if __name__ == "__main__":
    run_on_small_fs(sys.argv[1], sys.argv[2])
