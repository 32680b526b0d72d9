"""Phased rollouts end to end: supervisors with identities of their own,
each in a private mount namespace with its own /etc/machine-id, all in one
network namespace that has no interface of its own (so the serial number is
all zeros) and the test's HTTP server on its loopback. One more namespace
gives a host a network interface, whose address is then its identity."""
import hashlib
import json
import os
import subprocess

import pytest

from conftest import alive, private_mounts, wait_for
from http_server import HttpServer
from installs import ARCHIVE, make_app_dir, read_file, read_status
from supervised_app import App
from update_archive import crc_text, version_archive

pytestmark = pytest.mark.skipif(not private_mounts(),
                                reason="needs root and private mount namespaces")

NOT_REACHED = "release not yet rolled out to this host! "

# The server's namespace: loopback up, then the server. A host's interface,
# when asked for: a veth pair with a fixed address, up, with an IPv4 address
# of the loopback range that no traffic is sent to.
SERVE = 'ip link set lo up && exec "$@"'
SERVE_WITH_INTERFACE = ('ip link set lo up && ip link add v0 address %s type veth peer name v1 '
                        '&& ip addr add 127.0.0.2/32 dev v0 && ip link set v0 up '
                        '&& ip link set v1 up && exec "$@"')
# A host: its own /etc/machine-id, then the supervisor.
HOST = 'mount --bind "$1" /etc/machine-id && exec "$2"'


def place(identity, crc):
    """The README's rule: the first 8 bytes of SHA-256 of "<identity>:<crc>",
    big-endian, over 2^64, times 100; 0 without an identity."""
    if not identity:
        return 0.0
    digest = hashlib.sha256(("%s:%s" % (identity, crc)).encode()).digest()
    return int.from_bytes(digest[:8], "big") / 2**64 * 100


def crc_reply(archive, share=None):
    reply = {"crc": crc_text(archive)}
    if share is not None:
        reply["rollout"] = share
    return json.dumps(reply).encode()


def namespace_server(root, script=SERVE):
    return HttpServer(root, wrap=["unshare", "--net", "--", "sh", "-c", script, "sh"])


@pytest.fixture
def ns_server(tmp_path):
    root = tmp_path / "www"
    root.mkdir()
    with namespace_server(root) as srv:
        yield srv


class Host:
    """One supervisor in the server's network namespace with its own machine id."""

    def __init__(self, tmp_path, name, server, machine_id):
        self.machine_id = machine_id
        self.app = App(make_app_dir(str(tmp_path / name), server.url(ARCHIVE)))
        self.app.write_list([])
        self.id_file = str(tmp_path / (name + ".machine-id"))
        with open(self.id_file, "w") as f:
            f.write(machine_id + "\n" if machine_id else "")
        self.server = server

    def start(self, processes):
        argv = ["nsenter", "--net=/proc/%d/ns/net" % self.server.proc.pid, "--",
                "unshare", "--mount", "--propagation", "private", "--",
                "sh", "-c", HOST, "sh", self.id_file, self.app.path("monitor")]
        self.proc = processes.start(argv, cwd=self.app.root)
        return self

    def last_check(self):
        status = read_status(self.app)
        return status["update"]["last"] if status else None

    def next_check(self, before):
        """Waits for a check record other than before; the status then."""
        def ended():
            assert alive(self.proc.pid), "supervisor ended"
            check = self.last_check()
            return check is not None and check != before
        wait_for(ended, timeout=30, what="the next check")
        return read_status(self.app)

    def checks_after(self, count):
        """The status once count more checks have ended."""
        status = read_status(self.app)
        for _ in range(count):
            status = self.next_check(status["update"]["last"] if status else None)
        return status

    def installed(self, archive):
        return (read_file(self.app.path("update.gz")) == archive
                and not os.path.lexists(self.app.path("update.staging")))


def publish(server, archive, share=None):
    server.publish(ARCHIVE, archive)
    server.publish(ARCHIVE + ".crc", crc_reply(archive, share))


def test_share_below_the_place_waits_then_raising_it_installs(tmp_path, ns_server, processes):
    host = Host(tmp_path, "h", ns_server, "3d1219c7c4c5404aaa1f6d2a48adfda4")
    archive = version_archive("v1")
    crc = crc_text(archive)
    p = place(host.machine_id, crc)
    # A share equal to the place does not reach it: the host takes a release
    # only below its share.
    publish(ns_server, archive, share=p)
    host.start(processes)
    status = host.checks_after(3)
    assert read_file(host.app.path("update.gz")) is None
    assert not os.path.exists(host.app.path("update.gz.part"))
    assert ns_server.requests() and all(r.path.endswith(".crc") for r in ns_server.requests())
    assert status["update"]["last"]["result"] == 0
    assert status["update"]["rollout"] == {"place": p, "share": p}
    text = host.app.log_text()
    assert text.count(NOT_REACHED) == 1, text
    told = text[text.index(NOT_REACHED):].split("\n")[0].split()
    assert told[-3:] == ["crc:" + crc, "place:%.6f" % p, "rollout:" + told[-1][8:]]
    assert float(told[-1][len("rollout:"):]) == p

    # Raising the share reaches it.
    publish(ns_server, archive, share=min(100, p + 0.01))
    wait_for(lambda: host.installed(archive), timeout=30, what="the installation")
    wait_for(lambda: read_status(host.app)["update"]["rollout"] is None, timeout=30,
             what="a current check")
    # A host that runs the release keeps it, whatever the share says later.
    publish(ns_server, archive, share=0)
    status = host.checks_after(2)
    assert status["update"]["last"]["result"] == 0
    assert status["update"]["rollout"] is None
    assert status["version"] == crc
    assert host.app.log_text().count(NOT_REACHED) == 1


