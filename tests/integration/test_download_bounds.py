"""What the network may make of a download: replies in an encoding.
monitor-fast against the loopback server."""
import json
import os

import pytest

from conftest import wait_for
from supervised_app import App
from test_signed_updates import KeyPair
from update_archive import crc_file, version_archive

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
