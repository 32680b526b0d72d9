"""Hostile update archives: each is refused with nothing stopped, or, where
refusing is not needed, installed harmlessly; and whatever it holds, nothing
outside the application directory is created, changed or followed. The
application directory lies in a parent folder the test owns, whose every
entry outside the application directory is compared before and after."""
import datetime
import io
import os
import stat
import subprocess
import tarfile
import threading
import time

import pytest

import archives as A
from conftest import alive, wait_for
from installs import (REFUSED, STAGED, Watch, make_app_dir, publish, read_file,
                      start_monitor)
from supervised_app import App
from update_archive import version_archive

pytestmark = STAGED

UMASK = 0o027
OUTSIDE = "../../outside"  # from app/bin: the parent's folder "outside"


class Host:
    """parent/app runs version v1 (a probe) under monitor-fast; parent/outside
    holds a victim file and folder, parent/victim.txt another victim."""

    def __init__(self, parent, server):
        self.parent = str(parent)
        self.server = server
        self.outside = os.path.join(self.parent, "outside")
        os.makedirs(os.path.join(self.outside, "dir"))
        for path in (os.path.join(self.outside, "victim.txt"),
                     os.path.join(self.parent, "victim.txt")):
            A.write(path, b"victim\n")
        self.app = App(make_app_dir(os.path.join(self.parent, "app"),
                                    server.url("/app.tar.gz")))
        self.v1 = version_archive("v1")
        with open(self.app.path("update.gz"), "wb") as f:
            f.write(self.v1)
        subprocess.run(["tar", "xzf", self.app.path("update.gz"), "-C", self.app.root],
                       check=True)
        publish(server, self.v1)

    def outside_snapshot(self):
        return A.snapshot(self.parent, skip={"app"}, with_times=True)


@pytest.fixture
def host(tmp_path, server):
    return Host(tmp_path / "parent", server)


def running(processes, host, plant=None):
    """Starts the supervisor (after plant(host), if given) and waits for v1."""
    if plant:
        plant(host)
    sup = start_monitor(processes, host.app, umask=UMASK)
    probe = wait_for(lambda: host.app.runs("v1"), timeout=20,
                                            what="version 1 running")[0]
    return sup, probe


def assert_harmless(host):
    """What may never be found in an application directory, whatever was
    installed: special files, set-id bits, entries of another owner or open
    to everyone, a staging folder left behind."""
    app = host.app
    st = os.stat(app.root)
    assert st.st_uid == os.getuid() and stat.S_IMODE(st.st_mode) & 0o022 == 0
    bad = []
    for rel, e in A.snapshot(app.root, skip={"Log"}).items():
        if e.kind.startswith("special"):
            bad.append("special file " + rel)
        if e.kind != "link" and e.mode & (stat.S_ISUID | stat.S_ISGID | 0o002):
            bad.append("mode %o: %s" % (e.mode, rel))
        if e.uid != os.getuid():
            bad.append("owner %d: %s" % (e.uid, rel))
    assert bad == []
    assert not os.path.lexists(app.path("update.staging"))


def assert_refused_and_nothing_installed(host, watch, probe):
    """The check watch saw refuse the archive, as the log and the status file
    tell it; v1 still installed and its program never stopped."""
    why = watch.refusal()
    assert why.endswith(" url:" + host.server.url("/app.tar.gz")) and len(why) > 40, why
    assert watch.check["message"] == REFUSED + why, watch.check
    assert watch.check["result"] == -5, watch.check
    assert read_file(host.app.path("update.gz")) == host.v1
    assert [run.pid for run in host.app.runs("v1")] == [probe.pid] and alive(probe.pid)
    # As the table stood when the check had ended.
    assert [(p["pid"], p["state"]) for p in watch.status["programs"]] == [(probe.pid, "running")]


# --- archives ---------------------------------------------------------------

