"""What operators see of a running supervisor: the record of every program's
end, status.json through the programs' lives and after each kind of update
check, and the metrics file (checked by promtool)."""
import json
import os
import resource
import shutil
import subprocess
import time

import pytest

from conftest import fast_timing, wait_for
from installs import read_status
from supervised_app import App
from update_archive import crc_file, crc_text, make_archive, version_archive

_FAST = fast_timing()
PERIOD_S = _FAST["update_ticks"] * _FAST["update_tick_ms"] / 1000.0
ENDED = "program ended pid : %d path:%s %s"


@pytest.fixture
def app(app_dir):
    return App(app_dir)


def no_core():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def start(processes, app):
    return processes.start([app.path("monitor")], cwd=app.root, preexec_fn=no_core)


def program(status, path):
    """The entry for path; an empty one before the list is read."""
    return next((p for p in status["programs"] if p["path"] == path), {"state": None})


def status_where(app, test, what):
    last = [None]

    def check():
        last[0] = status = read_status(app)
        return status if status is not None and test(status) else None
    try:
        return wait_for(check, timeout=20, what=what)
    except AssertionError as e:
        raise AssertionError("%s; status.json: %s" % (e, json.dumps(last[0]))) from None


ENDS = [
    # name, how the probe ends, the record's ending, the status's last end
    ("zero", {"status": 0}, "exit:0", {"kind": "exit", "exit": 0}),
    ("three", {"status": 3}, "exit:3", {"kind": "exit", "exit": 3}),
    ("killed", {"signal": 9}, "signal:SIGKILL", {"kind": "signal", "signal": "SIGKILL",
                                                 "core": False}),
    ("segv", {"signal": 11}, "signal:SIGSEGV", {"kind": "signal", "signal": "SIGSEGV",
                                                "core": False}),
]


def test_every_end_is_recorded_with_its_cause(app, processes):
    entries = []
    for name, how, _, _ in ENDS:
        app.add_probe(name, **how)
        entries.append({"path": name, "param": "", "run": 2})
    app.write_list(entries)
    start(processes, app)

    def exhausted(status):
        return all(program(status, app.path("bin", n))["state"] == "exhausted"
                   for n, _, _, _ in ENDS)
    status = status_where(app, exhausted, "every program used up its starts")
    log = app.log_text()
    for name, _, text, last_end in ENDS:
        path = app.path("bin", name)
        runs = app.runs(name)
        assert len(runs) == 2, name
        for run in runs:
            assert log.count(ENDED % (run.pid, path, text)) == 1, name
        # The record of the end comes before the restart that follows it.
        assert log.index(ENDED % (runs[0].pid, path, text)) < log.index(
            "restart pid : %d path:%s" % (runs[0].pid, path))
        entry = program(status, path)
        assert {k: entry["last_end"][k] for k in last_end} == last_end, name
        assert entry["last_end"]["pid"] == runs[-1].pid
        assert entry["pid"] is None
        assert entry["starts"] == 2 and entry["starts_left"] == 0
        assert entry["last_start"] <= entry["last_end"]["time"]


