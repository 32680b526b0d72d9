"""Outside text in the supervisor's records: whatever a server, an update
settings file or a program list holds, each record is one line of the log,
the console shows no escape sequence but the supervisor's own colours, and
the user:password part of the update address appears nowhere."""
import json
import os
import re
import subprocess

import pytest

from conftest import wait_for
from supervised_app import App

# The log facility's own colour sequences; any other ESC came from outside.
OWN_COLOURS = re.compile(rb"\x1b\[(?:31|33|0)m")
FAKE = "\n[PID:1,TID:1] [00:00:00] <QMLOG>[fake : 1] installed"


def records_are_lines(log_text):
    """Every line of the log begins a record (or is empty: some formats end
    with a line break of their own)."""
    strays = [line for line in log_text.split("\n") if line and not line.startswith("[PID:")]
    assert strays == []


def console_has_no_foreign_escape(console):
    assert b"\x1b" not in OWN_COLOURS.sub(b"", console)


def start_logged(processes, app, out_path):
    with open(out_path, "wb") as out:
        return processes.start([app.path("monitor"), "-log"], cwd=app.root, stdout=out)


@pytest.fixture
def app(app_dir):
    return App(app_dir)


@pytest.mark.parametrize("label, body, shown", [
    # Not JSON: the whole reply is quoted.
    ("raw", ("{\"crc\": \"1\x1b[2J" + FAKE + "\x9b31m\"}").encode("latin-1"),
     "json error! json:{\"crc\": \"1\\033[2J\\012[PID:1,TID:1] [00:00:00] <QMLOG>[fake : 1]"
     " installed\\233" "31m\"}"),
    # JSON: the published CRC itself carries the sequences.
    ("json", json.dumps({"crc": "1\x1b[2J" + FAKE + "\u009b"}).encode(),
     "remote file crc:1\\033[2J\\012[PID:1,TID:1] [00:00:00] <QMLOG>[fake : 1] installed"
     "\\302\\233 local crc:0"),
])
def test_a_crc_reply_cannot_forge_records_or_reach_the_terminal(app, server, processes, tmp_path,
                                                                 label, body, shown):
    server.publish("app.tar.gz.crc", body)
    app.write_text("config.json", json.dumps({"url": server.url("/app.tar.gz")}))
    out_path = tmp_path / "console"
    start_logged(processes, app, out_path)
    # The archive is missing: the check ends with its report, after the quote.
    wait_for(lambda: "local_crc:" in app.log_text(), timeout=20, what="the check's end")
    log = app.log_text()
    assert shown in log
    assert "\n[PID:1," not in log
    records_are_lines(log)
    console = out_path.read_bytes()
    assert shown.encode() in console
    console_has_no_foreign_escape(console)
    with open(app.path("status.json"), encoding="utf-8") as f:
        status = json.load(f)
    assert "\x1b" not in json.dumps(status, ensure_ascii=False)


def test_the_update_address_password_is_never_shown(app, server, processes, tmp_path):
    # Two checks that fail in the two ways that quote the address.
    url = server.url("/app.tar.gz").replace("://", "://deploy:s3cret@")
    app.write_text("config.json", json.dumps({"url": url, "metrics_file": str(tmp_path / "m.prom")}))
    server.publish("app.tar.gz.crc", json.dumps({"crc": "1"}).encode())
    server.behave("app.tar.gz.crc", "reset")
    server.publish("app.tar.gz", b"x" * 100000)
    server.behave("app.tar.gz", "reset")
    out_path = tmp_path / "console"
    start_logged(processes, app, out_path)
    wait_for(lambda: "down crc file error!" in app.log_text(), timeout=20, what="a failed check")
    server.behave("app.tar.gz.crc", "")
    wait_for(lambda: "down file error!" in app.log_text(), timeout=20, what="a failed download")
    wait_for(lambda: "down file error!" in open(app.path("status.json")).read(),
             what="the failed download in the status")
    shown = server.url("/app.tar.gz").replace("://", "://***@")
    log = app.log_text()
    assert "down file error! url:%s" % shown in log
    assert "down crc file error! url:%s.crc" % shown in log
    # The server was asked with the credentials: they were used, only not shown.
    assert any(r.path == "/app.tar.gz.crc" for r in server.requests())
    for text in (log, out_path.read_text(errors="replace"), open(app.path("status.json")).read(),
                 (tmp_path / "m.prom").read_text()):
        assert "s3cret" not in text
        assert "deploy" not in text


def test_names_from_the_program_list_are_quoted(app, processes, tmp_path):
    ended = "ends\x1b]0;title\x07\nnow"
    with open(os.path.join(app.bin, ended), "w") as f:
        f.write("#!/bin/sh\nexit 3\n")
    os.chmod(os.path.join(app.bin, ended), 0o755)
    app.write_list([{"path": ended, "param": "", "run": 1},
                    {"path": "../\x1b[2Jout", "param": "", "run": 1}])
    out_path = tmp_path / "console"
    start_logged(processes, app, out_path)
    wait_for(lambda: "program ended" in app.log_text(), what="the program's end")
    log = app.log_text()
    assert "program outside bin skipped! path:../\\033[2Jout" in log
    assert "path:%s/bin/ends\\033]0;title\\007\\012now exit:3" % app.root in log
    records_are_lines(log)
    console_has_no_foreign_escape(out_path.read_bytes())