def test_share_zero_holds_even_the_first_host(tmp_path, ns_server, processes):
    # Without an identity the place is 0: among the first hosts of every
    # release, and still held by a share of 0.
    host = Host(tmp_path, "h", ns_server, "")
    v1 = version_archive("v1")
    publish(ns_server, v1, share=0)
    metrics = str(tmp_path / "metrics" / "monitor.prom")
    os.makedirs(os.path.dirname(metrics), mode=0o755)
    host.app.write_text("config.json", json.dumps({"url": ns_server.url(ARCHIVE),
                                                    "metrics_file": metrics}))
    host.start(processes)
    status = host.checks_after(2)
    assert read_file(host.app.path("update.gz")) is None
    assert status["update"]["rollout"] == {"place": 0, "share": 0}
    assert ("%scrc:%s place:0.000000 rollout:0" % (NOT_REACHED, crc_text(v1))
            in host.app.log_text())
    with open(metrics) as f:
        lines = f.read().splitlines()
    assert "monitor_update_rollout_place 0" in lines
    assert "monitor_update_rollout_share 0" in lines

    # The smallest share reaches place 0.
    publish(ns_server, v1, share=1e-9)
    wait_for(lambda: host.installed(v1), timeout=30, what="the installation")
    assert host.app.log_text().count(NOT_REACHED) == 1


def test_bad_share_installs_nothing(tmp_path, ns_server, processes):
    host = Host(tmp_path, "h", ns_server, "3d1219c7c4c5404aaa1f6d2a48adfda4")
    archive = version_archive("v1")
    ns_server.publish(ARCHIVE, archive)
    ns_server.publish(ARCHIVE + ".crc", crc_reply(archive, "100"))
    host.start(processes)
    status = host.checks_after(2)
    assert status["update"]["last"]["word"] == "crc mismatch"
    assert "json error!" in host.app.log_text()
    assert read_file(host.app.path("update.gz")) is None


def test_a_rejected_release_stays_rejected_whatever_the_share(tmp_path, ns_server, processes):
    host = Host(tmp_path, "h", ns_server, "3d1219c7c4c5404aaa1f6d2a48adfda4")
    archive = version_archive("v1")
    crc = crc_text(archive)
    host.app.write_text("update.rejected", json.dumps({"crc": crc, "time": 1, "why": "test"}))
    publish(ns_server, archive, share=0)
    host.start(processes)
    status = host.checks_after(2)
    assert status["update"]["last"]["result"] == -7
    assert status["update"]["rollout"] is None
    assert NOT_REACHED not in host.app.log_text()


def test_same_share_reaches_exactly_the_hosts_placed_below_it(tmp_path, ns_server, processes):
    archive = version_archive("v1")
    crc = crc_text(archive)
    share = 50
    ids = ["%032x" % (0x5eed0000 + i) for i in range(6)]
    below = [place(i, crc) < share for i in ids]
    # Both kinds among the hosts, or the test shows nothing.
    assert any(below) and not all(below), [place(i, crc) for i in ids]
    publish(ns_server, archive, share=share)
    hosts = [Host(tmp_path, "h%d" % n, ns_server, i).start(processes)
             for n, i in enumerate(ids)]
    for host, reached in zip(hosts, below):
        if reached:
            wait_for(lambda: host.installed(archive), timeout=30, what="an installation")
        else:
            status = host.checks_after(2)
            assert read_file(host.app.path("update.gz")) is None, host.machine_id
            assert status["update"]["rollout"]["place"] == place(host.machine_id, crc)
    for host, reached in zip(hosts, below):
        if not reached:
            assert read_file(host.app.path("update.gz")) is None, host.machine_id


def test_the_serial_number_comes_before_the_machine_id(tmp_path, processes):
    mac, serial = "02:00:00:00:00:aa", "0200000000aa"
    machine_id = "3d1219c7c4c5404aaa1f6d2a48adfda4"
    archive = version_archive("v1")
    crc = crc_text(archive)
    by_serial, by_machine_id = place(serial, crc), place(machine_id, crc)
    root = tmp_path / "www"
    root.mkdir()
    with namespace_server(root, SERVE_WITH_INTERFACE % mac) as srv:
        # What the sn mode prints in that namespace is the identity.
        sn = subprocess.run(["nsenter", "--net=/proc/%d/ns/net" % srv.proc.pid, "--",
                             make_app_dir(str(tmp_path / "sn"), "x") + "/monitor", "sn"],
                            capture_output=True, text=True, timeout=30)
        assert sn.stdout == serial + "\n"
        # A share between the two places: the host installs only by its serial.
        share = (by_serial + by_machine_id) / 2
        publish(srv, archive, share=share)
        host = Host(tmp_path, "h", srv, machine_id).start(processes)
        if by_serial < by_machine_id:
            wait_for(lambda: host.installed(archive), timeout=30, what="the installation")
        else:
            status = host.checks_after(2)
            assert status["update"]["rollout"] == {"place": by_serial, "share": share}
            assert read_file(host.app.path("update.gz")) is None
        processes.end_all()