def tgz(*members):
    """members: (name, kind, data or link target, mode, uid) tuples, the last
    three optional; kinds "file", "dir", "link", "hard", "fifo", "char",
    "block". Written by tarfile in pax format."""
    types = {"file": tarfile.REGTYPE, "dir": tarfile.DIRTYPE, "link": tarfile.SYMTYPE,
             "hard": tarfile.LNKTYPE, "fifo": tarfile.FIFOTYPE, "char": tarfile.CHRTYPE,
             "block": tarfile.BLKTYPE}
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.PAX_FORMAT) as tar:
        for m in members:
            name, kind, value, mode, uid = (tuple(m) + (None, None, None))[:5]
            info = tarfile.TarInfo(name)
            info.type = types[kind]
            info.mode = mode if mode is not None else (0o755 if kind == "dir" else 0o644)
            info.uid = uid or 0
            data = None
            if kind == "file":
                data = value if isinstance(value, bytes) else b"x\n"
                info.size = len(data)
            elif kind in ("link", "hard"):
                info.linkname = value
            elif kind in ("char", "block"):
                info.devmajor, info.devminor = value or (1, 3)
            tar.addfile(info, io.BytesIO(data) if data is not None else None)
    return buf.getvalue()


def native():
    """A program this machine runs."""
    with open("/bin/true", "rb") as f:
        return f.read()


def other_machine():
    """The same program marked for another machine (ELF e_machine 183)."""
    data = bytearray(native())
    data[18:20] = (183).to_bytes(2, "little")
    return bytes(data)


def escape_members():
    """Raw members that, seen by a reader, would each reach outside or plant
    a device: a link out and a file through it, a device open to all, a
    name with "..". Tricks below hide them from one reader or another."""
    return (A.member("bin/esc", type=b"2", linkname=OUTSIDE)
            + A.member("bin/esc/planted", b"planted\n")
            + A.member("bin/null", type=b"3", mode=0o666, devmajor=1, devminor=3)
            + A.member("../escaped", b"escaped\n"))


def covered(before):
    """before + a file whose ustar size covers the escape members."""
    payload = escape_members()
    return A.raw_gz(before, A.ustar_header("bin/cover", size=len(payload)), payload, A.end())


def sized_non_file(type, linkname=b""):
    """A link, folder or FIFO whose size field claims the escape members."""
    payload = escape_members()
    first = A.member("bin/target", b"target\n")
    return A.raw_gz(first, A.ustar_header("bin/odd", size=len(payload), type=type,
                                          linkname=linkname), payload, A.end())


def sparse_hiding(host):
    """Old-GNU sparse member with extension blocks (12 data parts) whose data
    are the escape members: tar makes a plain file of them."""
    base = os.path.join(host.parent, "..", "sparse-src")
    payload = A.padded(escape_members())
    A.holes_file(os.path.join(base, "bin", "holes.img"), 4 << 20, 12, data=payload)
    return A.gnu_tar_gz(base, "bin", "--format=oldgnu", "-S")


def today(days=0):
    d = datetime.date.today() + datetime.timedelta(days=days)
    return "Log/monitor[%d-%d-%d].log" % (d.year, d.month, d.day)


def gzip_without_trailer(data):
    return A.gzip.compress(data)[:-8]


def gzip_bad_crc(data):
    gz = bytearray(A.gzip.compress(data))
    gz[-8] ^= 0xFF
    return bytes(gz)


def bad_checksum():
    m = bytearray(A.member("bin/bad", b"bad\n"))
    m[148:156] = b"000000\0 "
    return A.raw_gz(bytes(m), A.end())


def wrapped(record):
    return lambda host: covered(A.pax_header(record))


PLAIN = A.gnu_tar(os.path.dirname(__file__), "update_archive.py")

