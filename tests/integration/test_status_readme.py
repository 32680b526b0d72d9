"""The README's samples of watching what runs come from a real run: one
supervisor with a program that runs, one that keeps failing and two that are
used up, installed from a real release, read through status.json, the
metrics file and the log exactly as the README shows. A second release then
stops the running program: what the samples say of failing programs still
holds."""
import json
import os
import re
import shlex
import shutil
import stat
import subprocess

import pytest

from conftest import Processes, build_path, wait_for
from supervised_app import App
from test_readme import SCRIPTS, normalize, sample, transcript

# The release's program list. Its bytes, modes and times are fixed so that
# the published CRC is the README's.
PROGRAM_LIST = """{"list": [
  {"path": "web/server", "param": "-p 8080", "run": 0},
  {"path": "worker", "param": "", "run": 0},
  {"path": "migrate", "param": "", "run": 1},
  {"path": "indexer", "param": "--full", "run": 2}
]}
"""
MANY_STARTS = 5  # the README's "started more than five times"


def publish_release(root, name="release", extra=None):
    """Publishes the program list (and the extra files) as www/update.tar.gz."""
    release = root / name
    (release / "bin").mkdir(parents=True)
    files = dict({"bin/config.json": PROGRAM_LIST}, **(extra or {}))
    for relative, text in files.items():
        (release / relative).write_text(text)
        os.chmod(release / relative, 0o644)
    for path in (release, release / "bin"):
        os.chmod(path, 0o755)
    for path in [release / f for f in files] + [release / "bin", release]:
        os.utime(path, (1767225600, 1767225600))
    www = root / "www"
    www.mkdir(exist_ok=True)
    subprocess.run([os.path.join(SCRIPTS, "publish-update.sh"), "--monitor", build_path("monitor"),
                    str(release), str(www)], check=True, capture_output=True, timeout=60)
    return www / "update.tar.gz"


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


class Watched:
    def __init__(self, app, metrics_path, snapshot_dir, reinstalled_dir):
        self.app = app
        self.status_path = app.path("status.json")
        self.metrics_path = metrics_path
        # The samples read copies of status.json, the metrics file and
        # update.gz taken together in the sampled states: the worker keeps
        # restarting, so the live files are sometimes others.
        self.snapshot_dir = snapshot_dir
        # status.json once the second release has stopped the programs and
        # started them again.
        self.reinstalled_dir = reinstalled_dir


def by_name(app, status):
    return {e["path"][len(app.bin) + 1:]: e for e in status["programs"]}


def settled(watched, status, web_server_starts=1):
    """True once every program shows the state the samples show in status,
    and the metrics file is written (just after the status file)."""
    if not status:
        return False
    p = by_name(watched.app, status)
    if sorted(p) != ["indexer", "migrate", "web/server", "worker"]:
        return False  # the list is not read yet
    return (status["update"]["last"] and status["update"]["last"]["word"] == "current"
            and p["web/server"]["state"] == "running"
            and p["web/server"]["starts"] == web_server_starts
            and p["worker"]["starts"] > MANY_STARTS
            and p["migrate"]["state"] == "exhausted"
            and p["indexer"]["state"] == "exhausted"
            and p["worker"]["state"] == "waiting"
            and 'monitor_programs{state="exhausted"} 2\n' in read_text(watched.metrics_path))


