"""The update check and installation end to end: a real HTTP server on
loopback publishes archives, and monitor-fast checks every period."""
import io
import json
import os
import shutil
import subprocess
import tarfile

import pytest

from conftest import alive, build_path, fast_timing, wait_for
from supervised_app import App
from update_archive import crc_file, crc_text, make_archive, probe_bytes, version_archive

_FAST = fast_timing()
PERIOD_S = _FAST["update_ticks"] * _FAST["update_tick_ms"] / 1000.0  # update period of monitor-fast
PAUSE_S = _FAST["restart_pause_ms"] / 1000.0


@pytest.fixture
def app(app_dir, server):
    app = App(app_dir)
    app.write_text("config.json", json.dumps({"url": server.url("/app.tar.gz")}))
    return app


def publish(server, archive, crc=None):
    server.publish("app.tar.gz", archive)
    server.publish("app.tar.gz.crc", crc if crc is not None else crc_file(archive))


def install_locally(app, archive):
    """Lays out the files of archive as if it had been installed before."""
    with open(app.path("update.gz"), "wb") as f:
        f.write(archive)
    subprocess.run(["tar", "xzf", app.path("update.gz"), "-C", app.root], check=True)


def start(processes, app, stdout=subprocess.DEVNULL):
    return processes.start([app.path("monitor")], cwd=app.root, stdout=stdout)


def fetched(server, name):
    return [r for r in server.requests() if r.path == "/" + name]


def wait_checks(app, checks):
    """Waits for checks more update checks (each reports the remote CRC)."""
    record = "remote file crc:"
    seen = app.log_text().count(record)
    wait_for(lambda: app.log_text().count(record) >= seen + checks, timeout=10 + 5 * checks,
             what="%d further update checks" % checks)


def test_new_version_replaces_the_running_one(app, server, processes, tmp_path):
    v1 = version_archive("v1")
    install_locally(app, v1)
    publish(server, v1)
    out_path = tmp_path / "stdout"
    with open(out_path, "w") as out:
        start(processes, app, stdout=out)
    old = wait_for(lambda: app.runs("v1"), what="version 1 running")[0]
    wait_for(lambda: fetched(server, "app.tar.gz.crc"), what="the start-up check")

    v2 = version_archive("v2")
    publish(server, v2)
    new = wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 running")[0]
    wait_for(lambda: not alive(old.pid), what="version 1 stopped")
    assert alive(new.pid)
    with open(app.path("update.gz"), "rb") as f:
        assert f.read() == v2
    assert len(app.runs("v1")) == 1  # not started again after the installation
    log = app.log_text()
    assert "remote file crc:%s local crc:%s" % (crc_text(v2), crc_text(v1)) in log
    assert "kill process pid:%d\n" % old.pid in out_path.read_text()
    assert "cmd:tar zxvf" not in log  # the command goes to the console only


def test_unchanged_crc_fetches_only_the_crc_file(app, server, processes):
    v1 = version_archive("v1")
    install_locally(app, v1)
    publish(server, v1)
    start(processes, app)
    wait_for(lambda: len(fetched(server, "app.tar.gz.crc")) >= 3, timeout=20, what="three checks")
    assert fetched(server, "app.tar.gz") == []
    assert len(app.runs("v1")) == 1
    assert "remote file crc:%s local crc:%s" % (crc_text(v1), crc_text(v1)) in app.log_text()


def test_first_start_without_a_local_copy_installs_before_starting(app, server, processes):
    v1 = version_archive("v1")
    publish(server, v1)
    start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    assert "json error!" not in app.log_text()  # the list came from the archive
    assert "remote file crc:%s local crc:0" % crc_text(v1) in app.log_text()


@pytest.mark.parametrize("label,crc_body", [
    ("mismatch", json.dumps({"crc": "12345"}).encode()),
    ("not json", b"<html>nothing</html>"),
    ("number", json.dumps({"crc": 12345}).encode()),
    ("leading zero", None),  # filled in below
])
def test_unusable_crc_downloads_but_installs_nothing(app, server, processes, label, crc_body):
    v1 = version_archive("v1")
    install_locally(app, v1)
    v2 = version_archive("v2")
    if crc_body is None:
        crc_body = json.dumps({"crc": "0" + crc_text(v2)}).encode()
    publish(server, v2, crc=crc_body)
    start(processes, app)
    # Two ended checks: the second one's download is gone too (waiting for its
    # request instead found it still being written).
    mismatch = "local_crc:%s remote crc:" % crc_text(v2)
    wait_for(lambda: app.log_text().count(mismatch) >= 2, timeout=20, what="a second try")
    assert len(fetched(server, "app.tar.gz")) >= 2
    assert app.runs("v2") == []
    assert not os.path.exists(app.path("bin", "v2"))
    assert len(app.runs("v1")) == 1
    with open(app.path("update.gz"), "rb") as f:
        assert f.read() == v1  # the local copy still stands for the installed version
    assert not os.path.exists(app.path("update.gz.part"))


