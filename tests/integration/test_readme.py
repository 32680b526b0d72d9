"""Every sample in README.md comes from a real run: each block marked
<!-- sample: NAME --> is produced here and compared."""
import json
import os
import re
import shutil
import subprocess

import pytest

from conftest import build_path, wait_for
from supervised_app import App
from test_sn_mode import netns  # noqa: F401 - the fixture
from update_archive import crc_file, make_archive

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
SCRIPTS = os.path.join(os.path.dirname(__file__), "..", "..", "scripts")


def sample(name):
    with open(README) as f:
        text = f.read()
    m = re.search(r"<!-- sample: %s -->\n```[a-z]*\n(.*?)```" % re.escape(name), text, re.S)
    assert m, "README has no sample " + name
    return m.group(1).rstrip("\n").split("\n")


def transcript(lines):
    """[(command, expected output)] from "$ command" lines and what follows."""
    steps = []
    for line in lines:
        if line.startswith("$ "):
            steps.append([line[2:], []])
        else:
            steps[-1][1].append(line)
    return [(cmd, "\n".join(out)) for cmd, out in steps]


def run_transcript(lines, cwd, wrap=()):
    for cmd, expected in transcript(lines):
        result = subprocess.run(list(wrap) + ["sh", "-c", cmd], cwd=cwd, capture_output=True,
                                text=True, timeout=60)
        assert result.returncode == 0, (cmd, result.stderr)
        assert result.stdout.rstrip("\n") == expected, cmd


@pytest.fixture
def workdir(tmp_path):
    shutil.copy2(build_path("monitor"), tmp_path / "monitor")
    return tmp_path


def test_crc_sample(workdir):
    run_transcript(sample("crc"), workdir)


def test_sn_sample(workdir, netns):  # noqa: F811 - the imported fixture
    netns.loopback()
    netns.interface("eth0", "00:1a:2b:3c:4d:5e", "10.9.0.1/24")
    netns.wait_for_carrier()
    run_transcript(sample("sn"), workdir, wrap=("ip", "netns", "exec", netns.name))


def test_publish_sample(workdir):
    tools = workdir / "tools"
    tools.mkdir()
    shutil.copy2(os.path.join(SCRIPTS, "publish-update.sh"), tools)
    # A fixed release, down to modes and times, gives the sample's CRC.
    release = workdir / "release"
    (release / "bin").mkdir(parents=True)
    files = {"bin/config.json": '{"list": [{"path": "hello.sh", "param": "world", "run": 3}]}\n',
             "bin/hello.sh": "#!/bin/sh\necho hello $1\n"}
    for name, text in files.items():
        (release / name).write_text(text)
        os.chmod(release / name, 0o755 if name.endswith(".sh") else 0o644)
    for path in [release / "bin", release] + [release / n for n in files]:
        os.utime(path, (1767225600, 1767225600))
    os.chmod(release / "bin", 0o755)
    run_transcript(sample("publish"), workdir)


def normalize(text, app_root):
    text = text.replace(app_root, "/opt/monitor")
    text = re.sub(r"\[PID:\d+,TID:\d+\] \[\d\d:\d\d:\d\d\]", "[PID:P,TID:T] [HH:MM:SS]", text)
    text = re.sub(r"\[[^\[\]]*?/(Run/[\w/]+\.cpp) : \d+\]", r"[\1 : L]", text)
    text = re.sub(r"crc:\d+", "crc:N", text)
    return re.sub(r"pid : \d+", "pid : N", text)


def test_log_sample(tmp_path, app_dir, processes):
    app = App(app_dir)
    www = tmp_path / "www"
    www.mkdir()
    archive = make_archive({
        "bin/config.json": json.dumps({"list": [{"path": "hello.sh", "param": "", "run": 2}]})
        .encode(),
        "bin/hello.sh": (b"#!/bin/sh\nexit 0\n", 0o755),
    })
    (www / "app.tar.gz").write_bytes(archive)
    (www / "app.tar.gz.crc").write_bytes(crc_file(archive))
    app.write_text("config.json", json.dumps({"url": "file://%s/app.tar.gz" % www}))
    processes.start([app.path("monitor")], cwd=app.root)
    wait_for(lambda: "restart pid" in app.log_text(), what="a restart report")
    produced = normalize(app.log_text(), app.root)
    for line in sample("log"):
        assert normalize(line, "/opt/monitor") in produced, line
