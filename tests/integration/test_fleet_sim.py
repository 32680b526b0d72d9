"""scripts/fleet-sim.sh in its short form: five hosts with identities of
their own, a node exporter each and a real Prometheus server. What the
script prints from Prometheus is held against the README's rule, computed
here from the machine ids it prints."""
import hashlib
import os
import shutil
import signal
import subprocess

import pytest

from conftest import BUILD_DIR, private_mounts

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "fleet-sim.sh")
HOSTS = 5

pytestmark = [
    pytest.mark.skipif(not private_mounts(), reason="needs root and private mount namespaces"),
    pytest.mark.skipif(not (shutil.which("prometheus") and shutil.which("prometheus-node-exporter")),
                       reason="needs prometheus and prometheus-node-exporter"),
]


def place(identity, crc):
    digest = hashlib.sha256(("%s:%s" % (identity, crc)).encode()).digest()
    return int.from_bytes(digest[:8], "big") / 2**64 * 100


def after(lines, prefix, start=0):
    """The rest of the first line from start on that begins with prefix."""
    for line in lines[start:]:
        if line.startswith(prefix):
            return line[len(prefix):]
    raise AssertionError("no line %r in:\n%s" % (prefix, "\n".join(lines)))


def step(lines, title):
    return next(n for n, line in enumerate(lines) if line.startswith(title))


def test_phased_rollout_and_rollback_across_a_fleet(processes):
    proc = processes.start([SCRIPT, "--hosts", str(HOSTS), "--build", BUILD_DIR],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        out, _ = proc.communicate(timeout=400)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGTERM)  # the script ends what it started
        out, _ = proc.communicate(timeout=60)
        raise AssertionError("fleet-sim did not finish:\n" + out)
    assert proc.returncode == 0, out
    lines = out.splitlines()
    ids = {}
    for line in lines:
        if line.startswith("host "):
            _, name, _, machine_id = line.split()
            ids[name] = machine_id
    assert len(ids) == HOSTS and len(set(ids.values())) == HOSTS
    releases = dict(p.split() for p in after(lines, "releases: ").split(", "))
    good, bad = releases["good"], releases["bad"]

    def hosts(crc, share):
        return sorted((n for n, i in ids.items() if place(i, crc) < share), key=lambda n: int(n[1:]))

    # After 25 %: exactly the hosts the rule names run the good release.
    at25 = step(lines, "step 2:")
    assert hosts(good, 25) and len(hosts(good, 25)) < HOSTS  # the script picked such ids
    assert after(lines, "on the good release: ", at25).split() == hosts(good, 25)
    assert after(lines, "not reached: ", at25).split() == [
        n for n in sorted(ids, key=lambda n: int(n[1:])) if n not in hosts(good, 25)]
    # After 100 %: every host.
    at100 = step(lines, "step 3:")
    assert lines[at100 + 2].split() == [good, "good", str(HOSTS), "hosts"]

    # The failing release at 10 %: rolled back on every host it reached, on
    # no other, and every host runs the good release again.
    at10 = step(lines, "step 4:")
    assert hosts(bad, 10)
    assert after(lines, "rolled back (monitor_update_rollbacks_total > 0): ", at10).split() == \
        hosts(bad, 10)
    assert after(lines, "rejecting it: ", at10).split() == hosts(bad, 10)
    assert after(lines, "rollbacks in all: ", at10) == str(len(hosts(bad, 10)))
    assert lines[at10 + 3].split() == [good, "good", str(HOSTS), "hosts"]
    assert lines[at10 + 4].startswith("rolled back")  # no other version left
    assert lines[-1] == "fleet-sim: done"
