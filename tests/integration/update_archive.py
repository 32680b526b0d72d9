"""Update archives for the tests: gzip-compressed tars built in memory, and
the CRC text the update server publishes beside them."""
import io
import json
import os
import tarfile
import zlib

from conftest import PROGRAMS_DIR


def crc_text(data):
    return str(zlib.crc32(data) & 0xFFFFFFFF)


def crc_file(data):
    return json.dumps({"crc": crc_text(data)}).encode()


def make_archive(files):
    """files: {member name: bytes, or (bytes, mode)} -> .tar.gz bytes."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, content in files.items():
            data, mode = content if isinstance(content, tuple) else (content, 0o644)
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = mode
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def probe_bytes():
    with open(os.path.join(PROGRAMS_DIR, "probe"), "rb") as f:
        return f.read()


def version_archive(program, entries=None, extra=None):
    """An archive holding bin/<program> (the probe) and a bin/config.json that
    runs it, without limit unless entries says otherwise."""
    entries = entries or [{"path": program, "param": "", "run": 0}]
    files = {
        "bin/config.json": json.dumps({"list": entries}).encode(),
        "bin/" + program: (probe_bytes(), 0o755),
        "bin/%s.sleep" % program: b"600000",
    }
    files.update(extra or {})
    return make_archive(files)
