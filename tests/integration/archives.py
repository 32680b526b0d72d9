"""Update archives made on the fly: by the real tools (GNU tar in each of its
formats and modes, bsdtar, busybox tar, pigz, Python's tarfile) from a small
source tree, and by hand, header by header, where no tool writes what a test needs.
Also a snapshot of a directory tree to compare installations with."""
import collections
import gzip
import hashlib
import io
import os
import stat
import subprocess
import tarfile
import zlib

BLOCK = 512


# --- source trees ---------------------------------------------------------

def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def ordinary_tree(base, top):
    """base/top: files of several modes, an empty file and folder, a private
    folder, a relative link and a hard link. Names fit in 99 bytes (v7)."""
    root = os.path.join(base, top)
    write(os.path.join(root, "readme.txt"), b"read me: " + top.encode() + b"\n")
    write(os.path.join(root, "run.sh"), b"#!/bin/sh\necho run\n", 0o755)
    write(os.path.join(root, "private"), b"private\n", 0o600)
    write(os.path.join(root, "empty"), b"")
    write(os.path.join(root, "sub", "deep", "data.bin"), os.urandom(70000))
    os.symlink("deep/data.bin", os.path.join(root, "sub", "link"))
    os.link(os.path.join(root, "readme.txt"), os.path.join(root, "sub", "hard"))
    os.makedirs(os.path.join(root, "emptydir"))
    write(os.path.join(root, "locked", "inside"), b"inside\n", 0o640)
    os.chmod(os.path.join(root, "locked"), 0o700)
    return root


def names_tree(base, top):
    """base/top: names with blanks, UTF-8 and a path of more than 255 bytes."""
    root = os.path.join(base, top)
    write(os.path.join(root, "with blanks", "a file .txt"), b"blanks\n")
    write(os.path.join(root, "\u00fctf-8 \u00f1ame", "\u65e5\u672c\u8a9e.txt"), "utf-8\n".encode())
    long_dir = os.path.join(root, "d" * 120, "e" * 120)
    write(os.path.join(long_dir, "f" * 200), b"long\n")
    assert len(os.path.relpath(os.path.join(long_dir, "f" * 200), base).encode()) > 255
    return root


def latin1_tree(base, top):
    """base/top: names that are no UTF-8 (Latin-1 bytes), one of them a
    link's target and one a folder's, and a UTF-8 name in decomposed form,
    which stays as it is."""
    root = os.fsencode(os.path.join(base, top))
    write(os.path.join(root, b"caf\xe9.txt"), b"latin-1\n")
    write(os.path.join(root, b"r\xe9pertoire", b"fichier \xe0"), b"inside\n")
    os.symlink(b"caf\xe9.txt", os.path.join(root, b"lien"))
    write(os.path.join(root, b"u\xcc\x88ber"), b"decomposed\n")
    return os.fsdecode(root)


def holes_file(path, size, segments, data=None):
    """A sparse file of size bytes with `segments` data parts spread over it."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(size)
        step = size // segments
        for i in range(segments):
            f.seek(i * step)
            f.write(data if data is not None else b"segment %d\n" % i * 40)


# --- tools ----------------------------------------------------------------

def run(argv, **kwargs):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          **kwargs).stdout


def gnu_tar(base, top, *options):
    """GNU tar's uncompressed archive of base/top, with its options."""
    return run(["tar", "-c", "-f", "-", *options, "-C", base, top])


def gnu_tar_gz(base, top, *options):
    return gzip.compress(gnu_tar(base, top, *options))


def gnu_tar_gz_of(base, names, *options):
    """GNU tar's archive of the names under base, in the order given (a name
    given twice is stored twice)."""
    return gzip.compress(run(["tar", "-c", "-f", "-", *options, "-C", base, *names]))


def bsdtar_gz(base, top, *options):
    return run(["bsdtar", "-c", "-z", "-f", "-", *options, "-C", base, top])


def busybox_tar_gz(base, top):
    return run(["busybox", "tar", "-c", "-z", "-f", "-", "-C", base, top])


def pigz(data, threads=4):
    # Small blocks, so that several threads really share the stream.
    return run(["pigz", "-p", str(threads), "-b", "32", "-c"], input=data)


def python_tar_gz(base, top, fmt, end_blocks=True):
    buf = io.BytesIO()
    tar = tarfile.open(fileobj=buf, mode="w", format=fmt)
    tar.add(os.path.join(base, top), arcname=top)
    if end_blocks:
        tar.close()
        data = buf.getvalue()
    else:
        data = buf.getvalue()  # taken before close() writes the two end blocks
        assert data.rstrip(b"\0") and len(data) % BLOCK == 0
    return gzip.compress(data)


def two_gzip_members(data):
    """One tar cut at an odd place, each part a gzip stream of its own."""
    cut = len(data) // 2 + 77
    return gzip.compress(data[:cut]) + gzip.compress(data[cut:])


def zeros_bomb(size, name="bin/bomb"):
    """A gzip tar holding one file of size zero bytes, made without holding
    size bytes in memory."""
    header = ustar_header(name, size=size)
    z = zlib.compressobj(9, zlib.DEFLATED, 31)
    out = [z.compress(header)]
    chunk = bytes(1 << 20)
    left = size
    while left > 0:
        out.append(z.compress(chunk[:min(left, len(chunk))]))
        left -= len(chunk)
    out.append(z.compress(bytes(-size % BLOCK) + bytes(2 * BLOCK)))
    out.append(z.flush())
    return b"".join(out)


