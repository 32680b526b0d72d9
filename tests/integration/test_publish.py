"""scripts/publish-update.sh: a folder becomes an update archive, its
signature (--sign) and its .crc file, which a real supervisor fetches from a
loopback HTTP server and installs."""
import json
import os
import pty
import select
import shutil
import subprocess
import tarfile
import time

import pytest

from conftest import build_path, wait_for
from http_server import HttpServer
from supervised_app import App
from update_archive import crc_text

SCRIPT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..",
                                      "scripts", "publish-update.sh"))


def publish(folder, outdir, *extra, monitor=None, script=SCRIPT, env=None, options=()):
    argv = [script, *options]
    if monitor is not False:
        argv += ["--monitor", monitor or build_path("monitor")]
    argv += [str(folder), str(outdir), *extra]
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, env=env)


def monitor_crc(path):
    out = subprocess.run([build_path("monitor"), "crc", str(path)], capture_output=True,
                         text=True, timeout=20, check=True).stdout
    return out.split("\n")[-1]


def release(root, program, param):
    """A folder laid out like an application directory: the probe as
    bin/<program>, running for a long time, and a list that runs it."""
    folder = App(root)
    folder.add_probe(program, sleep_ms=600000)
    folder.write_list([{"path": program, "param": param, "run": 0}])
    return folder


def test_published_folder_is_installed_by_the_supervisor(tmp_path, app_dir, processes):
    www = tmp_path / "web root"
    www.mkdir()
    v1 = release(tmp_path / "release one", "p1", "first")
    with HttpServer(www) as server:
        result = publish(v1.root, www)
        assert result.returncode == 0, result.stderr
        app = App(app_dir)
        app.write_text("config.json", json.dumps({"url": server.url("/update.tar.gz")}))
        processes.start([app.path("monitor")], cwd=app.root)

        run = wait_for(lambda: app.runs("p1"), timeout=20, what="the published probe running")[0]
        assert run.args[1:] == ["first"]
        with open(app.path("update.gz"), "rb") as f:
            assert f.read() == (www / "update.tar.gz").read_bytes()

        # A second publication into the same place replaces both files.
        v2 = release(tmp_path / "release two", "p2", "second")
        result = publish(v2.root, www)
        assert result.returncode == 0, result.stderr
        wait_for(lambda: app.runs("p2"), timeout=20, what="the second version running")
        with open(app.path("update.gz"), "rb") as f:
            assert f.read() == (www / "update.tar.gz").read_bytes()
        assert sorted(os.listdir(www)) == ["update.tar.gz", "update.tar.gz.crc"]


def test_archive_members_and_crc_file(tmp_path):
    folder = tmp_path / "folder with blanks"
    (folder / "bin").mkdir(parents=True)
    (folder / "bin" / "config.json").write_text('{"list": []}')
    (folder / "bin" / "tool").write_bytes(b"#!/bin/sh\n")
    (folder / "bin" / "tool").chmod(0o750)
    (folder / "sub dir").mkdir()
    (folder / "sub dir" / "a b.txt").write_bytes(b"text")
    (folder / "-dash").write_bytes(b"not an option")
    if os.geteuid() == 0:  # owners other than root must not reach the archive
        for path in (folder / "bin" / "tool", folder / "sub dir"):
            os.chown(path, 4321, 4321)
    out = tmp_path / "out dir"

    result = publish(folder, out, "app")
    assert result.returncode == 0, result.stderr
    archive = out / "app.tar.gz"
    data = archive.read_bytes()
    crc = monitor_crc(archive)
    assert crc == crc_text(data)
    assert (out / "app.tar.gz.crc").read_text() == '{"crc": "%s"}\n' % crc
    assert result.stdout == "archive: app.tar.gz\ncrc file: app.tar.gz.crc\ncrc: %s\n" % crc
    for name in ("app.tar.gz", "app.tar.gz.crc"):
        assert (out / name).stat().st_mode & 0o777 == 0o644  # any web server may read them

    with tarfile.open(archive) as tar:
        members = tar.getmembers()
    assert [m.name for m in members] == [
        "-dash", "bin", "bin/config.json", "bin/tool", "sub dir", "sub dir/a b.txt"]
    assert all(m.uid == 0 and m.gid == 0 for m in members)
    assert {m.name: m.mode for m in members}["bin/tool"] == 0o750

    # Unchanged contents give the same bytes, so the supervisor installs nothing new.
    assert publish(folder, out, "app.tar.gz").returncode == 0
    assert archive.read_bytes() == data


