"""The Debian package: built once with cpack from the build directory, unpacked
into a scratch root with dpkg -x (nothing is installed on this host), and
checked there: layout, control fields, maintainer scripts, the unit file, and
the unpacked programs at work."""
import configparser
import json
import os
import shutil
import stat
import subprocess
import types
import zlib

import pytest

from conftest import BUILD_DIR

APP = "opt/monitor"
UNIT = "lib/systemd/system/monitor.service"
FILES = {  # path in the package: mode
    APP + "/monitor": 0o755,
    APP + "/bin/config.json": 0o644,
    APP + "/tools/publish-update.sh": 0o755,
    UNIT: 0o644,
    "usr/share/doc/monitor/README.md": 0o644,
}


def run(argv, **kwargs):
    kwargs.setdefault("timeout", 300)
    return subprocess.run([str(a) for a in argv], capture_output=True, text=True, **kwargs)


def cache_value(name):
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    raise AssertionError("no %s in CMakeCache.txt" % name)


def needed_packages():
    needed = ["libc6", "libcurl4", "libarchive13", "libelf1", "procps"]
    if cache_value("MONITOR_SANITIZE") == "":
        needed.append("libjemalloc2")  # sanitizer builds keep the C library's allocator
    return needed


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    work = tmp_path_factory.mktemp("package")
    built = run(["cpack", "-G", "DEB", "-B", work / "out"], cwd=BUILD_DIR, timeout=600)
    assert built.returncode == 0, built.stdout + built.stderr
    debs = [n for n in os.listdir(work / "out") if n.endswith(".deb")]
    assert len(debs) == 1, debs
    deb = work / "out" / debs[0]
    root = work / "root"
    control = work / "control"
    for argv in (["dpkg", "-x", deb, root], ["dpkg-deb", "-e", deb, control]):
        result = run(argv)
        assert result.returncode == 0, result.stderr
    return types.SimpleNamespace(deb=deb, root=root, control=control)


def field(package, name):
    result = run(["dpkg-deb", "-f", package.deb, name])
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_layout(package):
    listing = run(["dpkg-deb", "-c", package.deb])
    assert listing.returncode == 0, listing.stderr
    files = set()
    for line in listing.stdout.splitlines():
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        assert owner == "root/root", line
        if not mode.startswith("d"):
            files.add(path[2:] if path.startswith("./") else path)
    assert files == set(FILES)  # the production supervisor only: no test or bench programs

    for path, mode in FILES.items():
        st = os.lstat(package.root / path)
        assert stat.S_ISREG(st.st_mode), path
        assert stat.S_IMODE(st.st_mode) == mode, path
    with open(package.root / APP / "bin" / "config.json") as f:
        assert json.load(f) == {"list": []}
    # The operator writes the update settings; the package ships none.
    assert not os.path.exists(package.root / APP / "config.json")


CONTROL_FIELDS = [
    ("Package", lambda v: v == "monitor"),
    ("Version", lambda v: v == cache_value("CMAKE_PROJECT_VERSION")),
    ("Architecture", lambda v: v == run(["dpkg", "--print-architecture"]).stdout.strip()),
    ("Section", lambda v: v == "admin"),
    ("Maintainer", lambda v: "<" in v and ">" in v),
    ("Description", lambda v: "supervisor" in v),
    ("Depends", lambda v: set(needed_packages()) <= {d.split()[0] for d in v.split(", ")}),
]


@pytest.mark.parametrize("name,check", CONTROL_FIELDS, ids=[c[0] for c in CONTROL_FIELDS])
def test_control_field(package, name, check):
    value = field(package, name)
    assert check(value), "%s: %s" % (name, value)


def test_program_list_is_a_conffile(package):
    with open(package.control / "conffiles") as f:
        assert f.read().split() == ["/" + APP + "/bin/config.json"]


STUB = """#!/bin/sh
printf '%s %s\\n' "${0##*/}" "$*" >> "$STUB_LOG"
if [ "$1 $2" = "--quiet was-enabled" ]; then exit "$STUB_WAS_ENABLED"; fi
exit 0
"""

