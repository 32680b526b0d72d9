"""The supervisor as a container's first process: process 1 of its own pid
namespace (unshare --pid --fork --mount-proc). It reaps orphans and ends on
SIGTERM or SIGINT; outside process 1 neither happens."""
import os
import shutil
import signal
import subprocess

import pytest

from conftest import wait_for
from supervised_app import App

UNSHARE = ["unshare", "--pid", "--fork", "--mount-proc"]


@pytest.fixture(scope="module")
def can_unshare():
    if os.geteuid() != 0:
        pytest.skip("needs root for a pid namespace")
    if shutil.which("unshare") is None:
        pytest.skip("needs unshare (util-linux)")
    try:
        r = subprocess.run(UNSHARE + ["true"], capture_output=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.skip("unshare hangs here")
    if r.returncode != 0:
        pytest.skip("no pid namespace here: " + r.stderr.decode(errors="replace").strip())


@pytest.fixture
def app(app_dir):
    return App(app_dir)


def status_field(pid, key):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return line.split()[1:]
    except OSError:
        pass
    return None


def pid_namespace(pid):
    try:
        return os.readlink("/proc/%d/ns/pid" % pid)
    except OSError:
        return None


class Namespace:
    """The supervisor started as process 1 of a new pid namespace. The unshare
    process, in a process group of its own, waits for it."""

    def __init__(self, processes, app):
        self.unshare = processes.start(UNSHARE + [app.path("monitor")], cwd=app.root)
        self.supervisor = wait_for(self._child, what="the supervisor in its namespace")
        self.ns = wait_for(lambda: pid_namespace(self.supervisor), what="its namespace")
        assert status_field(self.supervisor, "NSpid")[-1] == "1"

    def _child(self):
        try:
            with open("/proc/%d/task/%d/children" % (self.unshare.pid, self.unshare.pid)) as f:
                children = f.read().split()
        except OSError:
            return None
        return int(children[0]) if children else None

    def members(self):
        """{pid inside the namespace: state} of every process in it."""
        found = {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or pid_namespace(int(entry)) != self.ns:
                continue
            nspid, state = status_field(int(entry), "NSpid"), status_field(int(entry), "State")
            if nspid and state:
                found[int(nspid[-1])] = state[0]
        return found


def test_orphaned_grandchild_is_reaped(can_unshare, app, processes):
    app.add_probe("leaver", orphan_ms=300)  # ends at once; its child 300 ms later
    app.add_probe("steady", sleep_ms=600000)
    app.write_list([{"path": "leaver", "param": "", "run": 1},
                    {"path": "steady", "param": "", "run": 1}])
    ns = Namespace(processes, app)
    orphan = wait_for(lambda: app.orphans("leaver"), what="the orphan's pid")[0]
    wait_for(lambda: orphan not in ns.members(), what="the orphan gone, not a zombie")
    states = ns.members()
    assert [pid for pid, state in states.items() if state == "Z"] == []
    assert app.runs("steady")[0].pid in states  # the supervisor and its program go on
    assert ns.unshare.poll() is None


@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGINT])
def test_stop_signal_ends_the_programs_then_the_supervisor(can_unshare, app, processes, stop):
    app.add_probe("polite", sleep_ms=600000)
    app.add_probe("stubborn", sleep_ms=600000, ignore_term=True)
    app.write_list([{"path": "polite", "param": "", "run": 0},
                    {"path": "stubborn", "param": "", "run": 0}])
    ns = Namespace(processes, app)
    runs = {name: wait_for(lambda: app.runs(name), what=name)[0] for name in ("polite", "stubborn")}
    # The supervisor's own blocks stay out of its programs.
    own = (1 << (signal.SIGTERM - 1)) | (1 << (signal.SIGINT - 1)) | (1 << (signal.SIGCHLD - 1))
    for run in runs.values():
        assert run.sigblk & own == 0

    os.kill(ns.supervisor, stop)
    assert ns.unshare.wait(timeout=60) == 0  # the supervisor's exit status
    log = app.log_text()
    killed = "process did not end, killed pid : %d path:%s"
    assert killed % (runs["stubborn"].pid, app.path("bin", "stubborn")) in log
    assert killed % (runs["polite"].pid, app.path("bin", "polite")) not in log  # ended on SIGTERM
    assert "signal %d: ending the programs" % stop in log
    assert "restart pid" not in log
    assert ns.members() == {}


def test_outside_process_1_sigterm_ends_only_the_supervisor(app, processes):
    app.add_probe("prog", sleep_ms=600000)
    app.write_list([{"path": "prog", "param": "", "run": 1}])
    supervisor = processes.start([app.path("monitor")], cwd=app.root)
    run = wait_for(lambda: app.runs("prog"), what="the program")[0]
    os.kill(supervisor.pid, signal.SIGTERM)
    assert supervisor.wait(timeout=30) == -signal.SIGTERM
    state = status_field(run.pid, "State")
    assert state is not None and state[0] != "Z"  # the program goes on, ended by the fixture
