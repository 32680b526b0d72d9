"""`monitor crc <file>`: the CRC line, then the bare decimal CRC, status 0,
for readable files and for every kind of file that cannot be read."""
import os
import random
import subprocess
import zlib

import pytest

from conftest import build_path

ZERO = "qm crc:0\n0"


def expected_for(value):
    return "qm crc:%d\n%d" % (value, value)


def make_file(content):
    def make(tmp_path):
        path = tmp_path / "file"
        path.write_bytes(content)
        return path
    return make


def make_missing(tmp_path):
    return tmp_path / "missing"


def make_directory(tmp_path):
    path = tmp_path / "dir"
    path.mkdir()
    (path / "inside").write_bytes(b"123456789")
    return path


def make_fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return path


def make_unreadable(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("running as root: file permissions do not stop reading")
    path = make_file(b"123456789")(tmp_path)
    path.chmod(0)
    return path


LARGE = random.Random(11).randbytes(3 * 1024 * 1024 + 17)

CASES = [
    ("check value", make_file(b"123456789"), "qm crc:3421780262\n3421780262"),
    ("value with a high bit", make_file(b"a"), expected_for(0xE8B7BE43)),
    ("several read blocks", make_file(LARGE), expected_for(zlib.crc32(LARGE))),
    ("missing", make_missing, ZERO),
    ("empty", make_file(b""), ZERO),
    ("unreadable", make_unreadable, ZERO),
    ("directory", make_directory, ZERO),
    ("fifo without writer", make_fifo, ZERO),
]


@pytest.mark.parametrize("make,expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_crc_mode(tmp_path, make, expected):
    path = make(tmp_path)
    result = subprocess.run([build_path("monitor"), "crc", str(path)], cwd=tmp_path,
                            capture_output=True, timeout=20)
    assert result.returncode == 0
    assert result.stdout.decode() == expected
    assert result.stderr == b""
