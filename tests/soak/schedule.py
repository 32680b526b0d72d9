"""What the soak run publishes: version archives of 50 programs that end in
every way, and the faults the update server shows between versions."""
import json
import os

from update_archive import crc_file, crc_text, make_archive

ARCHIVE = "app.tar.gz"
CRC = ARCHIVE + ".crc"
PROGRAM = "soakprog"
MARKER = "bin/version"

# The program table: (entries, "run", shortest ms, longest ms, ends, flags).
# Ends: z exit 0, n exit 1-9, k SIGKILL, s SIGSEGV, picked per run; flag t
# ignores SIGTERM. The durations keep the restart queue at about half of
# what one restart per pause allows, so restarts are paced by the queue
# rather than always lagging behind.
MIX = [
    (8, 1, 200, 4000, "znks", ""),
    (8, 3, 500, 6000, "znks", ""),
    (8, 10, 1500, 9000, "znks", ""),
    (10, 0, 3000, 20000, "znks", ""),
    (8, 0, 3000, 40000, "znks", "t"),
    (8, 0, 60000, 300000, "z", ""),
]


def table():
    """[(entry number, starts allowed or 0 for no limit, param words)] of the mix."""
    rows = []
    for count, run, lo, hi, ends, flags in MIX:
        for _ in range(count):
            rows.append((len(rows), run, [str(lo), str(hi), ends] + ([flags] if flags else [])))
    return rows


def version_archive(label, program_bytes):
    """Archive of one version: the program list, the program and the marker."""
    entries = [{"path": PROGRAM, "param": " ".join([label, str(n)] + words), "run": run}
               for n, run, words in table()]
    return make_archive({
        "bin/config.json": json.dumps({"list": entries}).encode(),
        "bin/" + PROGRAM: (program_bytes, 0o755),
        MARKER: label.encode() + b"\n",
    })


# Faults: how the server is set up, and the supervisor's report that shows the
# fault reached it. Every fault publishes a version "bad<n>" that must never
# be installed, except stall-crc, which keeps the installed version published
# (a stall that began after its request was read would otherwise install it).
FAULTS = {
    "corrupt": ("archive behaves", "corrupt", "local_crc:"),
    "truncate": ("archive behaves", "truncate", "down file error!"),
    "reset": ("archive behaves", "reset", "down file error!"),
    "stall-archive": ("archive behaves", "stall 8", "down file error!"),
    "stall-crc": ("crc behaves", "stall 5", "down crc file error!"),
    "crc-not-json": ("crc text", b"<html><body>not json</body></html>\n", "json error! json:"),
    "not-tar": ("not a tar", b"this is no gzip-compressed tar\n" * 64, "archive refused, nothing installed!"),
}


class Phase:
    def __init__(self, kind, label, start, length):
        self.kind = kind          # "good" or a FAULTS key
        self.label = label        # version it publishes (good) or would install (fault)
        self.start = start        # monotonic time the server changed
        self.length = length
        self.archive = None       # bytes published as the archive
        self.installed = None     # when the marker first showed it (good)


class Publisher:
    """Changes what the server publishes, in an order that never lets a
    check see a faulty publication without its fault."""

    def __init__(self, server, program_bytes):
        self.server = server
        self.program_bytes = program_bytes

    def good(self, phase):
        phase.archive = version_archive(phase.label, self.program_bytes)
        self.server.publish(ARCHIVE, phase.archive)
        self.server.publish(CRC, crc_file(phase.archive))
        self.server.behave(ARCHIVE, None)
        self.server.behave(CRC, None)

    def fault(self, phase):
        how, what, _ = FAULTS[phase.kind]
        bad = version_archive(phase.label, self.program_bytes)
        if how == "archive behaves":
            self.server.behave(ARCHIVE, what)
            self.server.publish(ARCHIVE, bad)
            self.server.publish(CRC, crc_file(bad))
        elif how == "crc behaves":
            self.server.behave(CRC, what)
            return
        elif how == "crc text":
            self.server.publish(ARCHIVE, bad)
            self.server.publish(CRC, what)
        else:  # an archive that is no tar, published with its own CRC
            bad = what
            self.server.publish(ARCHIVE, bad)
            self.server.publish(CRC, crc_file(bad))
        phase.archive = bad


def expected_report(kind):
    return FAULTS[kind][2]


def fault_kinds():
    return sorted(FAULTS)


def crc_of(data):
    return crc_text(data)


def program_bytes(programs_dir):
    with open(os.path.join(programs_dir, PROGRAM), "rb") as f:
        return f.read()
