"""Signed updates end to end: keys and signatures made by the real minisign,
a loopback HTTP server publishing releases, and monitor-fast checking every
period with a public_key in its update settings."""
import json
import os
import subprocess

import pytest

from conftest import wait_for
from supervised_app import App
from test_updates import alive, fetched, install_locally, start
from update_archive import crc_file, version_archive

REFUSED = "signature refused, nothing installed! "


class KeyPair:
    """A passwordless minisign key pair in a folder of its own."""

    def __init__(self, folder):
        os.makedirs(folder)
        self.folder = str(folder)
        self.secret = os.path.join(self.folder, "key")
        self.public = os.path.join(self.folder, "key.pub")
        subprocess.run(["minisign", "-G", "-W", "-p", self.public, "-s", self.secret],
                       check=True, capture_output=True, timeout=30)
        with open(self.public) as f:
            self.pub_text = f.read()
        self.key_line = self.pub_text.splitlines()[1]

    def sign(self, data, comment=None, legacy=False):
        """The .minisig bytes of data; comment replaces the default trusted
        comment (which holds the time of signing)."""
        path = os.path.join(self.folder, "app.tar.gz")
        with open(path, "wb") as f:
            f.write(data)
        argv = ["minisign", "-S", "-s", self.secret, "-m", path, "-x", path + ".minisig"]
        if comment is not None:
            argv += ["-t", comment]
        if legacy:
            argv.append("-l")
        subprocess.run(argv, check=True, capture_output=True, timeout=60)
        with open(path + ".minisig", "rb") as f:
            return f.read()

    def tool_accepts(self, data, sig):
        """Whether minisign -V takes sig as this key's signature of data."""
        path = os.path.join(self.folder, "checked")
        with open(path, "wb") as f:
            f.write(data)
        with open(path + ".minisig", "wb") as f:
            f.write(sig)
        return subprocess.run(["minisign", "-V", "-q", "-p", self.public, "-m", path],
                              capture_output=True, timeout=60).returncode == 0


@pytest.fixture
def key(tmp_path):
    return KeyPair(tmp_path / "key a")


def settings(server, public_key):
    values = {"url": server.url("/app.tar.gz")}
    if public_key is not None:
        values["public_key"] = public_key
    return json.dumps(values)


@pytest.fixture
def app(app_dir, server, key):
    app = App(app_dir)
    app.write_text("config.json", settings(server, key.key_line))
    return app


def publish(server, archive, sig=None, crc=None):
    server.publish("app.tar.gz", archive)
    if sig is not None:
        server.publish("app.tar.gz.minisig", sig)
    server.publish("app.tar.gz.crc", crc if crc is not None else crc_file(archive))


def refusals(app):
    return app.log_text().count(REFUSED)


def installed(app):
    with open(app.path("update.gz"), "rb") as f:
        return f.read()


RELEASES = [  # program, legacy form, the signature file as served
    ("v2", False, lambda sig: sig),
    ("v3", True, lambda sig: sig),
    # Trimmed by a pipeline or an upload: without the last line break.
    ("v4", False, lambda sig: sig[:-1]),
    ("v5", False, lambda sig: sig.replace(b"\n", b"\r\n")[:-2]),
]


def test_signed_release_installs_and_its_signature_is_kept(app, server, key, processes):
    v1 = version_archive("v1")
    install_locally(app, v1)
    start(processes, app)
    old = wait_for(lambda: app.runs("v1"), what="version 1 running")[0]
    key_id = key.pub_text.splitlines()[0].split()[-1]
    assert "updates must be signed by key %s" % key_id in app.log_text()

    for program, legacy, served in RELEASES:
        archive = version_archive(program)
        sig = served(key.sign(archive, legacy=legacy))
        assert key.tool_accepts(archive, sig), program
        publish(server, archive, sig)
        wait_for(lambda: app.runs(program), timeout=20, what=program + " running")
        assert installed(app) == archive
        with open(app.path("update.gz.minisig"), "rb") as f:
            assert f.read() == sig
    assert not alive(old.pid)
    assert REFUSED not in app.log_text()
    assert fetched(server, "app.tar.gz.minisig")


