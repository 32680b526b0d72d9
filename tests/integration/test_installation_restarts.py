"""Restarts right after an installation: the programs the installation
stopped must not hold up the new version's restarts."""
import json

import pytest

from conftest import wait_for
from http_server import HttpServer
from supervised_app import App
from update_archive import crc_file, version_archive

PAUSE_S = 0.3  # the restart pause of monitor-fast
STOPPED = 40   # programs of the old version, each would cost a pause


@pytest.fixture
def server(tmp_path):
    root = tmp_path / "www"
    root.mkdir()
    with HttpServer(root) as srv:
        yield srv


def publish(server, archive):
    server.publish("app.tar.gz", archive)
    server.publish("app.tar.gz.crc", crc_file(archive))


def test_stopped_programs_do_not_delay_the_new_versions_restarts(app_dir, server, processes):
    app = App(app_dir)
    app.write_text("config.json", json.dumps({"url": server.url("/app.tar.gz")}))
    publish(server, version_archive(
        "v1", entries=[{"path": "v1", "param": str(i), "run": 0} for i in range(STOPPED)]))
    processes.start([app.path("monitor")], cwd=app.root)
    wait_for(lambda: len(app.runs("v1")) == STOPPED, timeout=20, what="version 1 running")

    # Version 2 is one program that ends at once and is started again each time.
    publish(server, version_archive("v2", extra={"bin/v2.sleep": b"0"}))
    wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 started")
    # One pause after its end, not one pause per stopped program (12 s) later.
    wait_for(lambda: len(app.runs("v2")) >= 3, timeout=10 * PAUSE_S,
             what="version 2 restarted twice")
    assert len(app.runs("v1")) == STOPPED
