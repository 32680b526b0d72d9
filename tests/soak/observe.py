"""What the soak run watches while the supervisor runs: its console, read
line by line with the time each line arrived, and its process as /proc shows
it, sampled several times a second."""
import os
import threading
import time

SCAN_S = 0.2          # children (zombies, duplicate instances) are looked at this often
FIGURES_EVERY = 5     # descriptors, memory and threads every fifth scan: once a second


class Console(threading.Thread):
    """Reads the supervisor's standard output (its console: "kill process"
    lines, tar's listing, and the coloured log records) into a file, keeping
    every line with the monotonic time it was read."""

    def __init__(self, stream, path):
        super().__init__(daemon=True)
        self.stream = stream
        self.path = path
        self.lines = []   # (time, text)
        self.lock = threading.Lock()

    def run(self):
        with open(self.path, "w", encoding="utf-8") as out:
            for raw in iter(self.stream.readline, b""):
                text = raw.decode("utf-8", "replace").rstrip("\n")
                now = time.monotonic()
                with self.lock:
                    self.lines.append((now, text))
                out.write("%.3f %s\n" % (now, text))
                out.flush()

    def snapshot(self):
        with self.lock:
            return list(self.lines)


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return None


def proc_stat(pid):
    """(state, ppid, start time in ticks) of a process, or None when it is gone."""
    text = read_text("/proc/%d/stat" % pid)
    if not text:
        return None
    fields = text[text.rfind(")") + 2:].split()
    return fields[0], int(fields[1]), int(fields[19])


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return [a.decode("utf-8", "replace") for a in f.read().split(b"\0")[:-1]]
    except OSError:
        return []


def children(pid):
    """Process ids of the children of pid (every thread's), from /proc."""
    found = set()
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return found
    for tid in tids:
        text = read_text("/proc/%d/task/%s/children" % (pid, tid))
        if text:
            found.update(int(p) for p in text.split())
    return found


def status_kb(pid, key):
    text = read_text("/proc/%d/status" % pid) or ""
    for line in text.splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return None


def count_dir(path):
    try:
        return len(os.listdir(path))
    except OSError:
        return None


class Figure:
    def __init__(self, t, fds, rss_kb, threads, live, zombies):
        self.t, self.fds, self.rss_kb, self.threads = t, fds, rss_kb, threads
        self.live, self.zombies = live, zombies


class Sampler(threading.Thread):
    """Samples the supervisor process until stopped.

    zombies: {(pid, start ticks): [first seen, last seen]} for children in
    state Z. pairs: {(entry, pid a, pid b): [first seen, last seen]} for two
    live children running the same program entry (any version) at once.
    figures: a Figure once a second. died: the time the supervisor was first
    seen gone or a zombie, or None. markers: (time, text of the marker file)
    at every change."""

    def __init__(self, pid, program_suffix, marker_path):
        super().__init__(daemon=True)
        self.pid = pid
        self.program_suffix = program_suffix
        self.marker_path = marker_path
        self.stop_event = threading.Event()
        self.zombies = {}
        self.pairs = {}
        self.figures = []
        self.markers = []
        self.died = None
        self.scans = 0
        self.argv_cache = {}
        self.lock = threading.Lock()

    def stop(self):
        self.stop_event.set()
        self.join()

    def run(self):
        while not self.stop_event.is_set():
            started = time.monotonic()
            self.scan(started)
            self.stop_event.wait(max(0.0, SCAN_S - (time.monotonic() - started)))

    def entry_of(self, pid, ticks):
        """The entry number a child runs, or None when it is no soak program."""
        key = (pid, ticks)
        if key not in self.argv_cache:
            argv = cmdline(pid)
            # Only after exec: a child between fork and exec still shows the supervisor.
            if not argv:
                return None
            self.argv_cache[key] = (argv[2] if len(argv) > 2 and
                                    argv[0].endswith(self.program_suffix) else None)
        return self.argv_cache[key]

    def scan(self, now):
        own = proc_stat(self.pid)
        if own is None or own[0] in ("Z", "X"):
            if self.died is None:
                self.died = now
            return
        live, zombies = {}, 0
        for child in children(self.pid):
            stat = proc_stat(child)
            if stat is None or stat[1] != self.pid:
                continue
            state, _, ticks = stat
            if state in ("Z", "X"):
                zombies += 1
                with self.lock:
                    self.zombies.setdefault((child, ticks), [now, now])[1] = now
                continue
            entry = self.entry_of(child, ticks)
            if entry is not None:
                live.setdefault(entry, []).append(child)
        with self.lock:
            for entry, pids in live.items():
                pids.sort()
                for i, a in enumerate(pids):
                    for b in pids[i + 1:]:
                        self.pairs.setdefault((entry, a, b), [now, now])[1] = now
        self.scans += 1
        if self.scans % FIGURES_EVERY == 1:
            fig = Figure(now, count_dir("/proc/%d/fd" % self.pid), status_kb(self.pid, "VmRSS"),
                         count_dir("/proc/%d/task" % self.pid),
                         sum(len(p) for p in live.values()), zombies)
            marker = (read_text(self.marker_path) or "").strip()
            with self.lock:
                self.figures.append(fig)
                if not self.markers or self.markers[-1][1] != marker:
                    self.markers.append((now, marker))
            if len(self.argv_cache) > 20000:
                self.argv_cache.clear()

    def snapshot(self):
        with self.lock:
            return (dict(self.zombies), dict(self.pairs), list(self.figures),
                    list(self.markers), self.died)


def fd_targets(pid):
    """What each open descriptor of pid refers to, for the record."""
    result = {}
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                result[int(fd)] = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                pass
    except OSError:
        pass
    return result