# label, archives made from the host, what is expected of the last one:
# "refused", "installed" (harmlessly) or "either".
ROWS = [
    ("pax-size-record", lambda h: covered(A.pax_header(A.pax_record("size", "0"))), "either"),
    ("solaris-X-header", lambda h: covered(A.pax_header(A.pax_record("size", "0"), type=b"X")),
     "either"),
    ("global-size", lambda h: covered(A.pax_header(A.pax_record("size", "0"), type=b"g")),
     "either"),
    ("global-linkpath", lambda h: A.raw_gz(
        A.pax_header(A.pax_record("linkpath", OUTSIDE), type=b"g"),
        A.member("bin/g", type=b"2", linkname=b"."), A.member("bin/g/planted", b"planted\n"),
        A.end()), "either"),
    ("size-on-symlink", lambda h: sized_non_file(b"2", b"target"), "either"),
    ("size-on-hard-link", lambda h: sized_non_file(b"1", b"bin/target"), "either"),
    ("size-on-directory", lambda h: sized_non_file(b"5"), "either"),
    ("size-on-fifo", lambda h: sized_non_file(b"6"), "either"),
    ("old-gnu-sparse-extension-blocks", sparse_hiding, "installed"),
    ("pax-leading-blank", lambda h: covered(A.pax_header(b" " + A.pax_record("size", "0"))),
     "either"),
    ("pax-two-blanks", lambda h: covered(A.pax_header(A.pax_record("size", "0", b"  "))),
     "either"),
    ("pax-length-wraps", wrapped(b"18446744073709551615 size=0\n"), "either"),
    ("pax-length-wraps-to-small", wrapped(b"18446744073709551627 size=0\n"), "either"),
    ("pax-length-zero", wrapped(b"0 size=0\n"), "either"),
    ("pax-length-negative", wrapped(b"-9 size=0\n"), "either"),
    ("absolute-name", lambda h: tgz((h.outside + "/abs.txt", "file")), "refused"),
    ("dot-dot-name", lambda h: tgz(("bin/../../escaped", "file")), "refused"),
    ("link-out-then-file-through-it", lambda h: tgz(("bin/esc", "link", OUTSIDE),
                                                    ("bin/esc/planted", "file")), "either"),
    ("hard-link-to-outside-file", lambda h: tgz(("bin/h", "hard", h.outside + "/victim.txt")),
     "either"),
    ("hard-link-dot-dot", lambda h: tgz(("bin/h", "hard", "../outside/victim.txt")), "either"),
    ("char-device", lambda h: tgz(("bin/null", "char", (1, 3), 0o666)), "refused"),
    ("block-device", lambda h: tgz(("bin/disk", "block", (7, 0), 0o666)), "refused"),
    ("fifo", lambda h: tgz(("bin/fifo", "fifo")), "refused"),
    ("own-update.gz", lambda h: tgz(("update.gz", "file")), "refused"),
    ("own-update.gz-dot-slash", lambda h: tgz(("./update.gz", "file")), "refused"),
    ("own-part-fifo", lambda h: tgz(("update.gz.part", "fifo")), "refused"),
    ("own-part-directory", lambda h: tgz(("update.gz.part", "dir"),
                                         ("update.gz.part/x", "file")), "refused"),
    ("own-part-link", lambda h: tgz(("update.gz.part", "link", "../victim.txt")), "refused"),
    ("own-staging", lambda h: tgz(("update.staging/x", "file")), "refused"),
    # A forged journal would have the next start finish or undo an
    # installation that never was; a forged previous release or rejected
    # record would bring back or block releases.
    ("own-journal", lambda h: tgz(("update.journal", "file", b'{"phase":"rolling back"}')),
     "refused"),
    ("own-previous", lambda h: tgz(("update.previous/bin/x", "file")), "refused"),
    ("own-rejected", lambda h: tgz(("update.rejected", "file")), "refused"),
    # The supervisor's executable: only a program this machine runs may
    # replace it, or nothing would start at the supervisor's next start.
    ("monitor-script", lambda h: tgz(("monitor", "file", b"#!/bin/sh\nexit 0\n", 0o755)),
     "refused"),
    ("monitor-other-machine", lambda h: tgz(("monitor", "file", other_machine(), 0o755)),
     "refused"),
    ("monitor-not-executable", lambda h: tgz(("monitor", "file", native(), 0o644)), "refused"),
    ("monitor-link", lambda h: tgz(("monitor", "link", "/bin/true")), "refused"),
    ("own-log-fifos", lambda h: tgz(("Log", "dir"), (today(), "fifo"), (today(1), "fifo")),
     "refused"),
    ("own-log-file", lambda h: tgz((today(2), "file")), "refused"),
    ("own-instance-record", lambda h: tgz(("tavrin.exe", "file", b"1\n")), "refused"),
    ("own-instance-lock", lambda h: tgz(("tavrin.lock", "fifo")), "refused"),
    ("own-status-link", lambda h: tgz(("status.json", "link", "../victim.txt")), "refused"),
    ("file-where-folder-stands", lambda h: tgz(("bin", "file")), "refused"),
    ("gzip-without-trailer", lambda h: gzip_without_trailer(PLAIN), "refused"),
    ("gzip-bad-crc", lambda h: gzip_bad_crc(PLAIN), "refused"),
    ("gzip-cut-short", lambda h: A.gzip.compress(PLAIN)[:-200], "refused"),
    ("tar-bad-checksum", lambda h: bad_checksum(), "refused"),
]


