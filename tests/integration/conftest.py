"""Shared fixtures of the integration tests: the build directory, scratch
application directories, and processes that are always ended afterwards."""
import json
import os
import shutil
import signal
import subprocess
import time

import pytest

from http_server import HttpServer

BUILD_DIR = os.environ.get("MONITOR_BUILD_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build")
BUILD_DIR = os.path.abspath(BUILD_DIR)
PROGRAMS_DIR = os.path.join(BUILD_DIR, "tests", "programs")


def build_path(*parts):
    return os.path.join(BUILD_DIR, *parts)


def fast_timing():
    """The pauses and limits of monitor-fast, as CMake wrote them for this build."""
    with open(build_path("fast_timing.json")) as f:
        return json.load(f)


def alive(pid):
    """Whether pid is a process that has not ended (a zombie has)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[-1].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


def private_mounts():
    """True when this process may make a mount namespace of its own whose
    mounts stay in it (root, and a root file system that is a mount point)."""
    return (os.geteuid() == 0 and shutil.which("unshare") is not None and subprocess.run(
        ["unshare", "-m", "--propagation", "private", "true"],
        stderr=subprocess.DEVNULL).returncode == 0)


def wait_for(condition, timeout=10.0, interval=0.02, what="condition"):
    """Polls condition() until it returns something true; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


class Processes:
    """Starts processes in their own process groups and ends every one of
    them, by process group id, when the test ends."""

    def __init__(self):
        self.started = []

    def start(self, argv, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        proc = subprocess.Popen(argv, start_new_session=True, **kwargs)
        self.started.append(proc)
        return proc

    def end_all(self):
        for proc in self.started:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for proc in self.started:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass


@pytest.fixture
def processes():
    procs = Processes()
    try:
        yield procs
    finally:
        procs.end_all()


@pytest.fixture
def app_dir(tmp_path):
    """A scratch application directory holding its own copy of monitor-fast
    (as "monitor") and an empty bin/ folder."""
    app = tmp_path / "app"
    (app / "bin").mkdir(parents=True)
    shutil.copy2(build_path("monitor-fast"), app / "monitor")
    return app


@pytest.fixture
def server(tmp_path):
    """A loopback HTTP server publishing the files under tmp_path/www."""
    root = tmp_path / "www"
    root.mkdir()
    with HttpServer(root) as srv:
        yield srv
