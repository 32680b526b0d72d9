#!/usr/bin/python3
"""Soak and fault-injection run of the supervisor's test build.

    soak.py --build DIR [--seconds N] [--seed N] [--keep]

Runs DIR/monitor-fast in a temporary application directory for N seconds
(default 600) with 50 supervised programs that end in every way, while a
loopback HTTP server publishes a new version every few update periods and,
between versions, a faulty publication. Samples the supervisor all the while
and prints a table of figures, each with the invariant it must keep (see
verdict.py). Exits 1 when an invariant broke, 2 when the run could not be
made. Every process it started is ended, also on failure or interruption;
the temporary directory is removed unless the run failed or --keep is given.
"""
import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
INTEGRATION = os.path.join(HERE, "..", "integration")

GOOD_S = (7.0, 11.0)   # a version stays published this long at least...
GOOD_MAX_S = 30.0      # ...and until it is installed, but no longer than this
INSTALLED_HOLD_S = 2.0  # after it shows as installed
FAULT_S = {"stall-archive": 7.0, "stall-crc": 5.0}
FAULT_DEFAULT_S = 4.0
PROGRESS_EVERY_S = 15.0


def parse_args():
    parser = argparse.ArgumentParser(description="soak run of monitor-fast")
    parser.add_argument("--build", required=True)
    parser.add_argument("--seconds", type=float, default=600.0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    return parser.parse_args()


ARGS = parse_args()
os.environ["MONITOR_BUILD_DIR"] = os.path.abspath(ARGS.build)
sys.path[:0] = [HERE, INTEGRATION]

from conftest import fast_timing  # noqa: E402
from http_server import HttpServer  # noqa: E402
from observe import Console, Sampler, cmdline, fd_targets, read_text  # noqa: E402
import schedule  # noqa: E402
from verdict import Verdict, read_runs  # noqa: E402

PAUSE_S = fast_timing()["restart_pause_ms"] / 1000.0  # restart pause of monitor-fast


def no_core_files():
    import resource
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


class Soak:
    def __init__(self, build, seconds, seed):
        self.build = os.path.abspath(build)
        self.seconds = seconds
        self.seed = seed
        self.rng = random.Random(seed)
        self.work = tempfile.mkdtemp(prefix="soak-")
        self.app = os.path.join(self.work, "app")
        os.makedirs(os.path.join(self.app, "bin"))
        os.makedirs(os.path.join(self.work, "www"))
        self.server = None
        self.supervisor = None
        self.console = None
        self.sampler = None
        self.phases = []
        self.fault_cycle = []
        self.end_time = None

    # --- set-up and tear-down ---------------------------------------------------

    def start(self):
        shutil.copy2(os.path.join(self.build, "monitor-fast"), os.path.join(self.app, "monitor"))
        self.server = HttpServer(os.path.join(self.work, "www")).start()
        with open(os.path.join(self.app, "config.json"), "w") as f:
            json.dump({"url": self.server.url("/" + schedule.ARCHIVE)}, f)
        self.publisher = schedule.Publisher(
            self.server, schedule.program_bytes(os.path.join(self.build, "tests", "programs")))
        self.begin_phase("good")  # v1, installed by the start-up check
        with open(os.path.join(self.work, "stderr"), "wb") as err:
            self.supervisor = subprocess.Popen(
                [os.path.join(self.app, "monitor"), "-log"], cwd=self.app,
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err,
                start_new_session=True, preexec_fn=no_core_files)
        self.console = Console(self.supervisor.stdout, os.path.join(self.work, "console"))
        self.console.start()
        self.sampler = Sampler(self.supervisor.pid, "/bin/" + schedule.PROGRAM,
                               os.path.join(self.app, schedule.MARKER))
        self.sampler.start()

    def stop(self):
        """Ends everything this run started: the sampler, the supervisor's
        process group, any program left over by its pid, the server."""
        if self.sampler is not None and self.sampler.is_alive():
            self.sampler.stop()
        if self.supervisor is not None:
            try:
                os.killpg(self.supervisor.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.supervisor.wait()
        # Programs hold the console pipe too: end them before reading it out.
        self.end_leftovers()
        if self.supervisor is not None:
            if self.console is not None:
                self.console.join(timeout=10)
            self.supervisor.stdout.close()
            self.supervisor = None
        if self.server is not None:
            self.server.stop()
            self.server = None

    def end_leftovers(self):
        prefix = self.app + "/"
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            argv = cmdline(int(name))
            if argv and argv[0].startswith(prefix):
                try:
                    os.kill(int(name), signal.SIGKILL)
                except ProcessLookupError:
                    pass

    # --- the publication schedule ----------------------------------------------

    def next_label(self, kind):
        number = len(self.phases) + 1
        goods = sum(1 for p in self.phases if p.kind == "good")
        return "v%d" % (goods + 1) if kind == "good" else "bad%d" % number

    def begin_phase(self, kind):
        if kind == "good":
            length = self.rng.uniform(*GOOD_S)
        else:
            length = FAULT_S.get(kind, FAULT_DEFAULT_S)
        phase = schedule.Phase(kind, self.next_label(kind), time.monotonic(), length)
        if kind == "good":
            self.publisher.good(phase)
        else:
            self.publisher.fault(phase)
        phase.start = time.monotonic()
        self.phases.append(phase)
        return phase

    def next_fault(self):
        if not self.fault_cycle:
            self.fault_cycle = schedule.fault_kinds()
            self.rng.shuffle(self.fault_cycle)
        return self.fault_cycle.pop()

    def marker(self):
        return (read_text(os.path.join(self.app, schedule.MARKER)) or "").strip()

    def phase_over(self, phase, now):
        if phase.kind != "good":
            return now >= phase.start + phase.length
        if now >= phase.start + GOOD_MAX_S:
            return True
        if self.marker() != phase.label:
            return False
        if phase.installed is None:
            phase.installed = now
        return now >= max(phase.start + phase.length, phase.installed + INSTALLED_HOLD_S)

    def run(self):
        began = time.monotonic()
        deadline = began + self.seconds
        last_progress = began
        while True:
            now = time.monotonic()
            if self.supervisor.poll() is not None or self.sampler.died is not None:
                print("soak: the supervisor ended at +%.1f s" % (now - began), flush=True)
                break
            phase = self.phases[-1]
            if self.phase_over(phase, now):
                if phase.kind == "good":
                    if now >= deadline:
                        break
                    self.begin_phase(self.next_fault())
                else:
                    self.begin_phase("good")
            if now - last_progress >= PROGRESS_EVERY_S:
                last_progress = now
                self.progress(now - began)
            time.sleep(0.1)
        self.end_time = time.monotonic()

    def progress(self, elapsed):
        _, _, figures, _, _ = self.sampler.snapshot()
        fig = figures[-1] if figures else None
        print("soak: +%3.0f s  %-13s installed %-4s  programs %2s  fds %s  rss %s KiB  threads %s"
              % (elapsed, self.phases[-1].kind, self.marker() or "-",
                 fig.live if fig else "-", fig.fds if fig else "-",
                 fig.rss_kb if fig else "-", fig.threads if fig else "-"), flush=True)

    # --- the verdict -------------------------------------------------------------

    def judge(self):
        snapshot = self.sampler.snapshot()
        good = [p for p in self.phases if p.kind == "good"]
        try:
            with open(os.path.join(self.app, "update.gz"), "rb") as f:
                local = f.read()
        except OSError:
            local = None
        final = {"update.gz": bool(good) and local == good[-1].archive, "marker": self.marker(),
                 "part": os.path.exists(os.path.join(self.app, "update.gz.part"))}
        fds = fd_targets(self.supervisor.pid)
        self.stop()
        counts = {n: run for n, run, _ in schedule.table()}
        runs = read_runs(os.path.join(self.app, "bin", schedule.PROGRAM + ".out"))
        verdict = Verdict(PAUSE_S, counts, self.phases, runs, self.console.snapshot(),
                          snapshot, self.end_time, final)
        ok = verdict.judge()
        print()
        print("soak: %.0f s, seed %d, %d phases, supervisor descriptors at the end: %s" % (
            self.end_time - self.phases[0].start, self.seed, len(self.phases),
            ", ".join("%d %s" % kv for kv in sorted(fds.items()))))
        print(verdict.table())
        return ok


def main():
    seed = ARGS.seed if ARGS.seed is not None else random.SystemRandom().randrange(1 << 31)
    soak = Soak(ARGS.build, ARGS.seconds, seed)
    status = 2
    # Ctrl-C (even when started with it ignored) and SIGTERM end the run
    # through the clean-up below.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    try:
        soak.start()
        print("soak: %.0f s in %s (seed %d)" % (ARGS.seconds, soak.work, seed), flush=True)
        soak.run()
        status = 0 if soak.judge() else 1
        print("soak: %s" % ("every invariant held" if status == 0 else "AN INVARIANT BROKE"))
    except KeyboardInterrupt:
        print("soak: interrupted", file=sys.stderr)
        status = 130
    except Exception:  # the run could not be made: say why, and clean up all the same
        traceback.print_exc()
    finally:
        soak.stop()
        if status == 0 and not ARGS.keep:
            shutil.rmtree(soak.work, ignore_errors=True)
        else:
            print("soak: kept %s for inspection" % soak.work)
    return status


if __name__ == "__main__":
    sys.exit(main())
