"""Archives that real tools make install end to end and leave the tree that
GNU tar leaves from them: contents, link targets, hard links, modes less
the umask, owned by the supervisor's user. One supervisor installs them all,
one after the other; each archive keeps to a top folder of its own."""
import os
import tarfile

import pytest

import archives as A
from conftest import Processes
from http_server import HttpServer
from installs import STAGED, OWN_NAMES, Watch, make_app_dir, publish, start_monitor
from supervised_app import App

pytestmark = STAGED

UMASK = 0o027


def gnu(fmt, *more):
    return lambda base, top: A.gnu_tar_gz(base, top, "--format=" + fmt, *more)


def with_holes(size, segments, *options):
    def build(base, top):
        A.ordinary_tree(base, top)
        A.holes_file(os.path.join(base, top, "holes.img"), size, segments)
        return A.gnu_tar_gz(base, top, *options)
    return build


def plain(make):
    """An archive of the ordinary tree, made by make(base, top)."""
    def build(base, top):
        A.ordinary_tree(base, top)
        return make(base, top)
    return build


def names(make):
    def build(base, top):
        A.names_tree(base, top)
        return make(base, top)
    return build


def latin1(make):
    def build(base, top):
        A.latin1_tree(base, top)
        return make(base, top)
    return build


def named(names, *options):
    """The ordinary tree archived with names(top) on GNU tar's command line."""
    def build(base, top):
        A.ordinary_tree(base, top)
        return A.gnu_tar_gz_of(base, names(top), *options)
    return build


def incremental(fmt, *options):
    """A level-0 GNU incremental dump: folders as dumpdir members, whose
    data lists their entries."""
    def build(base, top):
        A.ordinary_tree(base, top)
        return A.gnu_tar_gz(base, top, "--format=" + fmt, *options)
    return build


def system_link(base, top):
    A.ordinary_tree(base, top)
    os.makedirs(os.path.join(base, "bin"))
    os.symlink("/usr/bin/python3", os.path.join(base, "bin", "python"))
    return A.gzip.compress(A.run(["tar", "-c", "-f", "-", "-C", base, "bin", top]))


GIB = 1 << 30

CORPUS = [
    ("gnu-tar-gnu", plain(gnu("gnu"))),
    ("gnu-tar-oldgnu", plain(gnu("oldgnu"))),
    ("gnu-tar-posix", plain(gnu("posix"))),
    ("gnu-tar-ustar", plain(gnu("ustar"))),
    ("gnu-tar-v7", plain(gnu("v7"))),
    ("gnu-tar-sparse-many-holes", with_holes(8 << 20, 12, "--format=gnu", "-S")),
    ("gnu-tar-sparse-posix-1.0", with_holes(8 << 20, 12, "--format=posix", "-S",
                                            "--sparse-version=1.0")),
    ("gnu-tar-posix-volume-label", plain(gnu("posix", "-V", "label"))),
    ("gnu-tar-posix-comment", plain(gnu("posix", "--pax-option=comment=x"))),
    ("gnu-tar-posix-sparse-9-gib", with_holes(9 * GIB, 3, "--format=posix", "-S")),
    ("bsdtar-default", plain(A.bsdtar_gz)),
    ("bsdtar-pax", plain(lambda b, t: A.bsdtar_gz(b, t, "--format", "pax"))),
    ("python-gnu", plain(lambda b, t: A.python_tar_gz(b, t, tarfile.GNU_FORMAT))),
    ("python-ustar", plain(lambda b, t: A.python_tar_gz(b, t, tarfile.USTAR_FORMAT))),
    ("python-pax", plain(lambda b, t: A.python_tar_gz(b, t, tarfile.PAX_FORMAT))),
    ("busybox-tar", plain(A.busybox_tar_gz)),
    ("pigz-threads", plain(lambda b, t: A.pigz(A.gnu_tar(b, t)))),
    ("two-gzip-members", plain(lambda b, t: A.two_gzip_members(A.gnu_tar(b, t)))),
    ("no-end-blocks", plain(lambda b, t: A.python_tar_gz(b, t, tarfile.PAX_FORMAT,
                                                         end_blocks=False))),
    ("names-gnu-tar", names(gnu("gnu"))),
    ("names-python-pax", names(lambda b, t: A.python_tar_gz(b, t, tarfile.PAX_FORMAT))),
    ("names-bsdtar-pax", names(lambda b, t: A.bsdtar_gz(b, t, "--format", "pax"))),
    ("link-to-system-file", system_link),
    ("latin-1-names-gnu-tar-posix", latin1(gnu("posix"))),
    ("latin-1-names-gnu-tar-gnu", latin1(gnu("gnu"))),
    ("latin-1-names-bsdtar-pax", latin1(lambda b, t: A.bsdtar_gz(b, t, "--format", "pax"))),
    # A name given twice: the second copy is a hard link to itself.
    ("file-named-twice", named(lambda t: [t, t + "/run.sh"])),
    ("file-named-twice-posix", named(lambda t: [t, t + "/run.sh"], "--format=posix")),
    ("file-named-twice-v7", named(lambda t: [t + "/run.sh", t + "/run.sh"], "--format=v7")),
    ("file-named-twice-spelt-two-ways", named(lambda t: ["./" + t, t + "/run.sh"])),
    ("folder-named-twice", named(lambda t: [t, t])),
    ("incremental-gnu-listed", lambda b, t: incremental("gnu", "-g", os.path.join(b, "snap"))(b, t)),
    ("incremental-gnu-old-style", incremental("gnu", "-G")),
    ("incremental-oldgnu-listed",
     lambda b, t: incremental("oldgnu", "-g", os.path.join(b, "snap"))(b, t)),
    ("incremental-oldgnu-old-style", incremental("oldgnu", "-G")),
]


