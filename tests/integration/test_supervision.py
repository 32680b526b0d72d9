"""The supervisor mode with real programs: arguments, start counts, restart
pacing, bad program lists, and what supervised programs inherit. The
production build runs only in a private mount namespace (its single-instance
files are fixed paths under /tmp and /run)."""
import os
import re
import signal
import subprocess

import pytest

from conftest import fast_timing, wait_for
from supervised_app import App
from test_single_instance import ns  # noqa: F401 - the fixture

PAUSE_S = fast_timing()["restart_pause_ms"] / 1000.0


@pytest.fixture
def app(app_dir):
    return App(app_dir)


def start(processes, app, *args, **kwargs):
    return processes.start([app.path("monitor")] + list(args), cwd=app.root, **kwargs)


def add_ticker(app):
    """A program in the list that ends at once and is started again without
    limit: each of its restarts is a later pass of the supervision loop."""
    app.add_probe("ticker")
    return {"path": "ticker", "param": "", "run": 0}


def wait_passes(app, passes):
    """Waits until the loop has restarted the ticker passes more times. Ended
    programs are restarted in the order they ended, so by then whatever
    ended before the first of these waits would have been started again."""
    seen = len(app.runs("ticker"))
    wait_for(lambda: len(app.runs("ticker")) >= seen + passes,
             what="%d further passes of the loop" % passes)


ARGUMENT_TABLE = [
    ("empty", "", [""]),
    ("plain", "-p 8080", ["-p", "8080"]),
    ("blank run", "-p   8080", ["-p", "8080"]),
    ("leading blank", " x", ["", "x"]),
    ("trailing blank", "x ", ["x", ""]),
    ("tab", "a\tb", ["a\tb"]),
    ("quotes", "'a b'", ["'a", "b'"]),
]


def test_parameter_strings_become_argument_vectors(app, processes):
    entries = []
    for i, (_, param, _) in enumerate(ARGUMENT_TABLE):
        app.add_probe("p%d" % i)
        entries.append({"path": "p%d" % i, "param": param, "run": 1})
    app.write_list(entries)
    start(processes, app)
    for i, (label, _, expected) in enumerate(ARGUMENT_TABLE):
        runs = wait_for(lambda: app.runs("p%d" % i), what=label)
        assert runs[0].args == [os.path.join(app.bin, "p%d" % i)] + expected, label


@pytest.mark.parametrize("run,starts", [(1, 1), (3, 3), (-1, 0), ("2", 2), ("x", None)])
def test_run_counts_starts(app, processes, run, starts):
    app.add_probe("prog")
    app.write_list([{"path": "prog", "param": "", "run": run}, add_ticker(app)])
    start(processes, app)
    if starts is None:  # unlimited: keeps being started
        wait_for(lambda: len(app.runs("prog")) >= 4, what="four starts")
        return
    if starts:
        wait_for(lambda: len(app.runs("prog")) >= starts, what="%d starts" % starts)
    # The last run has ended, or will have before the ticker's second restart.
    wait_passes(app, 3)
    assert len(app.runs("prog")) == starts


def test_run_zero_is_unlimited_and_reports_restarts(app, processes):
    app.add_probe("prog", status=3)
    app.write_list([{"path": "prog", "param": "", "run": 0}])
    start(processes, app)
    runs = wait_for(lambda: len(app.runs("prog")) >= 3 and app.runs("prog"), what="restarts")
    log = app.log_text()
    for ended in runs[:2]:
        assert "<QMLOG>ERROR>[" in log
        assert "restart pid : %d path:%s \n" % (ended.pid, app.path("bin", "prog")) in log


RUN_LINE = re.compile(r"^probe run (\d+)$", re.M)
RESTART_RECORD = re.compile(r"restart pid : (\d+) path:")


def test_restart_report_precedes_the_restarted_run(app, processes):
    # Each run's first act is a line on the console it shares with the supervisor.
    app.add_probe("greeter")
    app.write_text("bin/greeter.say", "")
    app.write_list([{"path": "greeter", "param": "", "run": 0}])
    console = app.path("console")
    with open(console, "w") as out:
        start(processes, app, "-log", stdout=out)
    restarts = 30

    def text():
        with open(console, errors="replace") as f:
            return f.read()
    wait_for(lambda: len(RUN_LINE.findall(text())) > restarts, timeout=30 + restarts * PAUSE_S,
             what="%d restarts" % restarts)
    seen = text()
    events = sorted([(m.start(), "run", int(m.group(1))) for m in RUN_LINE.finditer(seen)] +
                    [(m.start(), "restart", int(m.group(1)))
                     for m in RESTART_RECORD.finditer(seen)])
    # Each run's line, then the restart record naming that run, then the next run's line.
    expected = []
    for _, kind, pid in events:
        if kind == "run":
            expected += [("run", pid), ("restart", pid)]
    assert [(kind, pid) for _, kind, pid in events] == expected[:len(events)]


