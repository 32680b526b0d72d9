"""The soak run's figures and the invariants they must keep.

Terms: a *run* is one start of a program entry, as the program recorded it
(an S line, and an E line when it ended itself). A *generation* is one
installed version: the table that ReadConfig built from its program list,
from its first start (LoadProcessList) until the console shows the next
installation's "cmd:" line, after which its programs are being stopped.

Invariants (each a row of the table):

- The supervisor never dies (sampled five times a second).
- Installations: every good version published is installed exactly once, in
  the order published; no version of a faulty publication is ever installed
  (no run, no marker file shows it); every fault reached the supervisor (its
  report came while the fault was published, or within a grace after); at
  the end the local archive copy and the marker are the last good version's
  and no partial download is left.
- Programs are stopped only by installations: every "kill process" and every
  "process did not end" line follows a "cmd:" line within INSTALL_S.
- Start counts, per generation and entry: never more runs than "run" allows.
- Restarts, per generation, for every run that ended itself while its entry
  had starts left: the next run of that entry starts no earlier than one
  pause after the end (the pause comes first), and no later than the
  deadline that one restart per pause allows. The deadline comes from a
  first-in, first-out queue of the generation's ends, each served in one
  pause plus SERVICE_OVERHEAD_S (Lindley's recursion d = max(arrival,
  previous d) + service): the ends of exhausted entries cost their pause too,
  but nothing that ended before the installation may delay the new table's
  restarts. A slack of two pauses and SLACK_EXTRA_S covers the pass in
  progress at the installation and scheduling delays. A run whose deadline falls
  after its generation ended is waived: the installation intervened. A run
  that did not end itself is never followed by another of its entry within
  its generation.
- Installations stop what runs and start nothing of the old version: no run
  of a generation starts, and no "restart" line names a run that starts,
  after its installation stopped the programs (its first kill line: it
  unpacks and inspects before that, while the old version still runs),
  unless the program it started was among those the installation stopped.
- Never two live instances of one entry (of any version) for MAX_PAIR_S.
- No zombie child older than two pauses.
- Programs inherit no descriptor of the supervisor beyond 0, 1 and 2.
- The supervisor's descriptors and threads at the end are no more than after
  it settled; its resident memory grows by no more than RSS_TOLERANCE_KB.
"""
import re
import statistics

from schedule import expected_report

INSTALL_S = 3.0        # an installation's stop lines follow its "cmd:" line within this
FAULT_GRACE_S = 6.0    # a fault's report may come this long after it was withdrawn
SERVICE_OVERHEAD_S = 0.02
SLACK_EXTRA_S = 0.7
MAX_PAIR_S = 0.4
SETTLE_S = 2.0
WINDOW_S = 5.0
# jemalloc keeps freed pages a while (dirty and muzzy decay, 10 s each by
# default) and gives each thread a cache, so resident memory wanders by a few
# hundred KiB between samples; a leak shows as steady growth past that.
RSS_TOLERANCE_KB = 1024

CMD_RE = re.compile(r"cmd:tar zxvf")
KILL_RE = re.compile(r"kill process pid:(\d+)")
RESTART_RE = re.compile(r"restart pid : (\d+) path:")
NO_RESTART_RE = re.compile(r"no restart, the programs were stopped meanwhile pid : (\d+) path:")
LINGER_RE = re.compile(r"process did not end, killed pid : (\d+)")


class Run:
    def __init__(self, start, pid, label, entry, fds):
        self.start, self.pid, self.label, self.entry = start, pid, label, entry
        self.fds = fds            # descriptors inherited beyond 0, 1 and 2
        self.end = None
        self.how = None


def read_runs(path):
    runs, open_runs = [], {}
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return runs
    for line in lines:
        parts = line.split()
        if len(parts) >= 6 and parts[0] == "S":
            run = Run(int(parts[1]) / 1e6, int(parts[2]), parts[3], int(parts[4]), int(parts[5]))
            runs.append(run)
            open_runs[(run.pid, run.label, run.entry)] = run
        elif len(parts) >= 6 and parts[0] == "E":
            run = open_runs.pop((int(parts[2]), parts[3], int(parts[4])), None)
            if run is not None:
                run.end, run.how = int(parts[1]) / 1e6, parts[5]
    return runs


class Row:
    def __init__(self, figure, value, must, ok, detail=None):
        self.figure, self.value, self.must, self.ok = figure, value, must, ok
        self.detail = detail or []