@pytest.fixture(scope="module")
def supervisor(tmp_path_factory):
    """One supervisor with its own loopback server, for the whole table."""
    base = tmp_path_factory.mktemp("corpus")
    www = base / "www"
    www.mkdir()
    procs = Processes()
    with HttpServer(www) as server:
        app = App(make_app_dir(str(base / "app"), server.url("/app.tar.gz")))
        try:
            with open(base / "stdout", "w") as out:
                start_monitor(procs, app, stdout=out, umask=UMASK)
            yield server, app
        finally:
            procs.end_all()


def compare(app_root, before, after, expected):
    """The installed tree against GNU tar's: every entry tar made, as tar made
    it; nothing else new; what the archive does not hold left alone."""
    problems = []
    for rel, want in expected.items():
        if rel == ".":
            continue
        got = after.get(rel)
        if got is None:
            problems.append("missing: " + rel)
            continue
        if got.kind != want.kind or got.content != want.content:
            problems.append("%s: %s %r, tar made %s %r" % (rel, got.kind, got.content,
                                                         want.kind, want.content))
        if got.mode != want.mode and not (want.kind == "dir" and rel in before):
            problems.append("%s: mode %o, tar made %o" % (rel, got.mode, want.mode))
        if got.uid != os.getuid():
            problems.append("%s: owner %d" % (rel, got.uid))
    for rel in after.keys() - expected.keys() - before.keys():
        problems.append("not made by tar: " + rel)
    for rel in before.keys() - expected.keys():
        if after.get(rel, None) is None or after[rel].content != before[rel].content:
            problems.append("changed though not in the archive: " + rel)
    groups = A.hard_link_groups(expected)
    for group in groups:
        inodes = {after[rel].ino for rel in group if rel in after}
        if len(inodes) != 1:
            problems.append("hard links not kept: %s" % sorted(group))
    assert problems == []


@pytest.mark.parametrize("label,build", CORPUS, ids=[c[0] for c in CORPUS])
def test_archive_installs_as_tar_leaves_it(supervisor, tmp_path, label, build):
    server, app = supervisor
    top = "c-" + label
    source = tmp_path / "source"
    source.mkdir()
    archive = build(str(source), top)
    archive_path = tmp_path / "archive.tar.gz"
    archive_path.write_bytes(archive)
    expected = A.tar_extraction(str(archive_path), str(tmp_path / "by-tar"), UMASK)

    skip = set(OWN_NAMES)
    before = A.snapshot(app.root, skip=skip)
    watch = Watch(app)
    publish(server, archive)
    outcome, log = watch.outcome(archive)
    assert outcome == "installed", log[-2000:]
    assert not os.path.lexists(app.path("update.staging"))
    compare(app.root, before, A.snapshot(app.root, skip=skip), expected)