def write_fake_monitor(path, text):
    path.write_text("#!/bin/sh\nprintf '%s' '" + text + "'\n")
    path.chmod(0o755)


def args_missing(tmp_path, folder):
    return [str(tmp_path / "no such folder"), str(tmp_path / "out")]


def args_empty(tmp_path, folder):
    empty = tmp_path / "empty folder"
    empty.mkdir()
    return [str(empty), str(tmp_path / "out")]


def args_file(tmp_path, folder):
    return [str(folder / "bin" / "config.json"), str(tmp_path / "out")]


def args_output_inside(tmp_path, folder):
    (tmp_path / "out").mkdir()
    return [str(folder), str(folder / "www")]


def args_not_executable(tmp_path, folder):
    return ["--monitor", str(folder / "bin" / "config.json"), str(folder), str(tmp_path / "out")]


def args_wrong_program(tmp_path, folder):
    fake = tmp_path / "monitor"
    write_fake_monitor(fake, "usage: monitor [options]")
    return ["--monitor", str(fake), str(folder), str(tmp_path / "out")]


def args_slash_in_name(tmp_path, folder):
    return [str(folder), str(tmp_path / "out"), "sub/update"]


def args_one_operand(tmp_path, folder):
    return [str(folder)]


def args_missing_key(tmp_path, folder):
    return ["--sign", str(tmp_path / "no such key"), str(folder), str(tmp_path / "out")]


def args_sign_without_key(tmp_path, folder):
    return ["--sign"]


def args_not_a_key(tmp_path, folder):
    return ["--sign", str(folder / "bin" / "config.json"), str(folder), str(tmp_path / "out")]


def args_share(share):
    def make(tmp_path, folder):
        return ["--rollout", share, str(folder), str(tmp_path / "out")]
    return make


def args_crc_only_without_share(tmp_path, folder):
    return ["--crc-only", str(tmp_path / "out")]


def args_crc_only_signed(tmp_path, folder):
    return ["--sign", str(folder / "bin" / "config.json"), "--rollout", "5", "--crc-only",
            str(tmp_path / "out")]


def args_crc_only_unpublished(tmp_path, folder):
    (tmp_path / "out").mkdir()
    return ["--rollout", "5", "--crc-only", str(tmp_path / "out")]


FAILURES = [
    ("missing folder", args_missing, 1, "folder does not exist: "),
    ("empty folder", args_empty, 1, "folder is empty, nothing to publish: "),
    ("file instead of a folder", args_file, 1, "not a folder: "),
    ("output inside the folder", args_output_inside, 1,
     "the output folder lies inside the published folder: "),
    ("monitor not executable", args_not_executable, 1, "not an executable: "),
    ("program that is not the supervisor", args_wrong_program, 1,
     "unexpected output of "),
    ("slash in the name", args_slash_in_name, 1, "not a plain file name: "),
    ("one operand", args_one_operand, 2, "expected a folder, an output folder"),
    ("missing secret key", args_missing_key, 1, "no secret key file: "),
    ("--sign without a key", args_sign_without_key, 2, "--sign needs a secret key file"),
    ("not a secret key", args_not_a_key, 1, "minisign could not sign with "),
    # A share is written into JSON as it stands: only a plain decimal from 0 to 100.
    ("share above 100", args_share("101"), 1, "not a share from 0 to 100: '101'"),
    ("share just above 100", args_share("100.01"), 1, "not a share from 0 to 100: "),
    ("negative share", args_share("-1"), 1, "not a share from 0 to 100: '-1'"),
    ("share with a leading zero", args_share("05"), 1, "not a share from 0 to 100: "),
    ("share with an exponent", args_share("1e2"), 1, "not a share from 0 to 100: "),
    ("share with a per cent sign", args_share("5%"), 1, "not a share from 0 to 100: "),
    ("empty share", args_share(""), 1, "not a share from 0 to 100: ''"),
    ("--crc-only without a share", args_crc_only_without_share, 2, "--crc-only needs --rollout"),
    ("--crc-only with --sign", args_crc_only_signed, 2, "--crc-only writes no signature"),
    ("--crc-only with nothing published", args_crc_only_unpublished, 1, "nothing published: "),
]