def test_programs_ending_together_are_restarted_one_pause_apart(app, processes):
    app.add_probe("a")
    app.add_probe("b")
    app.write_list([{"path": "a", "param": "", "run": 2}, {"path": "b", "param": "", "run": 2}])
    start(processes, app)
    wait_for(lambda: len(app.runs("a")) == 2 and len(app.runs("b")) == 2, what="both restarted")
    # Each restart comes a pause after that program's own end (its first run
    # ends as soon as it started), and the second a pause after the first.
    (first_start, first), (_, second) = sorted(
        [(app.runs(p)[0].ms, app.runs(p)[1].ms) for p in ("a", "b")], key=lambda r: r[1])
    assert first - first_start >= PAUSE_S * 1000 * 0.9
    assert second - first >= PAUSE_S * 1000 * 0.9


@pytest.mark.parametrize("content", [None, "", "{not json", '{"other": []}', "[1,2]"])
def test_bad_program_list_is_reported(app, processes, content):
    if content is not None:
        app.write_text("bin/config.json", content)
    proc = start(processes, app)
    expected = "json error! path:%s json:%s" % (app.path("bin", "config.json"), content or "")
    wait_for(lambda: expected in app.log_text(), what="json error report")
    assert "<QMLOG>ERROR>[" in app.log_text()
    assert proc.poll() is None  # keeps running with nothing to start


@pytest.mark.parametrize("label,size,read", [
    ("long text, cut in the report", 100000, True),
    ("larger than 16 MiB, not read", 17 << 20, False),
])
def test_big_program_list_gives_a_short_report(app, processes, label, size, read):
    text = "{not json " + "x" * (size - 10)
    app.write_text("bin/config.json", text)
    start(processes, app)
    path = app.path("bin", "config.json")
    expected = ("json error! path:%s json:%s... (%d bytes)" % (path, text[:4096], size) if read
                else "json error! path:%s json:" % path)
    wait_for(lambda: expected in app.log_text(), what="json error report")
    assert len(app.log_text()) < 20000


def test_program_outside_bin_is_skipped(app, processes):
    app.add_probe("inside")
    app.write_list([{"path": "../monitor", "param": "", "run": 1},
                    {"path": "inside", "param": "", "run": 1}])
    start(processes, app)
    wait_for(lambda: app.runs("inside"), what="the program inside bin")
    assert "program outside bin skipped! path:../monitor" in app.log_text()


def test_list_that_is_an_object_or_empty_gives_no_report(app, processes):
    app.add_probe("marker")
    app.write_text("bin/config.json", '{"list": {"path": "marker"}}')
    start(processes, app)
    # The list is read once, before the update thread starts: its first
    # periodic check (the second report of the missing update settings)
    # comes after the point where the list would have been reported.
    wait_for(lambda: app.log_text().count("down crc file error! url:.crc") >= 2,
             what="the update thread's first check")
    assert "json error! path:%s" % app.path("bin", "config.json") not in app.log_text()
    assert app.runs("marker") == []


def test_program_without_execute_bit_gets_it(app, processes):
    prog = app.add_probe("prog")
    os.chmod(prog, 0o644)
    app.write_list([{"path": "prog", "param": "", "run": 1}])
    start(processes, app)
    wait_for(lambda: app.runs("prog"), what="a run")
    assert os.stat(prog).st_mode & 0o111 == 0o111


def test_missing_program_uses_its_starts_and_supervisor_goes_on(app, processes):
    app.add_probe("good")
    app.write_list([{"path": "nope", "param": "", "run": 2},
                    {"path": "good", "param": "", "run": 0}])
    proc = start(processes, app)
    wait_for(lambda: "path:%s" % app.path("bin", "nope") in app.log_text(), what="restart of nope")
    wait_for(lambda: len(app.runs("good")) >= 3, what="good keeps running")
    assert app.log_text().count("path:%s \n" % app.path("bin", "nope")) == 1  # one restart
    assert proc.poll() is None


def own_ignored_signals():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("SigIgn:"):
                return int(line.split()[1], 16)
    return 0