class Verdict:
    def __init__(self, pause, counts, phases, runs, console, sampler, end_time, final):
        self.pause = pause
        self.service = pause + SERVICE_OVERHEAD_S
        self.slack = 2 * pause + SLACK_EXTRA_S
        self.counts = counts          # entry -> starts allowed (0: no limit)
        self.phases = phases
        self.runs = runs
        self.console = console        # [(time, text)]
        self.zombies, self.pairs, self.figures, self.markers, self.died = sampler
        self.end_time = end_time
        self.final = final            # {"update.gz": bool, "marker": text}
        self.rows = []
        self.stats = {}

    # --- helpers -------------------------------------------------------------

    def lines(self, regex):
        return [(i, t, m) for i, (t, text) in enumerate(self.console)
                for m in [regex.search(text)] if m]

    def generations(self):
        """{label: (first start, stop time, stop console index)} in install order."""
        firsts = {}
        for run in self.runs:
            if run.label not in firsts or run.start < firsts[run.label]:
                firsts[run.label] = run.start
        cmds = self.lines(CMD_RE)
        gens = {}
        for label, first in sorted(firsts.items(), key=lambda kv: kv[1]):
            later = [(i, t) for i, t, _ in cmds if t > first]
            stop_i, stop_t = later[0] if later else (len(self.console), self.end_time)
            gens[label] = (first, stop_t, stop_i)
        return gens

    def add(self, figure, value, must, ok, detail=None):
        self.rows.append(Row(figure, value, must, ok, detail))

    # --- the invariants --------------------------------------------------------

    def judge(self):
        self.judge_alive()
        self.judge_installs()
        self.judge_faults()
        self.judge_stops()
        self.judge_restarts()
        self.judge_installation_starts()
        self.judge_pairs()
        self.judge_inherited()
        self.judge_zombies()
        self.judge_resources()
        return all(r.ok for r in self.rows)

    def judge_alive(self):
        self.add("supervisor deaths", "0" if self.died is None else "died", "0",
                 self.died is None)

    def judge_installs(self):
        good = [p.label for p in self.phases if p.kind == "good"]
        gens = self.generations()
        installed = list(gens)
        cmds = len(self.lines(CMD_RE))
        bad = sorted({r.label for r in self.runs if not r.label.startswith("v")} |
                     {m for _, m in self.markers if m.startswith("bad")})
        ok = installed == good and cmds == len(good)
        detail = [] if ok else ["published %s" % good, "installed %s" % installed,
                                "cmd: lines %d" % cmds]
        self.add("installations done / published", "%d / %d (%d cmd: lines)" %
                 (len(installed), len(good), cmds), "all, once each, in order", ok, detail)
        self.add("faulty versions installed", "%d" % len(bad), "0", not bad, bad)
        final_ok = (self.final["update.gz"] and not self.final["part"] and
                    self.final["marker"] == (good[-1] if good else ""))
        self.add("local copy and marker at the end", "%s, marker %s%s" % (
            "last good archive" if self.final["update.gz"] else "NOT the last good archive",
            self.final["marker"] or "-", ", a .part file left" if self.final["part"] else ""),
            "the last good version", final_ok)

    def judge_faults(self):
        faults = [p for p in self.phases if p.kind != "good"]
        missed = []
        reached = 0
        for p in faults:
            text = expected_report(p.kind)
            hit = any(text in line for t, line in self.console
                      if p.start <= t <= p.start + p.length + FAULT_GRACE_S)
            reached += hit
            if not hit:
                missed.append("%s at +%.1f s" % (p.kind, p.start - self.phases[0].start))
        kinds = {}
        for p in faults:
            kinds[p.kind] = kinds.get(p.kind, 0) + 1
        self.add("faults that reached the supervisor", "%d / %d (%s)" % (
            reached, len(faults), ", ".join("%s %d" % kv for kv in sorted(kinds.items()))),
            "all", reached == len(faults), missed)

    def judge_stops(self):
        cmd_times = [t for _, t, _ in self.lines(CMD_RE)]
        stray = []
        for regex, what in ((KILL_RE, "kill"), (LINGER_RE, "killed")):
            for _, t, m in self.lines(regex):
                if not any(c <= t <= c + INSTALL_S for c in cmd_times):
                    stray.append("%s pid %s at +%.1f s" % (what, m.group(1), t - self.t0()))
        kills = len(self.lines(KILL_RE)) + len(self.lines(LINGER_RE))
        self.add("programs stopped outside installations", "%d (of %d stops)" % (
            len(stray), kills), "0", not stray, stray[:10])

    def t0(self):
        return self.phases[0].start if self.phases else 0.0

    def judge_restarts(self):
        gens = self.generations()
        by_gen = {}
        for run in self.runs:
            by_gen.setdefault(run.label, {}).setdefault(run.entry, []).append(run)
        over, early, late, unexplained = [], [], [], []
        expected = done = waived = restarts = 0
        delays, lateness = [], []
        max_queue = 0
        for label, entries in by_gen.items():
            if label not in gens:
                continue
            first, stop, _ = gens[label]
            ended = [r for rs in entries.values() for r in rs if r.end is not None]
            wait, queue = self.queue_waits(first, ended)
            max_queue = max(max_queue, queue)
            for entry, rs in entries.items():
                rs.sort(key=lambda r: r.start)
                allowed = self.counts.get(entry, 0)
                restarts += len(rs) - 1
                if allowed and len(rs) > allowed:
                    over.append("%s entry %d: %d runs, run %d" % (label, entry, len(rs), allowed))
                for i, run in enumerate(rs):
                    nxt = rs[i + 1] if i + 1 < len(rs) else None
                    if run.end is None:
                        if nxt is not None:
                            unexplained.append("%s entry %d pid %d" % (label, entry, run.pid))
                        continue
                    if nxt is not None:
                        delay = nxt.start - run.end
                        delays.append(delay)
                        if delay < self.pause - 0.005:
                            early.append("%s entry %d: %.3f s" % (label, entry, delay))
                    if allowed and i + 1 >= allowed:
                        continue
                    deadline = run.end + wait[id(run)] + self.slack
                    if nxt is not None:
                        lateness.append(nxt.start - (run.end + wait[id(run)]))
                    if deadline >= stop:
                        waived += 1
                        continue
                    expected += 1
                    if nxt is not None and nxt.start <= deadline:
                        done += 1
                    else:
                        late.append("%s entry %d pid %d ended +%.1f s: %s (allowed %.1f s)" % (
                            label, entry, run.pid, run.end - self.t0(),
                            "restarted after %.1f s" % (nxt.start - run.end) if nxt else "never",
                            deadline - run.end))
        self.stats.update(max_queue=max_queue, restarts=restarts)
        console_restarts = len(self.lines(RESTART_RE))
        self.add("runs / restarts", "%d / %d (%d restart lines)" % (
            len(self.runs), restarts, console_restarts), "-", True)
        self.add("restarts done / expected by the start counts", "%d / %d (%d waived: "
                 "installation came first)" % (done, expected, waived), "all expected done",
                 done == expected, late[:10])
        self.add("starts beyond the count", str(len(over)), "0", not over, over[:10])
        self.add("restarts earlier than one pause", "%d (shortest %.3f s)" % (
            len(early), min(delays) if delays else 0), "0", not early, early[:10])
        self.add("restart delay past the one-per-pause queue", "at most %+.2f s, queue up to %d" % (
            max(lateness) if lateness else 0, max_queue), "-", True)
        self.add("ended from outside, then restarted", str(len(unexplained)), "0",
                 not unexplained, unexplained[:10])

    def queue_waits(self, first, ended):
        """Wait from each run's end to its restart when one end is served per
        pause, by id of the run; and the longest queue."""
        waits, busy_until, queue, departures = {}, first, 0, []
        for run in sorted(ended, key=lambda r: r.end):
            a = run.end
            d = max(a, busy_until) + self.service
            waits[id(run)] = d - a
            busy_until = d
            departures = [x for x in departures if x > a] + [d]
            queue = max(queue, len(departures))
        return waits, queue

    def judge_installation_starts(self):
        gens = self.generations()
        kills = self.lines(KILL_RE)

        def stopping(stop, stop_i):
            """When the installation announced at stop_i stopped the programs:
            its first kill line (it unpacks and inspects before that, while
            the old version still runs), or its cmd: line when nothing ran."""
            for i, t, _ in kills:
                if i > stop_i and t <= stop + INSTALL_S:
                    return t
            return stop

        bad = []
        for run in self.runs:
            if run.label not in gens:
                continue
            _, stop, stop_i = gens[run.label]
            if stop_i >= len(self.console) or run.start <= stopping(stop, stop_i):
                continue
            stopped = any(int(m.group(1)) == run.pid for i, t, m in kills
                          if i > stop_i and t <= stop + INSTALL_S)
            if not stopped:
                bad.append("%s entry %d pid %d started %.3f s after cmd:" % (
                    run.label, run.entry, run.pid, run.start - stop))
        latest = {}
        for run in sorted(self.runs, key=lambda r: r.start):
            latest.setdefault(run.pid, []).append(run)
        # A restart is reported just before its start; when an installation
        # stops the programs in between, nothing starts and a record says so.
        dropped = [(i, int(m.group(1))) for i, t, m in self.lines(NO_RESTART_RE)]
        for i, t, m in self.lines(RESTART_RE):
            pid = int(m.group(1))
            if any(di > i and dpid == pid for di, dpid in dropped):
                continue
            before = [r for r in latest.get(pid, []) if r.start <= t]
            if not before or before[-1].label not in gens:
                continue
            _, stop, stop_i = gens[before[-1].label]
            # The installation stages before it stops anything: a restart
            # that the installation then stopped started nothing of the old
            # version.
            prev = before[-1]
            later = [r for r in self.runs
                     if r.label == prev.label and r.entry == prev.entry and r.start > prev.start]
            started = min(later, key=lambda r: r.start) if later else None
            stopped = started is not None and any(
                int(k.group(1)) == started.pid for ki, kt, k in kills
                if ki > stop_i and kt <= stop + INSTALL_S)
            before_stop = started is not None and started.start <= stopping(stop, stop_i)
            if i > stop_i and not stopped and not before_stop:
                bad.append("restart of %s entry %d pid %d after its installation began" % (
                    before[-1].label, before[-1].entry, pid))
        self.add("old version started during an installation", str(len(bad)), "0", not bad,
                 bad[:10])

    def judge_pairs(self):
        long_pairs = ["entry %s pids %d and %d for %.1f s" % (e, a, b, last - first)
                      for (e, a, b), (first, last) in self.pairs.items()
                      if last - first >= MAX_PAIR_S]
        self.add("two live instances of one entry", "%d (%d seen briefly)" % (
            len(long_pairs), len(self.pairs) - len(long_pairs)),
            "0 for %.1f s" % MAX_PAIR_S, not long_pairs, long_pairs[:10])

    def judge_inherited(self):
        leaky = [r for r in self.runs if r.fds != 0]
        self.add("runs that inherited descriptors beyond 0-2", "%d of %d" % (
            len(leaky), len(self.runs)), "0", not leaky,
            ["%s entry %d pid %d: %d" % (r.label, r.entry, r.pid, r.fds) for r in leaky[:10]])

    def judge_zombies(self):
        ages = [last - first for first, last in self.zombies.values()]
        old = [a for a in ages if a > 2 * self.pause]
        self.add("zombies older than two pauses", "%d (oldest %.1f s, %d seen)" % (
            len(old), max(ages) if ages else 0, len(ages)), "0", not old)

    def judge_resources(self):
        figs = [f for f in self.figures if None not in (f.fds, f.rss_kb, f.threads)]
        gens = list(self.generations().values())
        settle = (gens[1][0] if len(gens) > 1 else gens[0][0] if gens else self.t0()) + SETTLE_S
        start = [f for f in figs if settle <= f.t <= settle + WINDOW_S]
        end = [f for f in figs if f.t >= figs[-1].t - WINDOW_S] if figs else []
        if not start or not end:
            self.add("descriptors, memory, threads", "too few samples", "-", False)
            return
        fds = (min(f.fds for f in start), min(f.fds for f in end), max(f.fds for f in figs))
        rss = (statistics.median(f.rss_kb for f in start), statistics.median(f.rss_kb for f in end),
               max(f.rss_kb for f in figs))
        thr = (min(f.threads for f in start), min(f.threads for f in end),
               max(f.threads for f in figs))
        self.add("descriptors settled -> end (most)", "%d -> %d (%d)" % fds, "no growth",
                 fds[1] <= fds[0])
        self.add("resident memory settled -> end (most)", "%.0f -> %.0f KiB (%d)" % rss,
                 "growth <= %d KiB" % RSS_TOLERANCE_KB, rss[1] <= rss[0] + RSS_TOLERANCE_KB)
        self.add("threads settled -> end (most)", "%d -> %d (%d)" % thr, "no growth",
                 thr[1] <= thr[0])

    def table(self):
        w1 = max(len(r.figure) for r in self.rows)
        w2 = max(len(r.value) for r in self.rows)
        w3 = max(len(r.must) for r in self.rows)
        out = ["%-*s  %-*s  %-*s  %s" % (w1, "figure", w2, "value", w3, "must be", "verdict")]
        out.append("-" * (w1 + w2 + w3 + 14))
        for r in self.rows:
            out.append("%-*s  %-*s  %-*s  %s" % (w1, r.figure, w2, r.value, w3, r.must,
                                                 "ok" if r.ok else "BROKEN"))
            for d in r.detail:
                out.append("    " + d)
        return "\n".join(out)