def test_missing_crc_file_page_counts_as_the_crc_file(app, server, processes):
    v1 = version_archive("v1")
    install_locally(app, v1)
    server.publish("app.tar.gz", version_archive("v2"))
    start(processes, app)
    wait_for(lambda: "json error! json:" in app.log_text(), timeout=20, what="the json report")
    wait_for(lambda: "local_crc:" in app.log_text(), timeout=20, what="the CRC mismatch")
    assert app.runs("v2") == []


def test_archive_fetch_that_times_out_keeps_the_local_copy(app, server, processes):
    v1 = version_archive("v1")
    install_locally(app, v1)
    v2 = version_archive("v2")
    publish(server, v2)
    server.behave("app.tar.gz", "stall 30")
    start(processes, app)
    url = server.url("/app.tar.gz")
    wait_for(lambda: "down file error! url:%s" % url in app.log_text(), timeout=30,
             what="the download error")
    with open(app.path("update.gz"), "rb") as f:
        assert f.read() == v1
    assert not os.path.exists(app.path("update.gz.part"))
    wait_for(lambda: app.runs("v1"), what="version 1 running")  # starts after the check
    assert len(app.runs("v1")) == 1


def test_crc_fetch_that_times_out_is_reported(app, server, processes):
    install_locally(app, version_archive("v1"))
    publish(server, version_archive("v2"))
    server.behave("app.tar.gz.crc", "stall 30")
    start(processes, app)
    url = server.url("/app.tar.gz.crc")
    wait_for(lambda: "down crc file error! url:%s" % url in app.log_text(), timeout=30,
             what="the CRC download error")
    assert fetched(server, "app.tar.gz") == []


@pytest.mark.parametrize("settings", [None, "", "{not json", '{"url": 5}', '{"URL": "x"}'])
def test_unusable_update_settings(app_dir, processes, settings):
    app = App(app_dir)
    app.write_list([])
    if settings is not None:
        app.write_text("config.json", settings)
    start(processes, app)
    wait_for(lambda: "down crc file error! url:.crc" in app.log_text(), what="the .crc report")
    assert "json error! path:%s json:" % app.path("config.json") in app.log_text()


def test_archive_that_is_not_a_gzip_tar_stops_nothing(app, server, processes):
    v1 = version_archive("v1")
    install_locally(app, v1)
    publish(server, b"this is not an archive" * 100)
    start(processes, app)
    wait_for(lambda: "archive refused, nothing installed! not gzip" in app.log_text(), timeout=20,
             what="the unreadable archive report")
    # A stop or restart of version 1 would come with that check; three more
    # checks later it would long have shown.
    wait_checks(app, 3)
    assert len(app.runs("v1")) == 1
    assert alive(app.runs("v1")[0].pid)


def test_program_that_ignores_sigterm_does_not_outlive_the_installation(
        app, server, processes):
    v1 = version_archive("v1", extra={"bin/v1.ignoreterm": b""})
    install_locally(app, v1)
    publish(server, v1)
    start(processes, app)
    old = wait_for(lambda: app.runs("v1"), what="version 1 running")[0]
    publish(server, version_archive("v2"))
    wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 running")
    assert not alive(old.pid)
    assert "process did not end, killed pid : %d path:%s" % (old.pid, app.path("bin", "v1")) \
        in app.log_text()


def test_invalid_list_after_an_update_starts_the_killed_program_with_the_others(
        app, server, processes):
    """The previous list stays in force; the program that had to be killed is
    started again by the installation, not later as a restart."""
    entries = [{"path": "stubborn", "param": "", "run": 0}, {"path": "v1", "param": "", "run": 0}]
    v1 = version_archive("v1", entries=entries, extra={
        "bin/stubborn": (probe_bytes(), 0o755),
        "bin/stubborn.sleep": b"600000",
        "bin/stubborn.ignoreterm": b"",
    })
    install_locally(app, v1)
    publish(server, v1)
    start(processes, app)
    old = {name: wait_for(lambda: app.runs(name), what=name + " running")[0]
           for name in ("stubborn", "v1")}
    publish(server, make_archive({"bin/config.json": b"{not json"}))
    for name in ("stubborn", "v1"):
        wait_for(lambda: len(app.runs(name)) == 2, timeout=20, what=name + " started again")
    log = app.log_text()
    assert "json error! path:%s json:{not json" % app.path("bin", "config.json") in log
    assert "process did not end, killed pid : %d path:%s" % (
        old["stubborn"].pid, app.path("bin", "stubborn")) in log
    for name, run in old.items():
        assert "restart pid : %d " % run.pid not in log, name


