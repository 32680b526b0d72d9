"""The single-instance lock under attack: a squatted pid, a directory planted
at the record by another user, two supervisors started at once, a supervisor
killed while holding the lock, a lock file that cannot be used.

The attacks on /tmp and /run run the production build inside a private mount
namespace with its own /tmp and /run, so the host's files are never touched."""
import os
import shutil
import subprocess

import pytest

from conftest import build_path, wait_for
from supervised_app import App

RECORD_FAILED = "single-instance record not written! cannot replace: Is a directory " \
                "record:/tmp/tavrin.exe"
SECOND = "run more,quit!"


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return None


def needs_namespace():
    if os.geteuid() != 0:
        pytest.skip("needs root for a private mount namespace and a second user")
    for tool in ("unshare", "nsenter", "setpriv", "mount"):
        if shutil.which(tool) is None:
            pytest.skip("needs %s (util-linux, mount)" % tool)


class Namespace:
    """A process holding a private mount namespace with tmpfs over /tmp and
    /run; commands run inside it through nsenter, files are reached through
    its /proc root. The production build is installed in /tmp/app there."""

    def __init__(self, processes):
        self.processes = processes
        self.holder = processes.start(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             "mount -t tmpfs -o mode=1777 tmpfs /tmp && "
             "mount -t tmpfs -o mode=755 tmpfs /run && echo ready && exec sleep 3600"],
            stdout=subprocess.PIPE, text=True)
        line = self.holder.stdout.readline()
        if line.strip() != "ready":
            pytest.skip("cannot make a private mount namespace here")
        self.app = App(self.host_path("/tmp/app"))
        shutil.copy2(build_path("monitor"), self.app.path("monitor"))
        self.app.write_list([])
        self.exe = "/tmp/app/monitor"

    def host_path(self, inside):
        return "/proc/%d/root%s" % (self.holder.pid, inside)

    def argv(self, argv, user=None):
        # The holder's root as well as its mounts: where the tests run in a
        # chroot, the mount namespace alone would give the machine's root.
        prefix = ["nsenter", "--mount=/proc/%d/ns/mnt" % self.holder.pid,
                  "--root=/proc/%d/root" % self.holder.pid, "--"]
        if user:
            prefix += ["setpriv", "--reuid=" + user, "--regid=nogroup", "--clear-groups"]
        return prefix + argv

    def start(self, argv, **kwargs):
        # nsenter and setpriv exec what they run: the pid is the program's.
        return self.processes.start(self.argv(argv), cwd="/", **kwargs)

    def run(self, argv, user=None):
        return subprocess.run(self.argv(argv, user), cwd="/", timeout=60,
                              capture_output=True, text=True)

    def record(self):
        return read(self.host_path("/tmp/tavrin.exe"))


@pytest.fixture
def ns(processes):
    needs_namespace()
    return Namespace(processes)


def test_a_squatted_pid_does_not_keep_the_supervisor_from_starting(ns):
    # A live process of the same user under the recorded name, and no lock.
    squatter = ns.start(["bash", "-c", "exec -a monitor sleep 3600"])
    wait_for(lambda: (read("/proc/%d/cmdline" % squatter.pid) or "").startswith("monitor"),
             what="the squatter")
    with open(ns.host_path("/tmp/tavrin.exe"), "w") as f:
        f.write("monitor|%d" % squatter.pid)

    sup = ns.start([ns.exe])
    # The record is written only after the test passed.
    wait_for(lambda: ns.record() == "monitor|%d" % sup.pid, what="the supervisor's record")
    assert sup.poll() is None
    assert SECOND not in ns.app.log_text()
    assert os.path.exists(ns.host_path("/run/tavrin.lock"))


