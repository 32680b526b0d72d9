"""What the network may make of a download: replies in an encoding, and
redirects to other protocols. monitor-fast against the loopback server."""
import json
import os
import socket

import pytest

from conftest import wait_for
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