def test_application_directory_with_shell_characters(tmp_path, server, processes):
    root = tmp_path / "dir with blanks;$(touch pwned)`touch pwned2`'\""
    root.mkdir()
    app = App(root)
    shutil.copy2(build_path("monitor-fast"), app.path("monitor"))
    app.write_text("config.json", json.dumps({"url": server.url("/app.tar.gz")}))
    publish(server, version_archive("v1"))
    start(processes, app)
    wait_for(lambda: app.runs("v1"), timeout=20, what="version 1 installed and running")
    for leftover in ("pwned", "pwned2"):
        assert not os.path.exists(tmp_path / leftover)
        assert not os.path.exists(root / leftover)


def test_installation_while_programs_keep_ending(app, server, processes):
    """Both threads at work on the table: the loop restarts programs that end
    at once while the update thread stops, rebuilds and starts them."""
    entries = [{"path": "v1", "param": str(i), "run": 0} for i in range(5)]
    v1 = version_archive("v1", entries=entries, extra={"bin/v1.sleep": b"20"})
    install_locally(app, v1)
    publish(server, v1)
    start(processes, app)
    wait_for(lambda: len(app.runs("v1")) >= 15, timeout=30, what="version 1 restarting")
    # The ticker ends at once and is restarted without limit, so each of its
    # restarts is a later pass of the loop.
    publish(server, version_archive("v2", entries=[
        {"path": "v2", "param": str(i), "run": 0} for i in range(5)] + [
        {"path": "ticker", "param": "", "run": 0}], extra={"bin/ticker": (probe_bytes(), 0o755)}))
    wait_for(lambda: len({r.args[1] for r in app.runs("v2")}) == 5, timeout=30,
             what="all of version 2 running")
    settled = len(app.runs("v1"))
    # Ended programs wait their turn in the order they ended: once the ticker
    # (started by the installation) has been restarted twice, every end of
    # version 1 seen before the installation has had its turn.
    ticks = len(app.runs("ticker"))
    wait_for(lambda: len(app.runs("ticker")) >= ticks + 2, timeout=30,
             what="two further passes of the loop")
    assert len(app.runs("v1")) == settled  # nothing of version 1 starts any more


def test_archive_reaching_outside_stops_nothing_and_writes_nothing(app, server, processes,
                                                                    tmp_path):
    v1 = version_archive("v1")
    install_locally(app, v1)
    publish(server, v1)
    start(processes, app)
    old = wait_for(lambda: app.runs("v1"), what="version 1 running")[0]
    outside = tmp_path / "outside"
    outside.mkdir()
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        link = tarfile.TarInfo("bin/escape")
        link.type = tarfile.SYMTYPE
        link.linkname = str(outside)
        tar.addfile(link)
        data = b"planted"
        member = tarfile.TarInfo("bin/escape/planted")
        member.size = len(data)
        tar.addfile(member, io.BytesIO(data))
    publish(server, buf.getvalue())
    wait_for(lambda: "archive refused, nothing installed! cannot stage bin/escape/planted"
             in app.log_text(), timeout=20, what="the refusal")
    assert os.listdir(outside) == []
    assert not os.path.lexists(app.path("bin", "escape"))
    assert alive(old.pid) and len(app.runs("v1")) == 1
    with open(app.path("update.gz"), "rb") as f:
        assert f.read() == v1


def test_endless_crc_file_is_cut_short(app, server, processes):
    install_locally(app, version_archive("v1"))
    server.publish("app.tar.gz.crc", b'{"crc": "1"}' + b" " * (1 << 20))
    start(processes, app)
    url = server.url("/app.tar.gz.crc")
    wait_for(lambda: "down crc file error! url:%s" % url in app.log_text(), timeout=20,
             what="the CRC download error")
    assert fetched(server, "app.tar.gz") == []


def test_archive_published_before_its_crc_file_is_still_installed(app, server, processes):
    """A check that fetches the old CRC file and then the new archive gets a
    mismatch; the next check, once the new CRC file is out, must install."""
    v1, v2 = version_archive("v1"), version_archive("v2")
    install_locally(app, version_archive("v0"))
    server.publish("app.tar.gz", v2)
    server.publish("app.tar.gz.crc", crc_file(v1))  # the publisher is halfway through
    start(processes, app)
    wait_for(lambda: "local_crc:%s remote crc:%s" % (crc_text(v2), crc_text(v1))
             in app.log_text(), timeout=20, what="the mismatch")
    server.publish("app.tar.gz.crc", crc_file(v2))
    wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 installed")


