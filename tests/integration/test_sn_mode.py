"""The sn mode for real: in a fresh network namespace holding veth interfaces with chosen
hardware addresses, `monitor sn` must print the address of the first suitable interface.

The kernel lists IPv4 addresses in interface order, so the interfaces that must be passed over
are created before the one that must be chosen. Needs root and `ip netns`; skipped otherwise."""
import itertools
import os
import shutil
import subprocess

import pytest

from conftest import build_path, wait_for

_serial = itertools.count()


def _run(argv):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=60)


class Namespace:
    def __init__(self, name):
        self.name = name
        self.carrier = {}  # interface name -> expected carrier ("0" or "1")

    def ip(self, *args):
        result = _run(["ip", "-n", self.name, *args])
        assert result.returncode == 0, f"ip {' '.join(args)}: {result.stderr}"

    def exec(self, *argv):
        return _run(["ip", "netns", "exec", self.name, *argv])

    def loopback(self, alias=None):
        """Brings lo up (which gives it 127.0.0.1), optionally with an alias address."""
        self.ip("link", "set", "lo", "up")
        if alias:
            self.ip("addr", "add", "127.0.0.2/8", "dev", "lo", "label", alias)

    def interface(self, name, mac, address=None, link=True):
        """A veth end named `name` with hardware address `mac`, up. Its peer is up only when
        `link` is wanted: a veth has carrier only while both ends are up."""
        peer = "p" + str(len(self.carrier))
        self.ip("link", "add", name, "type", "veth", "peer", "name", peer)
        self.ip("link", "set", name, "address", mac)
        if address:
            self.ip("addr", "add", address, "dev", name)
        self.ip("link", "set", name, "up")
        if link:
            self.ip("link", "set", peer, "up")
        self.carrier[name] = "1" if link else "0"

    def wait_for_carrier(self):
        def settled():
            for name, expected in self.carrier.items():
                out = self.exec("cat", f"/sys/class/net/{name}/carrier").stdout.strip()
                if out != expected:
                    return False
            return True
        wait_for(settled, timeout=20, interval=0.05, what="veth carrier states")

    def sn(self, *extra):
        self.wait_for_carrier()
        return self.exec(build_path("monitor"), "sn", *extra)


@pytest.fixture
def netns():
    if os.geteuid() != 0:
        pytest.skip("needs root to create a network namespace")
    if shutil.which("ip") is None:
        pytest.skip("the ip tool is not installed")
    name = f"sn-test-{os.getpid()}-{next(_serial)}"
    created = _run(["ip", "netns", "add", name])
    if created.returncode != 0:
        pytest.skip(f"cannot create a network namespace: {created.stderr.strip()}")
    try:
        probe = _run(["ip", "-n", name, "link", "add", "probe", "type", "veth",
                      "peer", "name", "probe-p"])
        if probe.returncode != 0:
            pytest.skip(f"cannot create veth interfaces: {probe.stderr.strip()}")
        _run(["ip", "-n", name, "link", "del", "probe"])
        yield Namespace(name)
    finally:
        _run(["ip", "netns", "delete", name])


def test_first_suitable_interface_is_chosen(netns):
    netns.loopback(alias="lo:1")  # lo by name; lo:1 by its all-zero address
    netns.interface("nolink0", "02:00:00:00:00:01", "10.1.1.1/24", link=False)
    netns.interface("brx", "02:00:00:00:00:02", "10.1.2.1/24")
    netns.interface("Docker1", "02:00:00:00:00:03", "10.1.3.1/24")
    netns.interface("noaddr0", "02:00:00:00:00:04")  # not listed: no IPv4 address
    netns.interface("good0", "00:1A:2B:3C:4D:5E", "10.1.4.1/24")
    netns.interface("late0", "02:00:00:00:00:06", "10.1.5.1/24")

    for extra in ([], ["extra", "args"]):
        result = netns.sn(*extra)
        assert (result.returncode, result.stdout) == (0, "001a2b3c4d5e\n"), \
            f"sn {extra}: {result.stderr}"


def test_no_suitable_interface_gives_zeros(netns):
    netns.loopback()
    netns.interface("brx", "02:00:00:00:00:02", "10.1.2.1/24")
    netns.interface("nolink0", "02:00:00:00:00:01", "10.1.1.1/24", link=False)

    result = netns.sn()
    assert (result.returncode, result.stdout) == (0, "000000000000\n"), result.stderr