# --- tar by hand ------------------------------------------------------------

def octal(value, width):
    return (b"%0*o" % (width - 1, value)) + b"\0"


def ustar_header(name, size=0, type=b"0", mode=0o644, linkname=b"", uid=0, gid=0,
                 devmajor=0, devminor=0, sparse=b"", isextended=0, realsize=0, magic=None):
    """One 512-byte header. magic None: ustar; "gnu": old GNU (for type S,
    whose sparse map and real size sit where ustar keeps its prefix)."""
    if isinstance(name, str):
        name = name.encode()
    if isinstance(linkname, str):
        linkname = linkname.encode()
    assert len(name) <= 100 and len(linkname) <= 100
    h = bytearray(BLOCK)
    h[0:len(name)] = name
    h[100:108] = octal(mode, 8)
    h[108:116] = octal(uid, 8)
    h[116:124] = octal(gid, 8)
    h[124:136] = octal(size, 12)
    h[136:148] = octal(0, 12)
    h[156:157] = type
    h[157:157 + len(linkname)] = linkname
    if magic == "gnu":
        h[257:265] = b"ustar  \0"
        h[386:386 + len(sparse)] = sparse
        h[482] = isextended
        h[483:495] = octal(realsize, 12)
    else:
        h[257:265] = b"ustar\x0000"
        h[329:337] = octal(devmajor, 8)
        h[337:345] = octal(devminor, 8)
    h[148:156] = b" " * 8
    h[148:156] = b"%06o\0 " % sum(h)
    return bytes(h)


def padded(data):
    return data + bytes(-len(data) % BLOCK)


def member(name, data=b"", **kwargs):
    return ustar_header(name, size=len(data), **kwargs) + padded(data)


def pax_record(key, value, spacing=b" "):
    """One "LEN key=value\\n" record; spacing is what stands between LEN and key."""
    if isinstance(value, str):
        value = value.encode()
    body = spacing + key.encode() + b"=" + value + b"\n"
    length = len(body) + 1
    while len(str(length).encode() + body) != length:
        length += 1
    return str(length).encode() + body


def pax_header(records, type=b"x", name="PaxHeader/x"):
    return member(name, records, type=type)


def end():
    return bytes(2 * BLOCK)


def raw_gz(*parts):
    return gzip.compress(b"".join(parts))


def sparse_map(entries):
    return b"".join(octal(off, 12) + octal(n, 12) for off, n in entries)


# --- snapshots -------------------------------------------------------------

Entry = collections.namedtuple("Entry", "kind mode uid content ino")


def content_digest(path):
    """SHA-256 of a file's bytes, reading only its data parts: a hole and
    written zeros hash alike, and a file of 9 GiB of holes reads in no time."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        fd = f.fileno()
        size = os.fstat(fd).st_size
        pos = 0
        while pos < size:
            try:
                data = os.lseek(fd, pos, os.SEEK_DATA)
            except OSError:
                break  # only a hole is left
            data -= data % 4096
            hole = os.lseek(fd, data, os.SEEK_HOLE)
            os.lseek(fd, data, os.SEEK_SET)
            offset = data
            while offset < hole:
                block = os.read(fd, min(1 << 20, hole - offset))
                if not block:
                    break
                for i in range(0, len(block), 4096):
                    piece = block[i:i + 4096]
                    if piece.count(0) != len(piece):
                        h.update(b"%d:" % (offset + i))
                        h.update(piece)
                offset += len(block)
            pos = hole
    h.update(b"size:%d" % size)
    return h.hexdigest()


def snapshot(root, skip=(), with_times=False):
    """{relative path: Entry} for everything under root (root itself as "."),
    links not followed. skip: relative paths left out, with all below them."""
    entries = {}

    def add(full, rel):
        st = os.lstat(full)
        if stat.S_ISLNK(st.st_mode):
            kind, content = "link", os.readlink(full)
        elif stat.S_ISREG(st.st_mode):
            kind, content = "file", content_digest(full)
        elif stat.S_ISDIR(st.st_mode):
            kind, content = "dir", None
        else:
            kind, content = "special %o" % stat.S_IFMT(st.st_mode), st.st_rdev
        if with_times:
            content = (content, st.st_mtime_ns, st.st_ctime_ns, st.st_gid, st.st_nlink)
        entries[rel] = Entry(kind, stat.S_IMODE(st.st_mode), st.st_uid, content, st.st_ino)

    add(root, ".")
    for dirpath, dirnames, filenames in os.walk(root):
        keep = []
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, root)
            if rel in skip:
                continue
            add(full, rel)
            if name in dirnames and not os.path.islink(full):
                keep.append(name)
        dirnames[:] = keep
    return entries


def hard_link_groups(entries):
    """The sets of files that share an inode (only those with two or more names)."""
    by_ino = collections.defaultdict(set)
    for rel, e in entries.items():
        if e.kind == "file":
            by_ino[e.ino].add(rel)
    return {frozenset(names) for names in by_ino.values() if len(names) > 1}


def tar_extraction(archive_path, into, umask):
    """What GNU tar leaves from archive_path in the empty folder into, unpacking
    as an ordinary user would: owners not taken, modes less umask."""
    os.makedirs(into)
    subprocess.run(["tar", "-x", "-z", "-f", archive_path, "-C", into,
                    "--no-same-owner", "--no-same-permissions"],
                   check=True, umask=umask, stderr=subprocess.PIPE)
    return snapshot(into)
