"""The watch after an installation (a "health" object in the update
settings): a release whose programs keep failing, or whose check fails, is
rolled back to the previous release and rejected; a healthy one is
confirmed; without "health" nothing is watched."""
import hashlib
import io
import json
import os
import tarfile

import pytest

from conftest import alive, wait_for
from supervised_app import App
from test_updates import fetched, install_locally, start
from update_archive import crc_file, crc_text, make_archive, probe_bytes

ROLLED_BACK = "release rolled back! "


def release(program, sidecars=None, extra=None, run=0):
    """bin/<program> (the probe) in a list of its own, with its sidecar files
    (status, sleep, ...), and more members."""
    files = {
        "bin/config.json": json.dumps({"list": [{"path": program, "param": "", "run": run}]})
        .encode(),
        "bin/" + program: (probe_bytes(), 0o755),
    }
    for suffix, value in (sidecars or {"sleep": "600000"}).items():
        files["bin/%s.%s" % (program, suffix)] = str(value).encode()
    files.update(extra or {})
    return make_archive(files)


def with_links(archive, links):
    """archive with symbolic link members added, {name: target}."""
    out = io.BytesIO()
    with tarfile.open(fileobj=io.BytesIO(archive), mode="r:gz") as src, \
            tarfile.open(fileobj=out, mode="w:gz") as tar:
        for member in src:
            tar.addfile(member, src.extractfile(member) if member.isfile() else None)
        for name, target in links.items():
            info = tarfile.TarInfo(name)
            info.type = tarfile.SYMTYPE
            info.linkname = target
            tar.addfile(info)
    return out.getvalue()


def settings(server, health, **more):
    values = {"url": server.url("/app.tar.gz")}
    if health is not None:
        values["health"] = health
    values.update(more)
    return json.dumps(values)


@pytest.fixture
def app(app_dir, server):
    app = App(app_dir)
    app.write_text("config.json", settings(server, {"watch_s": 30, "max_ends": 3}))
    return app


def publish(server, archive):
    server.publish("app.tar.gz", archive)
    server.publish("app.tar.gz.crc", crc_file(archive))


def status(app):
    with open(app.path("status.json")) as f:
        return json.load(f)


def tree(root):
    """Every entry below root but the supervisor's own and the probes'
    records: type, mode, link target, content digest."""
    own = {"Log", "status.json", "tavrin.lock", "tavrin.exe", "update.gz", "config.json",
           "monitor", "update.rejected", "update.gz.minisig"}
    seen = {}
    for base, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(base, name)
            rel = os.path.relpath(path, root)
            if rel.split("/")[0] in own or rel.endswith(".out"):
                continue
            st = os.lstat(path)
            detail = ""
            if os.path.islink(path):
                detail = os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    detail = hashlib.sha1(f.read()).hexdigest()
            seen[rel] = (st.st_mode, detail)
    return seen


def test_a_release_whose_program_keeps_failing_is_rolled_back_and_not_installed_again(
        app, server, processes):
    v1 = release("v1")
    install_locally(app, v1)
    publish(server, v1)
    start(processes, app)
    first = wait_for(lambda: app.runs("v1"), what="version 1 running")[0]
    before = tree(app.root)

    bad = release("bad", {"status": 1})  # exits 1 at once, at every start
    publish(server, bad)
    wait_for(lambda: ROLLED_BACK in app.log_text(), timeout=30, what="the rollback")
    log = app.log_text()
    assert ("release rolled back! program %s ended 3 times within the watch, last exit:1 crc:%s"
            % (app.path("bin", "bad"), crc_text(bad))) in log
    assert len(app.runs("bad")) == 3
    wait_for(lambda: len(app.runs("v1")) == 2, what="version 1 started again")
    assert not alive(first.pid)
    wait_for(lambda: not os.path.lexists(app.path("update.staging")), what="the trash removed")
    assert tree(app.root) == before
    with open(app.path("update.gz"), "rb") as f:
        assert f.read() == v1
    for gone in ("update.journal", "update.previous", "update.gz.part"):
        assert not os.path.lexists(app.path(gone)), gone
    with open(app.path("update.rejected")) as f:
        assert json.load(f)["crc"] == crc_text(bad)

    # While the server publishes it, no check downloads it again: one report.
    downloads = len(fetched(server, "app.tar.gz"))
    seen = app.log_text().count("remote file crc:")
    wait_for(lambda: app.log_text().count("remote file crc:") >= seen + 3, timeout=20,
             what="three more checks")
    assert len(fetched(server, "app.tar.gz")) == downloads
    assert app.log_text().count("release rolled back earlier, not installed again! crc:" +
                                crc_text(bad)) == 1
    wait_for(lambda: status(app)["update"]["last"]["word"] == "rejected", what="the status")
    st = status(app)["update"]
    assert st["last"]["result"] == -7
    assert st["rejected"] == crc_text(bad)
    assert st["last_rollback"]["crc"] == crc_text(bad)
    assert "ended 3 times" in st["last_rollback"]["why"]
    assert st["watch"] is None

    # A newer release installs as usual.
    v2 = release("v2")
    publish(server, v2)
    wait_for(lambda: app.runs("v2"), timeout=30, what="version 2 running")
    wait_for(lambda: "release confirmed after its watch!" in app.log_text()
             or status(app)["update"]["watch"] is not None, what="version 2 on watch")