# script, arguments from dpkg, whether the operator left the unit enabled,
# the calls that must be made, the calls that must not.
MAINTAINER_CASES = [
    ("postinst", ["configure"], True,
     ["deb-systemd-helper enable monitor.service"], []),
    ("postinst", ["configure", "0.9.0"], False,
     ["deb-systemd-helper update-state monitor.service"], ["deb-systemd-helper enable"]),
    ("prerm", ["remove"], True, [], []),
    ("postrm", ["remove"], True, [], ["purge"]),
    ("postrm", ["purge"], True, ["deb-systemd-helper purge monitor.service"], []),
]


@pytest.mark.parametrize("script,args,enabled,made,not_made", MAINTAINER_CASES,
                         ids=["%s %s" % (c[0], " ".join(c[1])) for c in MAINTAINER_CASES])
def test_maintainer_script(package, tmp_path, script, args, enabled, made, not_made):
    """Runs the shipped script with the service tools replaced by stubs that
    only record their calls, so nothing on this host changes."""
    path = package.control / script
    assert os.access(path, os.X_OK)
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    for tool in ("deb-systemd-helper", "deb-systemd-invoke", "systemctl"):
        (stubs / tool).write_text(STUB)
        (stubs / tool).chmod(0o755)
    log = tmp_path / "calls"
    log.write_text("")
    env = {"PATH": "%s:/usr/sbin:/usr/bin:/sbin:/bin" % stubs, "STUB_LOG": str(log),
           "STUB_WAS_ENABLED": "0" if enabled else "1"}
    result = run([path] + args, env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    calls = log.read_text()
    for call in made:
        assert call in calls
    for call in not_made:
        assert call not in calls


def test_unpacked_supervisor_computes_crc(package, tmp_path):
    data = tmp_path / "data"
    data.write_bytes(b"123456789")
    result = run([package.root / APP / "monitor", "crc", data], timeout=20)
    assert (result.returncode, result.stdout) == (0, "qm crc:3421780262\n3421780262")
    if shutil.which("readelf"):
        dynamic = run(["readelf", "-d", package.root / APP / "monitor"]).stdout
        assert "RPATH" not in dynamic and "RUNPATH" not in dynamic


def test_unpacked_publish_script_finds_the_unpacked_supervisor(package, tmp_path):
    folder = tmp_path / "release"
    (folder / "bin").mkdir(parents=True)
    (folder / "bin" / "config.json").write_text('{"list": []}')
    out = tmp_path / "www"
    result = run([package.root / APP / "tools" / "publish-update.sh", folder, out], timeout=60)
    assert result.returncode == 0, result.stderr
    crc = str(zlib.crc32((out / "update.tar.gz").read_bytes()))
    assert json.loads((out / "update.tar.gz.crc").read_text()) == {"crc": crc}


UNIT_SETTINGS = [
    ("Unit", "Wants", "network-online.target"),
    ("Unit", "After", "network-online.target"),
    ("Service", "Type", "simple"),
    ("Service", "ExecStart", "/" + APP + "/monitor"),
    ("Service", "WorkingDirectory", "/" + APP),
    ("Service", "Restart", "always"),
    # The supervisor leaves its programs running when it ends: the service
    # manager must end the whole group, or a restart doubles every program.
    ("Service", "KillMode", "control-group"),
    ("Install", "WantedBy", "multi-user.target"),
]


def test_unit_settings(package):
    unit = configparser.ConfigParser(interpolation=None, strict=True)
    unit.optionxform = str
    unit.read(package.root / UNIT)
    for section, key, value in UNIT_SETTINGS:
        assert unit.get(section, key, fallback=None) == value, "%s=" % key
    assert int(unit.get("Service", "RestartSec")) > 0


def test_systemd_accepts_the_unit(package, tmp_path):
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        pytest.skip("systemd-analyze is not installed")
    # A root of its own: the unpacked package plus this host's units (without
    # any monitor.service of its own) for the targets the unit refers to.
    root = tmp_path / "root"
    shutil.copytree(package.root, root, symlinks=True)
    shutil.copytree("/usr/lib/systemd/system", root / "usr/lib/systemd/system", symlinks=True,
                    ignore=shutil.ignore_patterns("monitor.service"))
    result = run([analyze, "verify", "--root=%s" % root, "monitor.service"], timeout=120)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    assert "monitor.service" not in output  # warnings leave the status 0

    # The same check fails when the executable is not where ExecStart says.
    os.unlink(root / APP / "monitor")
    result = run([analyze, "verify", "--root=%s" % root, "monitor.service"], timeout=120)
    assert result.returncode != 0
