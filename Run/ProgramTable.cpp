#include "ProgramTable.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <utility>

#include "ChildProcess.h"
#include "Env.h"
#include "FirstProcess.h"
#include "Launcher.h"
#include "Report.h"

namespace {

// Recursive: StopProgramsForGood stops under its own lock, and ReapEnded's
// orphan reaping asks IsProgram.
std::recursive_mutex g_mutex;
std::vector<PRO_INFO> g_entries;  // guarded by g_mutex
std::vector<PRO_INFO> g_retired;  // guarded by g_mutex
bool g_stopped_for_good = false;  // guarded by g_mutex

bool Reaped(pid_t pid) {
  int status;
  pid_t r;
  do {
    r = waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  // ECHILD: someone else reaped it; count it as ended all the same.
  return r == pid || (r < 0 && errno == ECHILD);
}

// Takes one of info's starts and launches it.
void Start(PRO_INFO& info) {
  if (info.run_tick != kUnlimitedRuns) --info.run_tick;
  info.pid = RunProcess(info.path.c_str(), info.param_str.c_str());
  info.state = info.pid > 0 ? ProgramState::kRunning : IdleState(info.pid, info.run_tick);
}

void ReapRetired(std::vector<PRO_INFO>& retired) {
  retired.erase(std::remove_if(retired.begin(), retired.end(),
                               [](const PRO_INFO& info) { return Reaped(info.pid); }),
                retired.end());
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
}

// Restarts the first entry that match accepts; the report follows the lock.
template <typename Match>
bool RestartFirst(Match match) {
  pid_t last = 0;
  std::string path;
  {
    TableLock table;
    auto it = std::find_if(table.entries().begin(), table.entries().end(), match);
    if (it == table.entries().end() || g_stopped_for_good) return false;
    last = it->pid;
    path = it->path;
    Start(*it);
  }
  REPORT_ERROR("restart pid : %u path:%s \n", static_cast<unsigned>(last), path.c_str());
  return true;
}

}  // namespace

ProgramState IdleState(pid_t pid, int run_tick) {
  if (pid == 0) return ProgramState::kNeverStarted;
  if (run_tick <= 0) return ProgramState::kExhausted;
  return pid < 0 ? ProgramState::kStartFailed : ProgramState::kWaiting;
}

TableLock::TableLock() : lock_(g_mutex) {}
std::vector<PRO_INFO>& TableLock::entries() { return g_entries; }
std::vector<PRO_INFO>& TableLock::retired() { return g_retired; }

void ReplacePrograms(const std::vector<PRO_INFO>& entries) {
  TableLock table;
  for (const PRO_INFO& old : table.entries())
    if (old.running()) table.retired().push_back(old);
  table.entries().assign(entries.begin(), entries.end());
}

void LoadProcessList() {
  TableLock table;
  if (g_stopped_for_good) return;
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
                 k.second.c_str());
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
  TableLock table;
  // Held throughout: no program starts, so every ended child that the table
  // does not name is an orphan (or a helper, which ReapOrphans leaves alone).
  do {
    for (PRO_INFO& info : table.entries()) {
      if (!info.running() || !Reaped(info.pid)) continue;
      if (info.state == ProgramState::kStopping) {
        info.state = ProgramState::kStopped;
      } else {
        info.state = IdleState(info.pid, info.run_tick);
        ended.push_back(info.pid);
      }
    }
    ReapRetired(table.retired());
  } while (IsFirstProcess() && qmChildProcess::ReapOrphans(IsProgram));
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
    {
      TableLock table;
      bool left = false;
      for (PRO_INFO& info : table.entries()) {
        if (info.state != ProgramState::kStopping) continue;
        if (Reaped(info.pid)) {
          info.state = ProgramState::kStopped;
        } else {
          left = true;
        }
      }
      ReapRetired(table.retired());
      if (!left && table.retired().empty()) return true;
    }
    if (env.NowMs() >= deadline) return false;
    // The loop takes SIGCHLD for itself: other threads look again shortly.
    env.SleepMs(10);
  }
}