def test_a_release_whose_check_fails_is_rolled_back(app, server, processes):
    v1 = release("v1", extra={"bin/healthy": (b"#!/bin/sh\nexit 0\n", 0o755)})
    install_locally(app, v1)
    publish(server, v1)
    app.write_text("config.json", settings(server, {"watch_s": 30, "check": "healthy --deep"}))
    start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    bad = release("v2", extra={"bin/healthy": (b"#!/bin/sh\n[ \"$1\" = --deep ] && exit 4\n", 0o755)})
    publish(server, bad)
    wait_for(lambda: ROLLED_BACK in app.log_text(), timeout=30, what="the rollback")
    assert "release rolled back! check healthy --deep exit:4 crc:" + crc_text(bad) in app.log_text()
    wait_for(lambda: len(app.runs("v1")) == 2, what="version 1 started again")
    with open(app.path("bin", "healthy"), "rb") as f:
        assert f.read() == b"#!/bin/sh\nexit 0\n"


def test_a_check_that_gives_no_answer_fails_the_release(app, server, processes):
    v1 = release("v1")
    install_locally(app, v1)
    publish(server, v1)
    app.write_text("config.json", settings(server, {"watch_s": 30, "check": "stuck"}))
    start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    bad = release("v2", extra={"bin/stuck": (b"#!/bin/sh\nsleep 600\n", 0o755)})
    publish(server, bad)
    wait_for(lambda: ROLLED_BACK in app.log_text(), timeout=30, what="the rollback")
    assert "release rolled back! check stuck gave no answer within" in app.log_text()


def test_a_healthy_release_is_confirmed_and_its_previous_release_removed(app, server, processes):
    v1 = release("v1")
    install_locally(app, v1)
    publish(server, v1)
    # A one-shot helper that exits 0 is a success, not an end that counts.
    app.write_text("config.json", settings(server, {"watch_s": 2, "max_ends": 1}))
    start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    v2 = make_archive({
        "bin/config.json": json.dumps({"list": [
            {"path": "v2", "param": "", "run": 0}, {"path": "once", "param": "", "run": 1}]})
        .encode(),
        "bin/v2": (probe_bytes(), 0o755), "bin/v2.sleep": b"600000",
        "bin/once": (probe_bytes(), 0o755),
    })
    publish(server, v2)
    wait_for(lambda: status(app)["update"]["watch"] is not None, timeout=30, what="the watch")
    assert status(app)["update"]["watch"]["crc"] == crc_text(v2)
    assert os.path.isdir(app.path("update.previous"))
    wait_for(lambda: "release confirmed after its watch! crc:" + crc_text(v2) in app.log_text(),
             timeout=30, what="the confirmation")
    assert app.runs("once") and ROLLED_BACK not in app.log_text()
    wait_for(lambda: not os.path.lexists(app.path("update.previous")), what="previous removed")
    assert not os.path.lexists(app.path("update.journal"))
    wait_for(lambda: status(app)["update"]["watch"] is None, what="the watch ended in the status")
    assert status(app)["update"]["confirmed"]["crc"] == crc_text(v2)


def test_without_health_nothing_is_watched(app, server, processes):
    app.write_text("config.json", settings(server, None))
    v1 = release("v1")
    install_locally(app, v1)
    publish(server, v1)
    start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    bad = release("bad", {"status": 1})
    publish(server, bad)
    wait_for(lambda: len(app.runs("bad")) >= 5, timeout=30, what="the failing program restarted")
    assert ROLLED_BACK not in app.log_text()
    assert "release on watch" not in app.log_text()
    assert not os.path.lexists(app.path("update.previous"))


