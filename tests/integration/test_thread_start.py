"""A supervisor that cannot start one of its threads says which and why,
stops the programs it started and ends with status 1: without its status
writer or its update thread it is not the supervisor that was asked for."""
import json
import os
import re
import shutil
import tempfile

import pytest

from conftest import alive, build_path, wait_for
from supervised_app import App

# A user with no other processes, so that its process limit counts only the
# supervisor's own tasks: the main thread, its threads and its programs.
UID = 61234

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run as another user")


@pytest.fixture
def app():
    root = tempfile.mkdtemp(prefix="thread_start.", dir="/tmp")
    os.chmod(root, 0o755)
    shutil.copy2(build_path("monitor-fast"), os.path.join(root, "monitor"))
    app = App(root)
    app.add_probe("worker", sleep_ms=600000)
    app.write_list([{"path": "worker", "param": "", "run": 0}])
    # Nothing listens on the discard port: the start-up check fails at once.
    app.write_text("config.json", json.dumps({"url": "http://127.0.0.1:9/app.tar.gz"}))
    for base, dirs, files in os.walk(root):
        for name in dirs + files + ["."]:
            os.lchown(os.path.join(base, name), UID, UID)
    yield app
    shutil.rmtree(root, ignore_errors=True)


@pytest.mark.parametrize("tasks, thread, started", [
    (1, "status writer", 0),  # the first thread it makes
    (3, "update", 1),         # main thread, status writer and the worker
])
def test_a_thread_that_cannot_start_ends_the_supervisor(app, processes, tasks, thread, started):
    proc = processes.start(["setpriv", "--reuid=%d" % UID, "--regid=%d" % UID, "--clear-groups",
                            "prlimit", "--nproc=%d" % tasks, app.path("monitor")], cwd=app.root)
    assert proc.wait(timeout=30) == 1
    log = app.log_text()
    assert "%s thread not started! Resource temporarily unavailable" % thread in log
    # The worker may have been stopped before it could record its run.
    ended = [int(pid) for pid in re.findall(r"program ended pid : (\d+) path:\S+/worker signal:SIGTERM", log)]
    assert len(ended) == started
    for pid in ended:
        assert not alive(pid)
