#include "supervision/ProgramTable.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <utility>

#include "ChildProcess.h"
#include "platform/Env.h"
#include "platform/ProcessOne.h"
#include "platform/Report.h"
#include "supervision/Launcher.h"
#include "supervision/TableObserver.h"

namespace {

// Recursive: StopProgramsForGood stops under its own lock, and ReapEnded's
// orphan reaping asks IsProgram.
std::recursive_mutex g_mutex;
std::vector<PRO_INFO> g_entries;  // guarded by g_mutex
std::vector<PRO_INFO> g_retired;  // guarded by g_mutex
bool g_stopped_for_good = false;  // guarded by g_mutex
// Counts the operations on the table as a whole (replace, stop, load), so
// that a restart can tell whether one came while it released the lock.
unsigned long g_table_changes = 0;  // guarded by g_mutex

std::atomic<TableObserver*> g_observer{nullptr};

// Tells the observer, if there is one, that something changed.
void TableChanged() {
  if (TableObserver* observer = g_observer.load(std::memory_order_acquire))
    observer->TableChanged();
}

// A reaped program's end, reported once the table is released.
struct EndNote {
  pid_t pid;
  std::string path;
  PROGRAM_END end;
};
typedef std::vector<EndNote> EndNotes;

// True when pid has ended and is reaped; *status is its wait status, or -1
// when someone else reaped it.
bool Reaped(pid_t pid, int* status) {
  pid_t r;
  do {
    r = waitpid(pid, status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  // ECHILD: someone else reaped it; count it as ended all the same.
  if (r < 0 && errno == ECHILD) {
    *status = -1;
    return true;
  }
  return r == pid;
}

void RecordEnd(PRO_INFO& info, const PROGRAM_END& end) {
  info.last_end = end;
  if (end.kind == PROGRAM_END::kExit) ++info.exits;
  if (end.kind == PROGRAM_END::kSignal) ++info.signals;
  if ((end.kind == PROGRAM_END::kExit && end.code != 0) || end.kind == PROGRAM_END::kSignal)
    ++info.failures;
}

// True when info's child has ended; its end is recorded and noted.
bool ReapInto(PRO_INFO& info, EndNotes& notes) {
  int status;
  if (!Reaped(info.pid, &status)) return false;
  PROGRAM_END end;
  if (status == -1) {
    end.kind = PROGRAM_END::kUnknown;
    end.time = CurrentEnv().WallNow();
  } else {
    end = EndFromStatus(status, CurrentEnv().WallNow());
  }
  end.pid = info.pid;
  RecordEnd(info, end);
  notes.push_back(EndNote{info.pid, info.path, end});
  return true;
}

// One record per end whose kind is known, then a new status.
void ReportEnds(const EndNotes& notes) {
  for (const EndNote& note : notes) {
    std::string how = EndText(note.end);
    if (how.empty()) continue;
    REPORT_NOTICE("program ended pid : %u path:%s %s", static_cast<unsigned>(note.pid),
                  Quoted(note.path).c_str(), how.c_str());
  }
  if (!notes.empty()) TableChanged();
}

// Takes one of info's starts and launches it.
void Start(PRO_INFO& info) {
  if (info.run_tick != kUnlimitedRuns) --info.run_tick;
  info.pid = RunProcess(info.path.c_str(), info.param_str.c_str());
  info.state = info.pid > 0 ? ProgramState::kRunning : IdleState(info.pid, info.run_tick);
  if (info.pid > 0) {
    ++info.starts;
    info.last_start = CurrentEnv().WallNow();
  }
}

// A retired program's end also goes to the entry that took over its history,
// unless that entry has started a process of its own since.
void ReapRetired(TableLock& table, EndNotes& notes) {
  std::vector<PRO_INFO>& retired = table.retired();
  auto ended = [&table, &notes](PRO_INFO& info) {
    if (!ReapInto(info, notes)) return false;
    for (PRO_INFO& entry : table.entries())
      if (entry.pid == info.pid && !entry.running()) RecordEnd(entry, info.last_end);
    return true;
  };
  retired.erase(std::remove_if(retired.begin(), retired.end(), ended), retired.end());
}

// The new entry takes over the history of the first old entry with the same
// path and parameters not yet taken, and stays stopped until LoadProcessList
// starts it when the old one was.
void TakeHistory(std::vector<PRO_INFO>& old, PRO_INFO& entry) {
  for (PRO_INFO& was : old) {
    if (was.path.empty() || was.path != entry.path || was.param_str != entry.param_str) continue;
    entry.pid = was.pid;
    entry.starts = was.starts;
    entry.last_start = was.last_start;
    entry.last_end = was.last_end;
    entry.exits = was.exits;
    entry.signals = was.signals;
    entry.failures = was.failures;
    if (was.stopped()) entry.state = ProgramState::kStopped;
    was.path.clear();  // taken
    return;
  }
}

// Calls stop for every live, unreaped child: 0 and -1 would reach whole
// process groups, and a reaped id may belong to an unrelated process by now.
template <typename Stop>
void ForEachLiveChild(TableLock& table, Stop stop) {
  for (const PRO_INFO& info : table.entries())
    if (info.running() && info.pid > 0) stop(info);
  for (const PRO_INFO& info : table.retired()) stop(info);
}

// Marks every entry stopped and sends SIGTERM to the live children; returns
// their ids for the report.
std::vector<pid_t> StopAll(TableLock& table) {
  ++g_table_changes;
  for (PRO_INFO& info : table.entries())
    info.state = info.running() ? ProgramState::kStopping : ProgramState::kStopped;
  std::vector<pid_t> signalled;
  ForEachLiveChild(table, [&signalled](const PRO_INFO& info) {
    kill(info.pid, SIGTERM);
    signalled.push_back(info.pid);
  });
  return signalled;
}

void ReportStopped(const std::vector<pid_t>& signalled) {
  for (pid_t pid : signalled) printf("kill process pid:%u\n", static_cast<unsigned>(pid));
  fflush(stdout);
  TableChanged();
}

// Restarts the first entry that match accepts. The report comes before the
// start, so that it precedes the program's own first output, and outside the
// lock; the start then takes the lock again.
template <typename Match>
bool RestartFirst(Match match) {
  size_t index = 0;
  unsigned long changes = 0;
  pid_t last = 0;
  std::string path;
  {
    TableLock table;
    auto it = std::find_if(table.entries().begin(), table.entries().end(), match);
    if (it == table.entries().end() || g_stopped_for_good) return false;
    index = static_cast<size_t>(it - table.entries().begin());
    changes = g_table_changes;
    last = it->pid;
    path = it->path;
  }
  REPORT_ERROR("restart pid : %u path:%s \n", static_cast<unsigned>(last), Quoted(path).c_str());
  bool started = false;
  {
    TableLock table;
    // Meanwhile an installation may have stopped the programs or replaced
    // the table; it starts the programs itself once its files are in place.
    if (!g_stopped_for_good && g_table_changes == changes && index < table.entries().size() &&
        match(table.entries()[index])) {
      Start(table.entries()[index]);
      started = true;
    }
  }
  if (!started)
    REPORT_NOTICE("no restart, the programs were stopped meanwhile pid : %u path:%s",
                  static_cast<unsigned>(last), Quoted(path).c_str());
  TableChanged();
  return started;
}

}  // namespace

void SetTableObserver(TableObserver* observer) {
  g_observer.store(observer, std::memory_order_release);
}

ProgramState IdleState(pid_t pid, int run_tick) {
  if (pid == 0) return ProgramState::kNeverStarted;
  if (run_tick <= 0) return ProgramState::kExhausted;
  return pid < 0 ? ProgramState::kStartFailed : ProgramState::kWaiting;
}

TableLock::TableLock() : lock_(g_mutex) {}
std::vector<PRO_INFO>& TableLock::entries() { return g_entries; }
std::vector<PRO_INFO>& TableLock::retired() { return g_retired; }

void ReplacePrograms(const std::vector<PRO_INFO>& entries) {
  {
    TableLock table;
    ++g_table_changes;
    std::vector<PRO_INFO> old;
    old.swap(table.entries());
    for (const PRO_INFO& was : old)
      if (was.running()) table.retired().push_back(was);
    table.entries().assign(entries.begin(), entries.end());
    for (PRO_INFO& entry : table.entries()) TakeHistory(old, entry);
  }
  TableChanged();
}

void LoadProcessList() {
  {
    TableLock table;
    if (g_stopped_for_good) return;
    ++g_table_changes;
    for (PRO_INFO& info : table.entries()) {
      // A live child keeps its entry: a second launch would orphan it.
      if (info.running()) {
        info.state = ProgramState::kRunning;
      } else if (info.run_tick <= 0) {
        info.state = IdleState(info.pid, info.run_tick);
      } else {
        Start(info);
      }
    }
  }
  TableChanged();
}

void killProcessList() {
  std::vector<pid_t> signalled;
  {
    TableLock table;
    signalled = StopAll(table);
  }
  ReportStopped(signalled);
}

void StopProgramsForGood() {
  std::vector<pid_t> signalled;
  {
    TableLock table;
    g_stopped_for_good = true;
    signalled = StopAll(table);
  }
  ReportStopped(signalled);
}

bool ProgramsStoppedForGood() {
  TableLock table;
  return g_stopped_for_good;
}

void EndLingeringPrograms() {
  std::vector<std::pair<pid_t, std::string>> killed;
  {
    TableLock table;
    ForEachLiveChild(table, [&killed](const PRO_INFO& info) {
      kill(info.pid, SIGKILL);
      killed.emplace_back(info.pid, info.path);
    });
  }
  for (const auto& k : killed)
    REPORT_ERROR("process did not end, killed pid : %u path:%s", static_cast<unsigned>(k.first),
                 Quoted(k.second).c_str());
}

std::vector<PROGRAM_FAILURES> ProgramFailures() {
  std::vector<PROGRAM_FAILURES> out;
  TableLock table;
  for (const PRO_INFO& info : table.entries())
    out.push_back(PROGRAM_FAILURES{info.path, info.failures, EndText(info.last_end)});
  return out;
}

bool WaitsOnEnded(pid_t pid) {
  TableLock table;
  for (const PRO_INFO& info : table.entries())
    if (info.pid == pid &&
        (info.state == ProgramState::kWaiting || info.state == ProgramState::kExhausted))
      return true;
  return false;
}

void ReapEnded(std::deque<pid_t>& ended) {
  EndNotes notes;
  {
    TableLock table;
    // Held throughout: no program starts, so every ended child that the table
    // does not name is an orphan (or a helper, which ReapOrphans leaves alone).
    do {
      for (PRO_INFO& info : table.entries()) {
        if (!info.running() || !ReapInto(info, notes)) continue;
        if (info.state == ProgramState::kStopping) {
          info.state = ProgramState::kStopped;
        } else {
          info.state = IdleState(info.pid, info.run_tick);
          ended.push_back(info.pid);
        }
      }
      ReapRetired(table, notes);
    } while (IsFirstProcess() && qmChildProcess::ReapOrphans(IsProgram));
  }
  ReportEnds(notes);
}

bool IsProgram(pid_t pid) {
  TableLock table;
  auto live = [pid](const PRO_INFO& info) { return info.running() && info.pid == pid; };
  return std::any_of(table.entries().begin(), table.entries().end(), live) ||
         std::any_of(table.retired().begin(), table.retired().end(),
                     [pid](const PRO_INFO& info) { return info.pid == pid; });
}

bool HasLiveChildren() {
  TableLock table;
  if (!table.retired().empty()) return true;
  return std::any_of(table.entries().begin(), table.entries().end(),
                     [](const PRO_INFO& info) { return info.running(); });
}

bool RestartEnded(pid_t pid) {
  return RestartFirst([pid](const PRO_INFO& info) {
    return info.pid == pid && info.state == ProgramState::kWaiting;
  });
}

bool RetryFailedStart() {
  return RestartFirst(
      [](const PRO_INFO& info) { return info.state == ProgramState::kStartFailed; });
}

bool AwaitStoppedPrograms(unsigned ms) {
  Env& env = CurrentEnv();
  long long deadline = env.NowMs() + ms;
  for (;;) {
    EndNotes notes;
    bool done;
    {
      TableLock table;
      bool left = false;
      for (PRO_INFO& info : table.entries()) {
        if (info.state != ProgramState::kStopping) continue;
        if (ReapInto(info, notes)) {
          info.state = ProgramState::kStopped;
        } else {
          left = true;
        }
      }
      ReapRetired(table, notes);
      done = !left && table.retired().empty();
    }
    ReportEnds(notes);
    if (done) return true;
    if (env.NowMs() >= deadline) return false;
    // The loop takes SIGCHLD for itself: other threads look again shortly.
    env.SleepMs(10);
  }
}

void EndProgramsForGood(unsigned grace_ms, unsigned kill_wait_ms) {
  StopProgramsForGood();
  if (AwaitStoppedPrograms(grace_ms)) return;
  EndLingeringPrograms();
  AwaitStoppedPrograms(kill_wait_ms);
}