def test_states_through_a_whole_life(app, server, processes):
    """running, waiting for a restart, exhausted, never started, stopped by an
    installation, running again, each seen by a reader of status.json."""
    app.write_text("config.json", json.dumps({"url": server.url("/app.tar.gz")}))
    # Five programs end first; each costs the loop a pause, so "twice" waits
    # for its restart long enough to be seen waiting.
    entries = []
    for i in range(5):
        app.add_probe("early%d" % i, sleep_ms=200)
        entries.append({"path": "early%d" % i, "param": "", "run": 1})
    app.add_probe("twice", sleep_ms=600)
    app.add_probe("steady", sleep_ms=600000)
    entries += [{"path": "twice", "param": "", "run": 2},
                {"path": "steady", "param": "", "run": 0},
                {"path": "off", "param": "", "run": "-1"}]
    app.write_list(entries)
    start(processes, app)

    seen = {"twice": [], "steady": [], "off": []}

    def watch_until(test, what, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            status = read_status(app)
            if status is not None:
                for name, states in seen.items():
                    state = program(status, app.path("bin", name))["state"]
                    if state is not None and (not states or states[-1] != state):
                        states.append(state)
                if test(status):
                    return status
            time.sleep(0.002)
        raise AssertionError("timed out waiting for " + what + ": %r" % seen)

    watch_until(lambda s: program(s, app.path("bin", "twice"))["state"] == "exhausted",
                "twice exhausted")
    # Between reading the list and starting it, the status may show the
    # entries not started yet.
    if seen["twice"][0] == "never started":
        seen["twice"].pop(0)
    assert seen["twice"] == ["running", "waiting", "running", "exhausted"]
    assert seen["off"] == ["never started"]

    # An installation of the same list stops the programs, then starts them
    # again; their history carries over.
    old = app.runs("steady")[-1].pid
    with open(app.path("bin", "config.json"), "rb") as f:
        listing = f.read()
    archive = make_archive({"bin/config.json": listing})
    server.publish("app.tar.gz", archive)
    server.publish("app.tar.gz.crc", crc_file(archive))
    seen["steady"] = seen["steady"][-1:]
    status = watch_until(
        lambda s: s["version"] == crc_text(archive)
        and program(s, app.path("bin", "steady"))["starts"] == 2
        and program(s, app.path("bin", "steady"))["state"] == "running", "steady running again")
    assert seen["steady"] == ["running", "stopped", "running"]
    steady = program(status, app.path("bin", "steady"))
    # The probe records its run once it runs, which may come after the status.
    wait_for(lambda: app.runs("steady")[-1].pid == steady["pid"], what="steady's new run")
    assert steady["pid"] != old
    assert steady["last_end"]["signal"] == "SIGTERM"
    assert steady["last_end"]["pid"] == old
    assert program(status, app.path("bin", "off"))["state"] == "never started"


def minisign_key(tmp_path):
    """A public key line made by the real minisign."""
    d = tmp_path / "key"
    d.mkdir()
    subprocess.run(["minisign", "-G", "-W", "-p", str(d / "k.pub"), "-s", str(d / "k.key")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (d / "k.pub").read_text().splitlines()[1]


def test_each_kind_of_check_is_told(app, server, processes, tmp_path):
    """One supervisor; between checks the server (or the settings) change, and
    status.json tells each check's result, word and message."""
    app.add_probe("steady", sleep_ms=600000)
    app.write_list([{"path": "steady", "param": "", "run": 0}])
    archive_url = server.url("/app.tar.gz")
    closed = socket_port_closed()

    def settings(**more):
        app.write_text("config.json", json.dumps(dict({"url": archive_url}, **more)))

    release = version_archive("v2")
    other = version_archive("v3")
    rows = [
        # set-up, result, word, the message begins
        (lambda: app.write_text("config.json", json.dumps(
            {"url": "http://127.0.0.1:%d/app.tar.gz" % closed})),
         -1, "no crc file", "down crc file error! url:http://127.0.0.1:%d/app.tar.gz.crc" % closed),
        (lambda: (settings(), server.publish("app.tar.gz.crc", crc_file(release)),
                  server.publish("app.tar.gz", release), server.behave("app.tar.gz", "reset")),
         -2, "no archive", "down file error! url:" + archive_url),
        (lambda: (server.behave("app.tar.gz", None), server.publish("app.tar.gz", other)),
         -4, "crc mismatch", "local_crc:%s remote crc:%s" % (crc_text(other), crc_text(release))),
        (lambda: (server.publish("app.tar.gz", b"not an archive"),
                  server.publish("app.tar.gz.crc", crc_file(b"not an archive"))),
         -5, "archive refused", "archive refused, nothing installed! "),
        (lambda: (server.publish("app.tar.gz", release),
                  server.publish("app.tar.gz.crc", crc_file(release))),
         1, "installed", "remote file crc:%s local crc:0" % crc_text(release)),
        (lambda: None,
         0, "current", "remote file crc:%s local crc:%s" % (crc_text(release), crc_text(release))),
        (lambda: settings(public_key="not a key"),
         -6, "signature refused", "signature refused, nothing installed! public_key is not"),
        (lambda: settings(public_key=minisign_key(tmp_path)),
         0, "current", "remote file crc:"),
    ]
    start(processes, app)
    status_where(app, lambda s: s["update"]["last"] is not None
                 and s["update"]["last"]["message"].startswith("down crc file error! url:.crc"),
                 "the start-up check")
    for set_up, result, word, message in rows:
        set_up()
        # Each row's word and message differ from the row before's.
        last = status_where(app, lambda s: s["update"]["last"]["word"] == word
                            and s["update"]["last"]["message"].startswith(message), word)["update"]
        assert last["last"]["result"] == result, word
        assert last["next"] >= last["last"]["time"], word
    status = read_status(app)
    assert status["version"] == crc_text(release)
    assert status["pid"] == processes.started[0].pid


def socket_port_closed():
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def test_status_is_whole_at_every_moment_while_many_programs_end(app, processes, tmp_path):
    metrics = str(tmp_path / "metrics" / "monitor.prom")
    os.makedirs(os.path.dirname(metrics))
    app.write_text("config.json", json.dumps({"url": "http://127.0.0.1:9/x",
                                              "metrics_file": metrics}))
    entries = []
    for i in range(40):
        app.add_probe("p%d" % i, sleep_ms=100)
        entries.append({"path": "p%d" % i, "param": "", "run": 0})
    app.write_list(entries)
    start(processes, app)
    versions, reads = set(), 0
    deadline = time.monotonic() + 60
    while len(versions) < 30:
        assert time.monotonic() < deadline, "status.json was replaced %d times" % len(versions)
        try:
            with open(app.path("status.json"), "rb") as f:
                versions.add(os.fstat(f.fileno()).st_ino)
                text = f.read()
        except FileNotFoundError:
            continue
        status = json.loads(text)  # never a half-written file
        assert len(status["programs"]) in (0, 40)  # before and after the list is read
        if os.path.exists(metrics):
            with open(metrics) as f:
                assert f.read().endswith("\n")
        reads += 1
    assert reads > len(versions)
    promtool = subprocess.run(["promtool", "check", "metrics"], input=open(metrics, "rb").read(),
                              capture_output=True)
    assert promtool.returncode == 0, promtool.stdout + promtool.stderr


def test_metrics_file_passes_promtool_whatever_the_list_holds(app, processes, tmp_path):
    metrics = str(tmp_path / "monitor.prom")
    app.write_text("config.json", json.dumps({"url": "http://127.0.0.1:9/x",
                                              "metrics_file": metrics}))
    app.add_probe('odd "name"\\', sleep_ms=600000)
    app.add_probe("short", status=4)
    listing = json.dumps({"list": [
        {"path": 'odd "name"\\', "param": 'a "b"\\c\nd\te', "run": 0},
        {"path": 'odd "name"\\', "param": 'a "b"\\c\nd\te', "run": 0},
        {"path": "short", "param": "PLACEHOLDER", "run": 1},
    ]}).encode().replace(b"PLACEHOLDER", b"\xff\xfe")  # bytes that are not UTF-8
    with open(app.path("bin", "config.json"), "wb") as f:
        f.write(listing)
    start(processes, app)

    def written():
        if not os.path.exists(metrics):
            return None
        text = open(metrics, encoding="utf-8").read()  # UTF-8 throughout
        return text if 'monitor_programs{state="exhausted"} 1' in text and \
            'monitor_programs{state="running"} 2' in text else None
    text = wait_for(written, timeout=20, what="the metrics of every program")
    promtool = subprocess.run(["promtool", "check", "metrics"], input=text.encode(),
                              capture_output=True)
    assert promtool.returncode == 0, promtool.stdout + promtool.stderr
    assert 'copy="2"' in text
    assert 'monitor_program_last_exit_code{path="%s",param="\ufffd\ufffd"} 4' % (
        app.path("bin", "short")) in text
    assert 'monitor_update_last_check_result{word="no crc file"} -1' in text
    assert "monitor_info{version=\"0\"} 1" in text


def test_unwritable_files_are_reported_once(app, processes, tmp_path):
    # A folder at the temporary names: neither file can be replaced.
    blocked = app.path("status.json.tmp")
    os.makedirs(os.path.join(blocked, "keep"))
    app.write_text("config.json", json.dumps({"url": "http://127.0.0.1:9/x",
                                              "metrics_file": "relative/monitor.prom"}))
    app.add_probe("ticker")
    app.write_list([{"path": "ticker", "param": "", "run": 0}])
    start(processes, app)
    # Many changes later (each restart is one)...
    wait_for(lambda: len(app.runs("ticker")) >= 6, timeout=20, what="six runs")
    log = app.log_text()
    assert log.count("status file not written! ") == 1
    assert "path:%s/status.json" % app.root in log
    assert log.count("metrics_file is not an absolute path, no metrics written! "
                     "metrics_file:relative/monitor.prom") == 1
    assert not os.path.exists(app.path("status.json"))
    # ...and once the way is free, the file is written again.
    shutil.rmtree(blocked)
    wait_for(lambda: read_status(app), timeout=20, what="status.json written")