@pytest.mark.parametrize("label,make,expect", ROWS, ids=[r[0] for r in ROWS])
def test_hostile_archive(host, processes, label, make, expect):
    sup, probe = running(processes, host)
    before = host.outside_snapshot()
    archive = make(host)
    watch = Watch(host.app)
    publish(host.server, archive)
    # Once the status file records the check that refused it, that check has
    # ended: the programs would have been stopped by now.
    outcome, log = watch.outcome(archive)
    if expect != "either":
        assert outcome == expect, log[-2000:]
    if outcome == "refused":
        assert_refused_and_nothing_installed(host, watch, probe)
    assert alive(sup.pid)
    assert host.outside_snapshot() == before
    assert_harmless(host)


def test_sparse_member_is_installed_as_tar_leaves_it(host, processes, tmp_path):
    """The old-GNU sparse row above, compared with GNU tar's file."""
    running(processes, host)
    archive = sparse_hiding(host)
    path = tmp_path / "sparse.tar.gz"
    path.write_bytes(archive)
    expected = A.tar_extraction(str(path), str(tmp_path / "by-tar"), UMASK)
    watch = Watch(host.app)
    publish(host.server, archive)
    assert watch.outcome(archive)[0] == "installed"
    got = A.snapshot(host.app.root)
    assert got["bin/holes.img"].content == expected["bin/holes.img"].content
    for name in ("esc", "null", "cover"):
        assert not os.path.lexists(host.app.path("bin", name))


def test_refused_member_names_arrive_as_one_escaped_line(host, processes):
    """Whatever bytes a refused member's name holds, the report is one line
    of the log without a terminal sequence."""
    running(processes, host)
    url = host.server.url("/app.tar.gz")
    rows = [("bin/\x1b[31mred\nline", "fifo",
             "device node, FIFO or socket: bin/\\033[31mred\\012line url:" + url),
            ("bin/../\x1b]0;title\x07\n", "file", "cannot stage bin/../\\033]0;title\\007\\012: ")]
    for name, kind, why in rows:
        archive = tgz((name, kind))
        watch = Watch(host.app)
        publish(host.server, archive)
        outcome, log = watch.outcome(archive)
        assert outcome == "refused", log[-2000:]
        assert watch.refusal().startswith(why), watch.refusal()
        assert watch.refusal().endswith(" url:" + url)
        assert "\x1b" not in watch.new_text()
        assert watch.check["message"] == REFUSED + watch.refusal()


# --- whatever libarchive does with a member ------------------------------------