@pytest.mark.parametrize("make_args,status,message", [c[1:] for c in FAILURES],
                         ids=[c[0] for c in FAILURES])
def test_refusals(tmp_path, make_args, status, message):
    folder = tmp_path / "release"
    (folder / "bin").mkdir(parents=True)
    (folder / "bin" / "config.json").write_text('{"list": []}')
    argv = make_args(tmp_path, folder)
    if "--monitor" not in argv:
        argv = ["--monitor", build_path("monitor")] + argv
    result = subprocess.run([SCRIPT] + argv, capture_output=True, text=True, timeout=60)
    assert result.returncode == status
    assert "publish-update: " + message in result.stderr
    assert result.stdout == ""
    # Nothing half-made is left behind: no archive, no temporary files.
    for out in (tmp_path / "out", folder / "www"):
        if out.exists():
            assert os.listdir(out) == []


def crc_only(outdir, share, *extra):
    return subprocess.run([SCRIPT, "--monitor", build_path("monitor"), "--rollout", share,
                           "--crc-only", str(outdir), *extra], capture_output=True, text=True,
                          timeout=60)


def test_rollout_share_and_a_new_share_for_the_same_release(tmp_path):
    folder = release(tmp_path / "release", "server", "")
    out = tmp_path / "www"
    result = publish(folder.root, out, "app", options=["--rollout", "0.5"])
    assert result.returncode == 0, result.stderr
    archive = out / "app.tar.gz"
    crc = monitor_crc(archive)
    assert json.loads((out / "app.tar.gz.crc").read_text()) == {"crc": crc, "rollout": 0.5}
    assert result.stdout.endswith("crc: %s\nrollout: 0.5\n" % crc)
    before = archive.stat()

    # Only the .crc file changes, by a rename: a reader holds the old or the new one.
    old_crc_file = (out / "app.tar.gz.crc").stat().st_ino
    result = crc_only(out, "25", "app")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "crc file: app.tar.gz.crc\ncrc: %s\nrollout: 25\n" % crc
    assert (out / "app.tar.gz.crc").read_text() == '{"crc": "%s", "rollout": 25}\n' % crc
    assert (out / "app.tar.gz.crc").stat().st_ino != old_crc_file
    assert (out / "app.tar.gz.crc").stat().st_mode & 0o777 == 0o644
    after = archive.stat()
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert sorted(os.listdir(out)) == ["app.tar.gz", "app.tar.gz.crc"]

    # A refused share, or a .crc file that names another release, changes nothing.
    text = (out / "app.tar.gz.crc").read_text()
    result = crc_only(out, "250", "app")
    assert result.returncode == 1 and "not a share from 0 to 100" in result.stderr
    assert (out / "app.tar.gz.crc").read_text() == text
    (out / "app.tar.gz.crc").write_text('{"crc": "12345", "rollout": 25}\n')
    result = crc_only(out, "100", "app")
    assert result.returncode == 1
    assert "names crc '12345', the archive's is %s" % crc in result.stderr
    assert (out / "app.tar.gz.crc").read_text() == '{"crc": "12345", "rollout": 25}\n'
    assert sorted(os.listdir(out)) == ["app.tar.gz", "app.tar.gz.crc"]


