"""A scratch application directory with probe programs: writing the program
list, and reading what the probes and the supervisor recorded."""
import datetime
import json
import os
import shutil

from conftest import PROGRAMS_DIR


class Run:
    """One run of a probe, as the probe recorded it."""

    def __init__(self, line):
        fields = dict(part.split("=", 1) for part in line.split())
        self.pid = int(fields["pid"])
        self.ms = int(fields["ms"])
        self.args = [
            "" if a == "-" else bytes.fromhex(a).decode("utf-8", "replace")
            for a in fields["args"].split(",")
        ]
        self.fds = sorted(int(f) for f in fields.get("fds", "").split(",") if f)
        self.sigblk = int(fields.get("sigblk", "0"), 16)
        self.sigign = int(fields.get("sigign", "0"), 16)


class App:
    def __init__(self, root):
        self.root = str(root)
        self.bin = os.path.join(self.root, "bin")
        os.makedirs(self.bin, exist_ok=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def add_probe(self, name, sleep_ms=0, status=0, signal=0, ignore_term=False, orphan_ms=0):
        """Copies the probe program to bin/<name> and sets how its runs end."""
        dest = os.path.join(self.bin, name)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copy2(os.path.join(PROGRAMS_DIR, "probe"), dest)
        self.set_probe(name, sleep_ms=sleep_ms, status=status, signal=signal,
                       ignore_term=ignore_term, orphan_ms=orphan_ms)
        return dest

    def set_probe(self, name, sleep_ms=0, status=0, signal=0, ignore_term=False, orphan_ms=0):
        dest = os.path.join(self.bin, name)
        for suffix, value in (("sleep", sleep_ms), ("status", status), ("signal", signal),
                              ("orphan", orphan_ms)):
            side = dest + "." + suffix
            if value:
                with open(side, "w") as f:
                    f.write(str(value))
            elif os.path.exists(side):
                os.unlink(side)
        term = dest + ".ignoreterm"
        if ignore_term:
            open(term, "w").close()
        elif os.path.exists(term):
            os.unlink(term)

    def write_list(self, entries):
        """entries: dicts with "path", "param", "run" as they go into the file."""
        self.write_text("bin/config.json", json.dumps({"list": entries}))

    def write_text(self, relative, text):
        with open(self.path(relative), "w") as f:
            f.write(text)

    def runs(self, name):
        out = os.path.join(self.bin, name + ".out")
        if not os.path.exists(out):
            return []
        with open(out) as f:
            return [Run(line) for line in f if line.strip()]

    def orphans(self, name):
        """Process ids of the children the probe's runs left behind."""
        out = os.path.join(self.bin, name + ".orphans")
        if not os.path.exists(out):
            return []
        with open(out) as f:
            return [int(line) for line in f if line.strip()]

    def log_text(self):
        """Everything in today's (and yesterday's, around midnight) log file."""
        text = ""
        today = datetime.date.today()
        for day in (today - datetime.timedelta(days=1), today):
            name = "monitor[%d-%d-%d].log" % (day.year, day.month, day.day)
            p = self.path("Log", name)
            if os.path.exists(p):
                with open(p, errors="replace") as f:
                    text += f.read()
        return text
