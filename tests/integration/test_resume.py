"""Downloads continued across checks through the real server and the real
monitor-fast: a loopback server throttled so that a 20 MB archive needs
several of monitor-fast's 4-second archive limits, a supervisor killed and
started again over its part, and a part cleared when its release is
withdrawn. What each check decides about a reply (ranges ignored, lied about,
refused, a release replaced) is tested against a scripted server on a fake
clock in tests/unit/fetch_archive_test.cpp."""
import json
import os
import re
import signal

import pytest

from conftest import fast_timing, wait_for
from supervised_app import App
from update_archive import crc_file, crc_text, version_archive

ARCHIVE_LIMIT_S = fast_timing()["archive_timeout_s"]
RATE = 1_250_000         # bytes per second: 20 MB take 16 s, four checks or more
NAME = "app.tar.gz"


@pytest.fixture(scope="module")
def big_archives():
    """Two 20 MB releases that cannot be compressed."""
    return {v: version_archive(v, extra={"bin/pad": os.urandom(20 * 1000 * 1000)})
            for v in ("v2", "v3")}


@pytest.fixture
def app(app_dir, server):
    app = App(app_dir)
    app.write_text("config.json", json.dumps({"url": server.url("/" + NAME)}))
    app.write_list([])
    return app


def publish(server, archive, behaviour=None):
    server.behave(NAME, behaviour)
    server.publish(NAME, archive)
    server.publish(NAME + ".crc", crc_file(archive))


def start(processes, app):
    return processes.start([app.path("monitor")], cwd=app.root)


def archive_transfers(server):
    return [t for t in server.transfers() if t.path == "/" + NAME]


def range_start(transfer):
    return 0 if transfer.range == "-" else int(re.fullmatch(r"bytes=(\d+)-", transfer.range)[1])


def down_errors(app):
    return app.log_text().count("down file error! url:")


def part_bytes(app):
    try:
        with open(app.path("update.gz.part"), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def installed(app, archive):
    try:
        with open(app.path("update.gz"), "rb") as f:
            return f.read() == archive
    except FileNotFoundError:
        return False


def wait_for_cut_part(app, count=1):
    """Waits for count cut checks and returns the part they left."""
    wait_for(lambda: down_errors(app) >= count, timeout=count * (ARCHIVE_LIMIT_S + 10),
             what="%d cut checks" % count)
    return wait_for(lambda: part_bytes(app), what="the part")


def test_slow_link_installs_over_several_checks_fetching_each_byte_once(
        app, server, processes, big_archives):
    v2 = big_archives["v2"]
    publish(server, v2, "throttle %d" % RATE)
    start(processes, app)
    part = wait_for_cut_part(app)
    assert v2.startswith(part)
    with open(app.path("update.gz.part.json")) as f:
        record = json.load(f)
    head = archive_transfers(server)[0]
    assert record["crc"] == crc_text(v2) and record["size"] == len(v2)
    assert record["etag"].startswith('"') and record["last_modified"].endswith(" GMT")

    wait_for(lambda: installed(app, v2), timeout=60, what="version 2 installed")
    wait_for(lambda: app.runs("v2"), what="version 2 running")
    transfers = archive_transfers(server)
    assert head.range == "-" and len(transfers) >= 3
    starts = [range_start(t) for t in transfers]
    assert starts == sorted(set(starts))  # each check continues where the last one stopped
    # Each range begins where the bytes kept so far end; the last one completes the archive.
    log = app.log_text()
    for s in starts[1:]:
        assert "resumed download at %d of %d url:%s" % (s, len(v2), server.url("/" + NAME)) in log
    assert all(t.status == 206 for t in transfers[1:])
    kept = [b - a for a, b in zip(starts, starts[1:] + [len(v2)])]
    assert sum(kept) == len(v2)
    sent = sum(t.sent for t in transfers)
    assert sent <= len(v2) * 1.05  # only what the cuts had in flight is fetched twice
    assert not os.path.exists(app.path("update.gz.part"))
    assert not os.path.exists(app.path("update.gz.part.json"))


@pytest.mark.parametrize("when", ["between checks", "during the first check"])
def test_restarted_supervisor_continues_the_part(app, server, processes, big_archives, when):
    v2 = big_archives["v2"]
    publish(server, v2, "throttle %d" % RATE)
    first = start(processes, app)
    if when == "between checks":
        wait_for_cut_part(app)
    else:
        wait_for(lambda: len(part_bytes(app)) > 1000000, what="a megabyte arrived")
        assert down_errors(app) == 0
    os.killpg(first.pid, signal.SIGKILL)
    first.wait()
    held = len(part_bytes(app))
    assert held > 0 and os.path.exists(app.path("update.gz.part.json"))
    seen = len(archive_transfers(server))
    server.behave(NAME, None)  # the rest at full speed: one continuation completes it
    start(processes, app)
    wait_for(lambda: installed(app, v2), timeout=60, what="version 2 installed")
    resumed = archive_transfers(server)[seen]
    assert resumed.range == "bytes=%d-" % held and resumed.status == 206
    assert "resumed download at %d of %d" % (held, len(v2)) in app.log_text()


def test_part_of_a_release_withdrawn_is_removed_at_the_next_check(
        app, server, processes, big_archives):
    """The publisher goes back to the installed release while hosts hold a
    part of the newer one."""
    v1, v2 = version_archive("v1"), big_archives["v2"]
    with open(app.path("update.gz"), "wb") as f:
        f.write(v1)
    # What a check cut short leaves of v2: its first bytes and their record.
    with open(app.path("update.gz.part"), "wb") as f:
        f.write(v2[:1000000])
    with open(app.path("update.gz.part.json"), "w") as f:
        json.dump({"crc": crc_text(v2), "etag": '"v2"', "size": len(v2)}, f)
    publish(server, v1)
    start(processes, app)
    current = "remote file crc:%s local crc:%s" % (crc_text(v1), crc_text(v1))
    # Two such checks: the first has surely finished its clearing.
    wait_for(lambda: app.log_text().count(current) >= 2, timeout=30,
             what="checks finding v1 current")
    assert not os.path.exists(app.path("update.gz.part"))
    assert not os.path.exists(app.path("update.gz.part.json"))
    assert archive_transfers(server) == []