@pytest.fixture(scope="module")
def watched(tmp_path_factory):
    root = tmp_path_factory.mktemp("watched")
    app = App(root / "app")
    shutil.copy2(build_path("monitor-fast"), app.path("monitor"))
    app.add_probe("web/server", sleep_ms=600000)
    app.add_probe("worker", sleep_ms=50, status=3)
    app.add_probe("migrate")
    app.add_probe("indexer", signal=9)
    archive = publish_release(root)
    textfiles = root / "node-exporter"
    textfiles.mkdir()
    metrics_path = str(textfiles / "monitor.prom")
    app.write_text("config.json", json.dumps({"url": "file://%s" % archive,
                                              "metrics_file": metrics_path}))
    processes = Processes()
    try:
        processes.start([app.path("monitor")], cwd=app.root, preexec_fn=lambda: os.umask(0o022))
        w = Watched(app, metrics_path, str(root / "snapshot"), str(root / "reinstalled"))

        def snapshot(where, **expected):
            text = read_text(w.status_path)
            if not settled(w, json.loads(text) if text else None, **expected):
                return False
            os.mkdir(where)
            shutil.copy2(metrics_path, where)
            shutil.copy2(app.path("update.gz"), where)
            with open(os.path.join(where, "status.json"), "w") as f:
                f.write(text)
            return True
        wait_for(lambda: snapshot(w.snapshot_dir), timeout=20,
                 what="the programs in the sampled states")
        # The same list again, in a release of its own: the installation
        # stops the running web/server and starts the list again.
        publish_release(root, "release 2", {"bin/notes.txt": "release 2\n"})
        wait_for(lambda: snapshot(w.reinstalled_dir, web_server_starts=2), timeout=30,
                 what="the programs in the sampled states after the second release")
        yield w
    finally:
        processes.end_all()