def test_a_rollback_restores_files_folders_and_links_exactly(app, server, processes):
    v1 = make_archive({
        "bin/config.json": json.dumps({"list": [{"path": "v1", "param": "", "run": 0}]}).encode(),
        "bin/v1": (probe_bytes(), 0o755), "bin/v1.sleep": b"600000",
        "data/keep.txt": b"keep", "data/old.txt": b"old", "data/sub/deep.txt": b"deep",
        "emptydir/.keep": b"",
    })
    install_locally(app, v1)
    os.symlink("data/old.txt", app.path("link"))
    os.symlink("gone-target", app.path("data", "dangling"))
    publish(server, v1)
    start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    before = tree(app.root)
    bad = with_links(make_archive({
        "bin/config.json": json.dumps({"list": [{"path": "bad", "param": "", "run": 0}]}).encode(),
        "bin/bad": (probe_bytes(), 0o755), "bin/bad.status": b"1",
        "data/old.txt": b"replaced", "data/new.txt": b"added", "data/sub/deep.txt": (b"x", 0o600),
        "fresh/tree/leaf": b"leaf", "emptydir/.keep": b"now full", "link": b"a file now",
    }), {"data/dangling": "data/new.txt", "newlink": "fresh"})
    publish(server, bad)
    wait_for(lambda: ROLLED_BACK in app.log_text(), timeout=30, what="the rollback")
    wait_for(lambda: len(app.runs("v1")) == 2, what="version 1 started again")
    wait_for(lambda: not os.path.lexists(app.path("update.staging")), what="the trash removed")
    assert tree(app.root) == before


def test_signed_releases_through_a_rollback(app, server, processes, tmp_path):
    from test_signed_updates import KeyPair
    key = KeyPair(tmp_path / "key")
    app.write_text("config.json", settings(server, {"watch_s": 30, "max_ends": 2},
                                           public_key=key.key_line))
    v1 = release("v1")
    install_locally(app, v1)
    v1_sig = key.sign(v1)
    with open(app.path("update.gz.minisig"), "wb") as f:
        f.write(v1_sig)
    server.publish("app.tar.gz.minisig", v1_sig)
    publish(server, v1)
    start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")

    bad = release("bad", {"status": 1})
    server.publish("app.tar.gz.minisig", key.sign(bad))
    publish(server, bad)
    wait_for(lambda: ROLLED_BACK in app.log_text(), timeout=30, what="the rollback")
    wait_for(lambda: len(app.runs("v1")) == 2, what="version 1 started again")
    # The previous release's signature is the installed one again: its
    # timestamp, not the rejected release's, is what later ones are held to.
    with open(app.path("update.gz.minisig"), "rb") as f:
        assert f.read() == v1_sig

    v2 = release("v2")
    v2_sig = key.sign(v2)
    server.publish("app.tar.gz.minisig", v2_sig)
    publish(server, v2)
    wait_for(lambda: app.runs("v2"), timeout=30, what="version 2 running")
    with open(app.path("update.gz.minisig"), "rb") as f:
        assert f.read() == v2_sig


def test_a_release_on_watch_when_the_supervisor_dies_is_watched_again(app, server, processes):
    v1 = release("v1")
    install_locally(app, v1)
    publish(server, v1)
    sup = start(processes, app)
    wait_for(lambda: app.runs("v1"), what="version 1 running")
    bad = release("bad", {"status": 1})
    app.write_text("config.json", settings(server, {"watch_s": 60, "max_ends": 50}))
    publish(server, bad)
    wait_for(lambda: len(app.runs("bad")) >= 2, timeout=30, what="the bad release failing")
    os.killpg(sup.pid, 9)
    sup.wait()
    # The server goes away; the next start watches the release again, from
    # the journal, and rolls it back without the network.
    app.write_text("config.json", json.dumps(
        {"url": "http://127.0.0.1:9/app.tar.gz", "health": {"watch_s": 60, "max_ends": 2}}))
    start(processes, app)
    wait_for(lambda: ROLLED_BACK in app.log_text(), timeout=30, what="the rollback")
    wait_for(lambda: len(app.runs("v1")) == 2, what="version 1 started again")
    with open(app.path("update.gz"), "rb") as f:
        assert f.read() == v1