def test_stopped_programs_do_not_delay_the_new_versions_restarts(app, server, processes):
    """Each program an installation stopped used to cost the loop a pause
    before the new version's programs could be restarted."""
    stopped = 40
    publish(server, version_archive(
        "v1", entries=[{"path": "v1", "param": str(i), "run": 0} for i in range(stopped)]))
    start(processes, app)
    wait_for(lambda: len(app.runs("v1")) == stopped, timeout=20, what="version 1 running")

    # Version 2 is one program that ends at once and is started again each time.
    publish(server, version_archive("v2", extra={"bin/v2.sleep": b"0"}))
    wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 started")
    # A pause after each end, not one per stopped program (12 s) first.
    wait_for(lambda: len(app.runs("v2")) >= 3, timeout=15 * PAUSE_S, what="version 2 restarted twice")
    assert len(app.runs("v1")) == stopped


@pytest.mark.parametrize("plant", ["link", "fifo", "directory"])
def test_whatever_stands_at_the_download_is_removed_not_followed(app, server, processes, tmp_path,
                                                                 plant):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "victim.txt").write_bytes(b"keep")
    part = app.path("update.gz.part")
    if plant == "link":
        os.symlink(outside / "victim.txt", part)
    elif plant == "fifo":
        os.mkfifo(part)
    else:
        os.makedirs(os.path.join(part, "deep", "er"))
        os.symlink(outside, os.path.join(part, "deep", "out"))
    v1 = version_archive("v1")
    publish(server, v1)
    start(processes, app)
    wait_for(lambda: app.runs("v1"), timeout=20, what="version 1 installed")
    with open(app.path("update.gz"), "rb") as f:
        assert f.read() == v1
    assert not os.path.lexists(part)
    assert sorted(os.listdir(outside)) == ["victim.txt"]
    assert (outside / "victim.txt").read_bytes() == b"keep"


def test_staging_left_by_a_crash_is_removed_at_start_up(app, server, processes):
    v1 = version_archive("v1")
    install_locally(app, v1)
    publish(server, v1)
    staging = app.path("update.staging")
    os.makedirs(os.path.join(staging, "bin"))
    with open(os.path.join(staging, "bin", "half"), "w") as f:
        f.write("half")
    start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    assert not os.path.lexists(staging)
    assert not os.path.lexists(app.path("bin", "half"))


def test_listing_follows_the_unpack_announcement_and_the_stops(app, server, processes, tmp_path):
    v1 = version_archive("v1")
    install_locally(app, v1)
    publish(server, v1)
    out_path = tmp_path / "stdout"
    with open(out_path, "w") as out:
        processes.start([app.path("monitor"), "-log"], cwd=app.root, stdout=out)
    old = wait_for(lambda: app.runs("v1"), what="version 1 running")[0]
    publish(server, version_archive("v2"))
    wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 installed")
    text = out_path.read_text()
    # As tar's run printed it: the command, the programs stopped, then the members.
    cmd = "cmd:tar zxvf %s -C %s" % (app.path("update.gz"), app.root)
    kill = "kill process pid:%d\n" % old.pid
    assert cmd in text and kill in text
    after = text[text.index(cmd):]
    listing = after[after.index(kill) + len(kill):].split("\n")
    assert after.index(kill) > 0
    for name in ("bin/config.json", "bin/v2", "bin/v2.sleep"):
        assert name in listing
        assert after.index(name + "\n") > after.index(kill)


def test_a_release_that_replaces_the_supervisor_keeps_it_working(app, server, processes):
    v1 = version_archive("v1")
    install_locally(app, v1)
    publish(server, v1)
    start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    with open(build_path("monitor-fast"), "rb") as f:
        monitor = f.read() + b"\0new build"  # another file, the same program
    v2 = version_archive("v2", extra={"monitor": (monitor, 0o755)})
    publish(server, v2)
    wait_for(lambda: app.runs("v2"), timeout=20, what="the new list started")
    wait_for(lambda: not os.path.lexists(app.path("update.staging")), what="staging removed")
    with open(app.path("monitor"), "rb") as f:
        assert f.read() == monitor
    seen = len(app.log_text())
    wait_checks(app, 1)
    later = app.log_text()[seen:]
    assert "remote file crc:%s local crc:%s" % (crc_text(v2), crc_text(v2)) in later
    assert "update.staging" not in later
    assert "json error!" not in later
    assert app.runs("v1")[-1:] and len(app.runs("v1")) == 1  # the old list never again