def test_monitor_beside_the_script_is_used(tmp_path):
    tools = tmp_path / "tools"
    tools.mkdir()
    shutil.copy2(SCRIPT, tools / "publish-update.sh")
    shutil.copy2(build_path("monitor"), tools / "monitor")
    folder = tmp_path / "release"
    folder.mkdir()
    (folder / "file").write_bytes(b"123")
    result = publish(folder, tmp_path / "out", monitor=False,
                     script=str(tools / "publish-update.sh"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith("crc: %s\n" % crc_text((tmp_path / "out" / "update.tar.gz")
                                                         .read_bytes()))


def test_no_monitor_found_is_a_clear_failure(tmp_path):
    search_path = "/usr/bin:/bin"
    if os.path.exists("/opt/monitor/monitor") or shutil.which("monitor", path=search_path):
        pytest.skip("a monitor executable is installed on this host")
    script = tmp_path / "publish-update.sh"
    shutil.copy2(SCRIPT, script)
    folder = tmp_path / "release"
    folder.mkdir()
    (folder / "file").write_bytes(b"123")
    result = publish(folder, tmp_path / "out", monitor=False, script=str(script),
                     env={"PATH": search_path})
    assert result.returncode == 1
    assert "no monitor executable found" in result.stderr
    assert "--monitor PATH" in result.stderr
    assert os.listdir(tmp_path / "out") == []


def make_key(folder, password=None):
    """A minisign key pair in folder: (secret key path, public key line)."""
    folder.mkdir(parents=True, exist_ok=True)
    secret, public = folder / "key", folder / "key.pub"
    argv = ["minisign", "-G", "-p", str(public), "-s", str(secret)]
    if password is None:
        argv.append("-W")
    subprocess.run(argv, input=None if password is None else "%s\n%s\n" % (password, password),
                   text=True, check=True, capture_output=True, timeout=60)
    return secret, public.read_text().splitlines()[1]


def test_signed_publication_is_installed_by_a_supervisor_with_the_key(tmp_path, app_dir,
                                                                      processes):
    secret, key_line = make_key(tmp_path / "keys")
    # Renames are logged in order by an mv that stands in front of the real one.
    wrappers = tmp_path / "wrappers"
    wrappers.mkdir()
    moves = tmp_path / "moves"
    (wrappers / "mv").write_text('#!/bin/sh\nfor a; do last=$a; done\n'
                                 'printf "%%s\\n" "$last" >> "%s"\nexec /bin/mv "$@"\n' % moves)
    (wrappers / "mv").chmod(0o755)
    env = dict(os.environ, PATH="%s:%s" % (wrappers, os.environ["PATH"]))
    www = tmp_path / "web root"
    www.mkdir()
    v1 = release(tmp_path / "release one", "p1", "first")
    result = publish(v1.root, www, env=env, options=["--sign", str(secret)])
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("archive: update.tar.gz\nsignature file: "
                                    "update.tar.gz.minisig\ncrc file: update.tar.gz.crc\n")
    archive = www / "update.tar.gz"
    assert moves.read_text().splitlines() == [
        str(archive), str(archive) + ".minisig", str(archive) + ".crc"]
    assert sorted(os.listdir(www)) == ["update.tar.gz", "update.tar.gz.crc",
                                       "update.tar.gz.minisig"]
    assert (www / "update.tar.gz.minisig").stat().st_mode & 0o777 == 0o644
    check = subprocess.run(["minisign", "-V", "-P", key_line, "-m", str(archive)],
                           capture_output=True, text=True, timeout=60)
    assert check.returncode == 0, check.stderr
    assert "\tfile:update.tar.gz\thashed" in check.stdout  # the name it is published under

    with HttpServer(www) as server:
        app = App(app_dir)
        app.write_text("config.json", json.dumps({"url": server.url("/update.tar.gz"),
                                                  "public_key": key_line}))
        processes.start([app.path("monitor")], cwd=app.root)
        wait_for(lambda: app.runs("p1"), timeout=20, what="the signed release running")
        assert (app_dir / "update.gz.minisig").read_bytes() == \
            (www / "update.tar.gz.minisig").read_bytes()


def test_key_with_a_password_asks_for_it_on_the_terminal(tmp_path):
    secret, key_line = make_key(tmp_path / "keys", password="correct horse")
    folder = tmp_path / "release"
    folder.mkdir()
    (folder / "file").write_bytes(b"123")
    out = tmp_path / "out"
    argv = [SCRIPT, "--monitor", build_path("monitor"), "--sign", str(secret), str(folder),
            str(out)]
    master, slave = pty.openpty()
    proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
    os.close(slave)
    seen = b""
    try:
        deadline = time.monotonic() + 60
        answered = False
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 1)
            if not ready:
                continue
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal closed: the script ended
                break
            if not chunk:
                break
            seen += chunk
            if not answered and b"Password:" in seen:
                os.write(master, b"correct horse\n")
                answered = True
        assert proc.wait(timeout=60) == 0, seen
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, 9)
            proc.wait()
        os.close(master)
    assert b"Password:" in seen
    check = subprocess.run(["minisign", "-V", "-P", key_line, "-m", str(out / "update.tar.gz")],
                           capture_output=True, timeout=60)
    assert check.returncode == 0, check.stderr