def test_a_directory_at_the_record_neither_lets_two_run_nor_stops_the_first(ns):
    planted = ns.run(["mkdir", "/tmp/tavrin.exe"], user="nobody")
    assert planted.returncode == 0, planted.stderr

    first = ns.start([ns.exe])
    wait_for(lambda: RECORD_FAILED in ns.app.log_text(), what="the record failure report")
    second = ns.run([ns.exe, "-log"])
    assert second.returncode == 0
    assert SECOND in second.stdout
    assert first.poll() is None
    log = ns.app.log_text()
    assert log.count("single-instance record not written!") == 1
    assert log.count(SECOND) == 1
    assert os.path.isdir(ns.host_path("/tmp/tavrin.exe"))


# Outside the namespace: the test build keeps lock and record beside itself.

@pytest.fixture
def app(app_dir):
    a = App(app_dir)
    a.write_list([])
    return a


def start_logged(processes, app, out_name, prefix=()):
    out = open(app.path(out_name), "w")
    try:
        return processes.start(list(prefix) + [app.path("monitor"), "-log"], cwd=app.root,
                               stdout=out)
    finally:
        out.close()


def holds_open(pid, path):
    try:
        return os.readlink("/proc/%d/fd/3" % pid) == path
    except OSError:
        return False


def test_two_started_at_once_leave_exactly_one(app, processes):
    go = app.path("go")
    # Each racer opens the FIFO, waits for its end and execs the supervisor.
    wait_then_exec = 'exec 3<"$0"; cat <&3 >/dev/null; exec 3<&- "$@"'
    for round_ in range(4):
        os.mkfifo(go)
        gate = os.open(go, os.O_RDWR)  # so that the racers' opens do not wait
        try:
            racers = [start_logged(processes, app, "out%d-%d" % (round_, i),
                                   ("sh", "-c", wait_then_exec, go))
                      for i in range(2)]
            wait_for(lambda: all(holds_open(p.pid, go) for p in racers), what="both racers")
        finally:
            os.close(gate)  # the end of the FIFO for both at once
        quitter = wait_for(lambda: next((p for p in racers if p.poll() is not None), None),
                           what="one of the two to quit")
        survivor = racers[1 - racers.index(quitter)]
        assert quitter.returncode == 0
        assert SECOND in read(app.path("out%d-%d" % (round_, racers.index(quitter))))
        wait_for(lambda: read(app.path("tavrin.exe")) == "monitor|%d" % survivor.pid,
                 what="the survivor's record")
        assert survivor.poll() is None
        processes.end_all()
        processes.started.clear()
        os.unlink(go)


def test_a_lock_left_by_a_killed_supervisor_does_not_block_the_next(app, processes):
    first = start_logged(processes, app, "out-first")
    wait_for(lambda: read(app.path("tavrin.exe")) == "monitor|%d" % first.pid, what="the record")
    processes.end_all()  # SIGKILL: nothing is cleaned up
    processes.started.clear()
    assert first.returncode is not None
    assert os.path.exists(app.path("tavrin.lock"))

    second = start_logged(processes, app, "out-second")
    wait_for(lambda: read(app.path("tavrin.exe")) == "monitor|%d" % second.pid,
             what="the next supervisor's record")
    assert second.poll() is None
    assert SECOND not in read(app.path("out-second"))


@pytest.mark.parametrize("plant, why", [
    (lambda p: os.mkdir(p), "cannot open: Is a directory"),
    (lambda p: os.mkfifo(p), "not a regular file"),
    (lambda p: os.symlink("elsewhere", p), "a symbolic link stands there"),
], ids=["directory", "fifo", "link"])
def test_a_lock_file_that_cannot_be_used_stops_the_start_with_a_report(app, processes, plant,
                                                                       why):
    lock = app.path("tavrin.lock")
    plant(lock)
    result = subprocess.run([app.path("monitor"), "-log"], cwd=app.root, timeout=20,
                            capture_output=True, text=True)
    text = "single-instance lock unusable, quit! %s lock:%s" % (why, lock)
    assert result.returncode == 1
    assert text in result.stdout
    assert "ERROR>" in app.log_text() and text in app.log_text()
    assert not os.path.exists(app.path("tavrin.exe"))
    assert not os.path.exists(app.path("elsewhere"))