def hard_link_onto_link(target, mode):
    """bin/s, a symbolic link to target, and bin/h, a hard link to bin/s with
    mode that carries data (a pax size record): writing h would end in
    setting that mode on target through the link."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.PAX_FORMAT) as tar:
        link = tarfile.TarInfo("bin/s")
        link.type, link.linkname = tarfile.SYMTYPE, target
        tar.addfile(link)
        hard = tarfile.TarInfo("bin/h")
        hard.type, hard.linkname, hard.mode = tarfile.LNKTYPE, "bin/s", mode
        hard.size, hard.pax_headers = 8, {"size": "8"}
        tar.addfile(hard, io.BytesIO(b"written\n"))
    return buf.getvalue()


@pytest.mark.skipif(os.getuid() != 0, reason="the victims belong to root and to another user")
@pytest.mark.parametrize("victim,mode", [("outside/victim.txt", 0o4755), ("outside/dir", 0o000),
                                         ("theirs.txt", 0o777)],
                         ids=["file-4755", "folder-0000", "another-users-file-0777"])
def test_hard_link_onto_a_link_changes_nothing_outside(host, processes, victim, mode):
    """Refused at every check, with no public_key needed to get there: the
    victim keeps its mode, owner, times and content, and the programs are
    never stopped."""
    theirs = os.path.join(host.parent, "theirs.txt")
    A.write(theirs, b"theirs\n", 0o600)
    os.chown(theirs, 65534, 65534)
    sup, probe = running(processes, host)
    before = host.outside_snapshot()
    archive = hard_link_onto_link(os.path.join(host.parent, victim), mode)
    watch = Watch(host.app)
    publish(host.server, archive)
    outcome, log = watch.outcome(archive)
    assert host.outside_snapshot() == before
    assert outcome == "refused", log[-2000:]
    assert watch.refusal() == ("hard link to a symbolic link: bin/h url:"
                               + host.server.url("/app.tar.gz"))
    assert_refused_and_nothing_installed(host, watch, probe)
    assert alive(sup.pid)
    assert_harmless(host)


# --- across two updates -------------------------------------------------------

CHAINS = [
    # links that each point inside, then an archive writing through them
    ("chain-then-write-through",
     [lambda h: tgz(("s", "link", "."), ("u", "link", "s/..")),
      lambda h: tgz(("u/victim.txt", "file", b"owned\n"), ("s/u/planted", "file"))]),
    ("chain-then-part-link",
     [lambda h: tgz(("s", "link", "."), ("u", "link", "s/..")),
      lambda h: tgz(("update.gz.part", "link", "u/victim.txt"))]),
    ("link-out-then-file-through-it",
     [lambda h: tgz(("bin/esc", "link", OUTSIDE)),
      lambda h: tgz(("bin/esc/planted", "file"), ("bin/esc/victim.txt", "file", b"owned\n"))]),
    ("link-out-then-folder-through-it",
     [lambda h: tgz(("bin/esc", "link", OUTSIDE)),
      lambda h: tgz(("bin/esc/dir", "dir"), ("bin/esc/dir/planted", "file"))]),
]


@pytest.mark.parametrize("label,makers", CHAINS, ids=[c[0] for c in CHAINS])
def test_links_then_writes_through_them(host, processes, label, makers):
    running(processes, host)
    before = host.outside_snapshot()
    for make in makers:
        archive = make(host)
        watch = Watch(host.app)
        publish(host.server, archive)
        watch.outcome(archive)
    # A later ordinary download must not be sent through anything planted.
    v2 = version_archive("v2")
    watch = Watch(host.app)
    publish(host.server, v2)
    assert watch.outcome(v2)[0] == "installed"
    assert host.outside_snapshot() == before
    assert_harmless(host)


def plant_part_link(host):
    os.symlink(os.path.join(host.parent, "victim.txt"), host.app.path("update.gz.part"))


def plant_part_fifo(host):
    os.mkfifo(host.app.path("update.gz.part"))


def plant_part_directory(host):
    os.makedirs(host.app.path("update.gz.part", "inner"))
    A.write(host.app.path("update.gz.part", "inner", "x"), b"x")


@pytest.mark.parametrize("plant", [plant_part_link, plant_part_fifo, plant_part_directory],
                         ids=["link", "fifo", "directory"])
def test_planted_download_file_is_replaced_not_followed(host, processes, plant):
    running(processes, host, plant=plant)
    before = host.outside_snapshot()
    v2 = version_archive("v2")
    watch = Watch(host.app)
    publish(host.server, v2)
    assert watch.outcome(v2)[0] == "installed"
    wait_for(lambda: host.app.runs("v2"), timeout=20, what="v2 running")
    assert host.outside_snapshot() == before
    assert not os.path.lexists(host.app.path("update.gz.part"))


# --- owners, modes -------------------------------------------------------------

def test_owner_and_modes_are_not_taken_from_the_archive(host, processes):
    running(processes, host)
    app_before = os.stat(host.app.root)
    archive = tgz(("./", "dir", None, 0o777, 1234),
                  ("bin", "dir", None, 0o777, 1234),
                  ("bin/tool", "file", b"tool\n", 0o777, 1234),
                  ("bin/suid", "file", b"suid\n", 0o4755, 0),
                  ("bin/sgid", "file", b"sgid\n", 0o2755, 0),
                  ("bin/sticky", "dir", None, 0o1777, 1234))
    watch = Watch(host.app)
    publish(host.server, archive)
    assert watch.outcome(archive)[0] == "installed"
    app_after = os.stat(host.app.root)
    assert (app_after.st_mode, app_after.st_uid, app_after.st_gid) == (
        app_before.st_mode, app_before.st_uid, app_before.st_gid)
    got = A.snapshot(host.app.root)
    modes = {rel: (got[rel].mode, got[rel].uid)
             for rel in ("bin/tool", "bin/suid", "bin/sgid")}
    assert modes == {"bin/tool": (0o750, 0), "bin/suid": (0o750, 0), "bin/sgid": (0o750, 0)}
    assert got["bin/sticky"].uid == 0 and got["bin/sticky"].mode & 0o7002 in (0, 0o1000)
    assert_harmless(host)


# --- resources -------------------------------------------------------------------

def high_water_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


@pytest.mark.parametrize("label,size", [("sparse-1-gib", 1 << 30), ("text-17-mib", 17 << 20),
                                        ("text-8-mib", 8 << 20)])
def test_huge_program_list_is_not_read_whole(host, processes, tmp_path, label, size):
    """A program list above 16 MiB counts as unreadable; below, the "json
    error!" report carries at most 4 KiB of it. Either way memory and log
    stay small."""
    sup, _ = running(processes, host)
    src = tmp_path / "src"
    path = src / "bin" / "config.json"
    if label.startswith("sparse"):
        A.holes_file(str(path), size, 1, data=b'{"list": [')
        archive = A.gnu_tar_gz(str(src), "bin", "--format=posix", "-S")
    else:
        A.write(str(path), b'{"list": [' + b"x" * (size - 10))
        archive = A.gnu_tar_gz(str(src), "bin")
    assert len(archive) < 64 << 10
    watch = Watch(host.app)
    publish(host.server, archive)
    outcome, _ = watch.outcome(archive)
    if outcome == "installed":
        report = "json error! path:%s" % host.app.path("bin", "config.json")
        wait_for(lambda: report in watch.new_text(), timeout=20,
                                        what="the program list report")
    assert high_water_kib(sup.pid) < 200 << 10
    assert len(watch.new_text()) < 256 << 10
    assert alive(sup.pid)


@pytest.fixture
def small_fs(tmp_path):
    """A 256 MiB tmpfs the test mounts and unmounts (root only)."""
    mount = tmp_path / "small"
    mount.mkdir()
    if os.getuid() != 0:
        pytest.skip("mounting a scratch file system needs root")
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256m,mode=0755", "tmpfs", str(mount)],
                       stderr=subprocess.PIPE)
    if r.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + r.stderr.decode(errors="replace"))
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)


def test_gzip_bomb_never_fills_the_file_system(small_fs, server, processes):
    host = Host(small_fs / "parent", server)
    sup, probe = running(processes, host)
    before = host.outside_snapshot()
    bomb = A.zeros_bomb(1 << 30)
    assert len(bomb) < 2 << 20
    lowest = [os.statvfs(small_fs).f_bavail * os.statvfs(small_fs).f_frsize]
    done = threading.Event()

    def watch_free():
        while not done.is_set():
            st = os.statvfs(small_fs)
            lowest[0] = min(lowest[0], st.f_bavail * st.f_frsize)
            time.sleep(0.002)

    watcher = threading.Thread(target=watch_free)
    watcher.start()
    try:
        watch = Watch(host.app)
        publish(server, bomb)
        outcome, log = watch.outcome(bomb)
    finally:
        done.set()
        watcher.join()
    assert outcome == "refused", log[-2000:]
    assert lowest[0] > 8 << 20  # never near full
    assert_refused_and_nothing_installed(host, watch, probe)
    assert host.outside_snapshot() == before
    assert_harmless(host)