def test_children_inherit_only_what_the_supervisor_inherited(app, processes):
    app.add_probe("prog")
    app.write_list([{"path": "prog", "param": "", "run": 2}])
    keep_r, keep_w = os.pipe()
    try:
        def ignore_hup():
            signal.signal(signal.SIGHUP, signal.SIG_IGN)
        start(processes, app, pass_fds=(keep_w,), preexec_fn=ignore_hup)
    finally:
        os.close(keep_r)
        os.close(keep_w)
    runs = wait_for(lambda: len(app.runs("prog")) >= 2 and app.runs("prog"), what="a restart")
    # What the supervisor was started with: this process's ignored signals
    # (make, for one, ignores some) but those Popen restores, plus SIGHUP.
    # Signals 32 and 33 belong to the C library, which no program can set.
    restored = (1 << (signal.SIGPIPE - 1)) | (1 << (signal.SIGXFSZ - 1))
    libc = (1 << 31) | (1 << 32)
    inherited = (own_ignored_signals() & ~restored) | (1 << (signal.SIGHUP - 1))
    for run in runs:  # the restart comes after the log file was opened
        assert run.fds == sorted([0, 1, 2, keep_w])
        assert run.sigblk & ~libc == mask_bits(own_blocked_signals()) & ~libc
        assert run.sigign & ~libc == inherited & ~libc


def own_blocked_signals():
    return signal.pthread_sigmask(signal.SIG_BLOCK, [])


def mask_bits(signals):
    return sum(1 << (int(s) - 1) for s in set(signals))


@pytest.mark.parametrize("blocked_at_start", [
    {signal.SIGUSR1},
    # Blocked at start, so the supervisor's own use of it does not take it away.
    {signal.SIGUSR1, signal.SIGCHLD},
    {signal.SIGTERM, signal.SIGINT},
])
def test_children_start_with_the_supervisors_start_up_mask(app, processes, blocked_at_start):
    app.add_probe("prog")
    app.write_list([{"path": "prog", "param": "", "run": 2}])

    def block():
        signal.pthread_sigmask(signal.SIG_BLOCK, blocked_at_start)
    start(processes, app, preexec_fn=block)
    runs = wait_for(lambda: len(app.runs("prog")) >= 2 and app.runs("prog"), what="a restart")
    libc = (1 << 31) | (1 << 32)
    expected = mask_bits(own_blocked_signals() | blocked_at_start) & ~libc
    for run in runs:  # the first start and a restart from the supervision loop
        assert run.sigblk & ~libc == expected


def test_second_instance_of_the_test_build_quits(app, processes):
    app.write_list([])
    first = start(processes, app)
    wait_for(lambda: os.path.exists(app.path("tavrin.exe")), what="the record")
    second = subprocess.run([app.path("monitor"), "-log"], cwd=app.root, timeout=30,
                            capture_output=True, text=True)
    assert second.returncode == 0
    assert "run more,quit!" in second.stdout
    assert "<QMLOG>ERROR>[" in app.log_text() and "run more,quit!" in app.log_text()
    assert first.poll() is None


def test_production_build_refuses_a_second_instance(ns):  # noqa: F811 - the imported fixture
    # Its record and root's lock are /tmp/tavrin.exe and /run/tavrin.lock:
    # the namespace's own, never those of a supervisor that runs on this host.
    first = ns.start([ns.exe])
    wait_for(lambda: ns.record() == "monitor|%d" % first.pid, what="the record")
    second = ns.run([ns.exe, "-log"])
    assert second.returncode == 0
    assert "run more,quit!" in second.stdout
    assert "run more,quit!" in ns.app.log_text()
    assert first.poll() is None
    assert os.path.exists(ns.host_path("/run/tavrin.lock"))


def test_paths_and_parameters_with_shell_characters_run_nothing_else(app, processes, tmp_path):
    name = "my prog;$(touch pwned)`touch pwned2`"
    app.add_probe(name)
    app.write_list([{"path": name, "param": "$(touch pwned3) ;touch pwned4", "run": 1},
                    add_ticker(app)])
    start(processes, app)
    run = wait_for(lambda: app.runs(name), what="the program")[0]
    assert run.args[1:] == ["$(touch", "pwned3)", ";touch", "pwned4"]
    # A shell around the program would have ended (after what follows it)
    # before the loop is this far.
    wait_passes(app, 3)
    for where in (tmp_path, app.root, app.bin):
        for leftover in ("pwned", "pwned2", "pwned3", "pwned4"):
            assert not os.path.exists(os.path.join(where, leftover))


def test_jemalloc_is_the_allocator(app, processes):
    app.write_list([])
    proc = start(processes, app)

    def maps():
        with open("/proc/%d/maps" % proc.pid) as f:
            return f.read()
    wait_for(lambda: os.path.exists(app.path("tavrin.exe")), what="the supervisor running")
    assert "libjemalloc" in maps()