def mask(text, app_root):
    """What differs between runs: paths, process ids, counts of starts, dates."""
    text = text.replace(app_root, "/opt/monitor")
    text = re.sub(r"^\d+ (?=/)", "PID ", text, flags=re.M)
    text = re.sub(r": \d+ starts", ": N starts", text)
    return re.sub(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", "DATE", text)


def run_jq(command, cwd):
    argv = shlex.split(command)
    assert argv[0] == "jq", command
    result = subprocess.run(argv, cwd=cwd, capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, (command, result.stderr)
    return result.stdout.rstrip("\n")


@pytest.mark.parametrize("name", ["status-running", "status-failing", "status-update"])
def test_jq_samples(watched, name):
    for command, expected in transcript(sample(name)):
        produced = run_jq(command, watched.snapshot_dir)
        assert mask(produced, watched.app.root) == mask(expected, "/opt/monitor"), command


def test_jq_samples_tell_the_facts(watched):
    """The masked parts of the samples: the pid is the running program's own,
    the version the one installed, the count of starts the worker's."""
    running = run_jq(transcript(sample("status-running"))[0][0], watched.snapshot_dir)
    # The snapshot's web/server is the first run; the second release started another.
    assert int(running.split()[0]) == watched.app.runs("web/server")[0].pid
    version = run_jq(transcript(sample("status-update"))[0][0], watched.snapshot_dir)
    crc = subprocess.run([build_path("monitor"), "crc",
                          os.path.join(watched.snapshot_dir, "update.gz")],
                         capture_output=True, text=True, check=True).stdout.split("\n")[-1]
    assert version == crc
    many = run_jq(transcript(sample("status-failing"))[1][0], watched.snapshot_dir)
    assert int(re.search(r": (\d+) starts", many).group(1)) > MANY_STARTS


@pytest.mark.parametrize("name", ["status-running", "status-failing"])
def test_jq_samples_after_an_installation_stopped_the_programs(watched, name):
    """The installation ended the running web/server by SIGTERM and started it
    again: it is no failing program. The worker still is."""
    with open(os.path.join(watched.reinstalled_dir, "status.json")) as f:
        p = by_name(watched.app, json.load(f))
    assert p["web/server"]["last_end"]["signal"] == "SIGTERM"
    assert p["worker"]["last_end"]["exit"] == 3
    for command, expected in transcript(sample(name)):
        produced = run_jq(command, watched.reinstalled_dir)
        assert mask(produced, watched.app.root) == mask(expected, "/opt/monitor"), command


def test_ended_sample(watched):
    produced = normalize(watched.app.log_text(), watched.app.root)
    for line in sample("ended"):
        assert normalize(line, "/opt/monitor") in produced, line


def test_status_and_metrics_files_readable_by_others(watched):
    for path in (watched.status_path, watched.metrics_path):
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o644, path


def promtool(*args, text=None):
    return subprocess.run(["promtool"] + list(args), input=text, capture_output=True, text=True,
                          timeout=60)


# Values that change from one moment to the next while the worker fails.
VOLATILE = re.compile(r'bin/worker"|monitor_programs\{state="(running|waiting)"\}')


def families(text, names):
    """The lines of the named metric families, volatile values masked."""
    lines = []
    for line in text.split("\n"):
        name = line.split()[2] if line.startswith("#") else re.split(r"[{ ]", line)[0]
        if name in names:
            lines.append(re.sub(r" \S+$", " N", line) if VOLATILE.search(line) else line)
    return lines


def test_metrics_sample(watched):
    shown = "\n".join(sample("metrics")) + "\n"
    assert promtool("check", "metrics", text=shown).returncode == 0
    with open(os.path.join(watched.snapshot_dir, "monitor.prom")) as f:
        written = f.read().replace(watched.app.root, "/opt/monitor")
    names = {line.split()[2] for line in shown.split("\n") if line.startswith("# TYPE")}
    assert families(written, names) == families(shown, names)


def test_written_metrics_pass_promtool(watched):
    with open(watched.metrics_path) as f:
        result = promtool("check", "metrics", text=f.read())
    assert result.returncode == 0, result.stdout + result.stderr


def test_alert_rules_sample(tmp_path):
    rules = tmp_path / "monitor-rules.yml"
    rules.write_text("\n".join(sample("alert-rules")) + "\n")
    result = promtool("check", "rules", str(rules))
    assert result.returncode == 0, result.stdout + result.stderr


# The sample's rules against made-up hosts: programs started once and twice a
# minute and a steady one, checks failing for three hours, and a host whose
# next check stays where it was when its supervisor died (promtool's clock
# starts at 0 seconds). An empty label is no label.
RULE_CASES = """
rule_files: [monitor-rules.yml]
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: 'monitor_program_starts_total{instance="h1",path="/opt/monitor/bin/worker",param=""}'
        values: '1+1x60'
      - series: 'monitor_program_starts_total{instance="h1",path="/opt/monitor/bin/web/server",param="-p 8080"}'
        values: '1x60'
      - series: 'monitor_program_starts_total{instance="h1",path="/opt/monitor/bin/indexer",param="--full"}'
        values: '2+2x60'
    alert_rule_test:
      - eval_time: 20m
        alertname: MonitorProgramRestarting
        exp_alerts:
          - exp_labels: {severity: warning, instance: h1, path: /opt/monitor/bin/worker}
            exp_annotations:
              summary: "/opt/monitor/bin/worker on h1 started 15 times in 15 minutes"
          - exp_labels: {severity: warning, instance: h1, path: /opt/monitor/bin/indexer, param: --full}
            exp_annotations:
              summary: "/opt/monitor/bin/indexer --full on h1 started 30 times in 15 minutes"
  - interval: 1m
    input_series:
      - series: 'monitor_update_last_check_result{instance="h1",word="no crc file"}'
        values: '-1x180'
      - series: 'monitor_update_last_check_result{instance="h2",word="current"}'
        values: '0x180'
    alert_rule_test:
      - eval_time: 1h
        alertname: MonitorUpdateCheckFailing
        exp_alerts: []
      - eval_time: 2h10m
        alertname: MonitorUpdateCheckFailing
        exp_alerts:
          - exp_labels: {severity: warning, instance: h1, word: no crc file}
            exp_annotations:
              summary: "update checks on h1 fail: no crc file"
  - interval: 1m
    input_series:
      - series: 'monitor_update_next_check_time_seconds{instance="alive"}'
        values: '1800+60x120'
      - series: 'monitor_update_next_check_time_seconds{instance="dead"}'
        values: '1800x120'
    alert_rule_test:
      - eval_time: 65m
        alertname: MonitorMetricsStale
        exp_alerts: []
      - eval_time: 75m
        alertname: MonitorMetricsStale
        exp_alerts:
          - exp_labels: {severity: critical, instance: dead}
            exp_annotations:
              summary: "the supervisor on dead has not checked for updates since it was due"
"""


def test_alert_rules_fire_as_told(tmp_path):
    (tmp_path / "monitor-rules.yml").write_text("\n".join(sample("alert-rules")) + "\n")
    cases = tmp_path / "monitor-rules-test.yml"
    cases.write_text(RULE_CASES)
    result = subprocess.run(["promtool", "test", "rules", cases.name], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