def _no_signature(app, server, key, other, archive):
    publish(server, archive)


def _other_key(app, server, key, other, archive):
    publish(server, archive, other.sign(archive))


def _byte_changed(app, server, key, other, archive):
    sig = key.sign(archive)
    changed = bytearray(archive)
    changed[len(changed) // 2] ^= 0x01
    publish(server, bytes(changed), sig)  # with its CRC file to match


def _comment_changed(app, server, key, other, archive):
    sig = key.sign(archive, comment="timestamp:1700000000\tfile:app.tar.gz")
    publish(server, archive, sig.replace(b"timestamp:1700000000", b"timestamp:1900000000"))


def _truncated(app, server, key, other, archive):
    sig = key.sign(archive)
    publish(server, archive, sig[:len(sig) * 2 // 3])


def _no_timestamp(app, server, key, other, archive):
    publish(server, archive, key.sign(archive, comment="release 2"))


def _garbage_key(app, server, key, other, archive):
    app.write_text("config.json", settings(server, "RWQ this is no key"))
    publish(server, archive, key.sign(archive))


REFUSALS = [  # name, how the release is published, the reason, whether the archive is fetched
    ("no signature file", _no_signature, "not a signature file: ", True),
    ("another key", _other_key, "signed by another key (key id ", True),
    ("archive byte changed", _byte_changed, "the signature does not match the archive", True),
    ("trusted comment changed", _comment_changed,
     "the trusted comment does not match its signature", True),
    ("truncated signature file", _truncated, "not a signature file: ", True),
    ("no timestamp", _no_timestamp, "no timestamp in the trusted comment", True),
    # Refused at every check, before any transfer.
    ("garbage public_key", _garbage_key, "public_key is not a valid key: ", False),
]


@pytest.mark.parametrize("make,why,downloads", [c[1:] for c in REFUSALS],
                         ids=[c[0] for c in REFUSALS])
def test_refused_release_stops_nothing(app, server, key, tmp_path, processes, make, why,
                                       downloads):
    v1 = version_archive("v1")
    install_locally(app, v1)
    make(app, server, key, KeyPair(tmp_path / "key b"), version_archive("v2"))
    start(processes, app)
    url = server.url("/app.tar.gz")
    wait_for(lambda: REFUSED + why in app.log_text(), timeout=20, what="the refusal")
    old = wait_for(lambda: app.runs("v1"), what="version 1 running")[0]
    # A check while version 1 runs refuses too.
    seen = refusals(app)
    wait_for(lambda: refusals(app) > seen, timeout=20, what="the next check refusing too")
    assert "url:" + url in app.log_text().split(REFUSED + why)[1].split("\n")[0]
    assert alive(old.pid) and len(app.runs("v1")) == 1
    assert app.runs("v2") == [] and not os.path.exists(app.path("bin", "v2"))
    assert installed(app) == v1
    assert not os.path.exists(app.path("update.gz.part"))
    assert not os.path.exists(app.path("update.gz.minisig"))
    assert bool(fetched(server, "app.tar.gz")) == downloads


def test_older_release_after_a_newer_one_is_refused(app, server, key, processes):
    v1 = version_archive("v1")
    install_locally(app, v1)
    v2 = version_archive("v2")
    publish(server, v2, key.sign(v2, comment="timestamp:1800000000\tfile:app.tar.gz"))
    start(processes, app)
    new = wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 running")[0]

    # The release before it, validly signed by the same key.
    publish(server, v1, key.sign(v1, comment="timestamp:1799999999\tfile:app.tar.gz"))
    wait_for(lambda: REFUSED + "older than the installed release" in app.log_text(), timeout=20,
             what="the refusal")
    seen = refusals(app)
    wait_for(lambda: refusals(app) > seen, timeout=20, what="the next check refusing too")
    assert alive(new.pid) and len(app.runs("v2")) == 1
    assert installed(app) == v2

    # A release signed at the same second is not older.
    v3 = version_archive("v3")
    publish(server, v3, key.sign(v3, comment="timestamp:1800000000\tfile:app.tar.gz"))
    wait_for(lambda: app.runs("v3"), timeout=20, what="version 3 running")


def test_key_change_through_a_release_signed_by_the_old_key(app, server, key, tmp_path,
                                                           processes):
    new_key = KeyPair(tmp_path / "key b")
    start(processes, app)
    # The last release of the old key installs settings that name the new key.
    v1 = version_archive("v1", extra={"config.json": settings(server, new_key.key_line).encode()})
    publish(server, v1, key.sign(v1))
    wait_for(lambda: app.runs("v1"), timeout=20, what="version 1 running")
    v2 = version_archive("v2")
    publish(server, v2, new_key.sign(v2))
    wait_for(lambda: app.runs("v2"), timeout=20, what="version 2, signed by the new key, running")


def test_settings_without_a_key_install_unsigned_releases(app_dir, server, processes):
    app = App(app_dir)
    app.write_text("config.json", settings(server, None))
    install_locally(app, version_archive("v1"))
    publish(server, version_archive("v2"))
    start(processes, app)
    wait_for(lambda: app.runs("v2"), timeout=20, what="version 2 running")
    assert "updates are not signed: no public_key in %s" % app.path("config.json") \
        in app.log_text()
    assert fetched(server, "app.tar.gz.minisig") == []
    assert not os.path.exists(app.path("update.gz.minisig"))


def test_a_signature_that_cannot_be_kept_leaves_the_old_release_installed(app, server, key,
                                                                           processes):
    v1 = version_archive("v1")
    install_locally(app, v1)
    v1_sig = key.sign(v1)
    with open(app.path("update.gz.minisig"), "wb") as f:
        f.write(v1_sig)
    publish(server, v1, v1_sig)
    # Nothing can be written at the signature's temporary name.
    blocker = app.path("update.gz.minisig.tmp")
    os.makedirs(os.path.join(blocker, "inside"))
    start(processes, app)
    first = wait_for(lambda: app.runs("v1"), what="version 1 running")[0]
    v2 = version_archive("v2")
    v2_sig = key.sign(v2)
    publish(server, v2, v2_sig)
    wait_for(lambda: "installation not finished, the previous release stays! signature not kept"
             in app.log_text(), timeout=20, what="the signature's failure")
    # The whole previous release is back, update.gz and its signature with it
    # (an update.gz beside an older signature could be replayed), and the
    # verified download waits.
    wait_for(lambda: len(app.runs("v1")) == 2, what="version 1 started again")
    assert not alive(first.pid)
    assert app.runs("v2") == [] and not os.path.exists(app.path("bin", "v2"))
    assert installed(app) == v1
    with open(app.path("update.gz.minisig"), "rb") as f:
        assert f.read() == v1_sig
    with open(app.path("update.gz.part"), "rb") as f:
        assert f.read() == v2
    assert os.path.exists(app.path("update.gz.part.json"))
    assert not os.path.exists(app.path("update.previous"))
    archive_fetches = len(fetched(server, "app.tar.gz"))

    os.rmdir(os.path.join(blocker, "inside"))
    os.rmdir(blocker)
    wait_for(lambda: installed(app) == v2, timeout=20, what="the installation finished")
    with open(app.path("update.gz.minisig"), "rb") as f:
        assert f.read() == v2_sig
    assert len(fetched(server, "app.tar.gz")) == archive_fetches  # the kept download was used
    wait_for(lambda: app.runs("v2"), what="version 2 running")
    assert not os.path.exists(app.path("update.gz.part"))
