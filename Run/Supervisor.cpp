#include "Supervisor.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>

#include "ChildProcess.h"
#include "FirstProcess.h"
#include "HttpDown.h"
#include "Install.h"
#include "Launcher.h"
#include "ProgramList.h"
#include "Report.h"
#include "SignedUpdate.h"
#include "SingletonBase.h"
#include "BuildSetting.h"
#include "Timing.h"
#include "ToolHelper.h"
#include "Updater.h"

namespace {

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Sleeps until a child may have ended or ms have passed. SIGCHLD is blocked
// in every thread of the supervisor, so it stays pending for this call.
void WaitForChildSignal(long long ms) {
  if (ms <= 0) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  sigtimedwait(&set, nullptr, &ts);
}

bool Reaped(pid_t pid) {
  int status;
  pid_t r;
  do {
    r = waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  // ECHILD: someone else reaped it; count it as ended all the same.
  return r == pid || (r < 0 && errno == ECHILD);
}

// 1 when this process is the one supervisor, 0 when another one runs. A lock
// that cannot be used ends the process with status 1: without it, nothing
// tells whether a second supervisor would start every program twice.
int SingleInstanceTest() {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  const std::string record =
      build::kInstanceFilesInAppDir ? tool.GetAppDir() + "/tavrin.exe" : "/tmp/tavrin.exe";
  const std::string lock_path = tool.InstanceLockPath("tavrin.lock", build::kInstanceFilesInAppDir);
  // Open for the life of the process, like the log file: holding the lock is
  // what tells every later start that this supervisor runs, and the kernel
  // drops it when the process ends, however it ends.
  static qmToolHelper::INSTANCE_LOCK instance = tool.TakeInstanceLock(lock_path, record);
  if (instance.result < 0) {
    REPORT_ERROR("single-instance lock unusable, quit! %s lock:%s", instance.lock_error.c_str(),
                 lock_path.c_str());
    exit(1);
  }
  if (instance.result == 1 && !instance.record_error.empty()) {
    REPORT_ERROR("single-instance record not written! %s record:%s", instance.record_error.c_str(),
                 record.c_str());
  }
  return instance.result;
}

// Pauses restart_pause ms from now, reaping whatever ends meanwhile.
void PauseReaping(std::deque<pid_t>& ended) {
  long long deadline = NowMs() + timing::kRestartPauseMs;
  for (long long left; (left = deadline - NowMs()) > 0;) {
    WaitForChildSignal(std::min(left, 1000LL));
    ReapEnded(ended);
  }
}

}  // namespace

void ReapEnded(std::deque<pid_t>& ended) {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  // Held throughout: no program starts, so every ended child that the table
  // does not name is an orphan (or a helper, which ReapOrphans leaves alone).
  do {
    for (PRO_INFO& info : m_all_process) {
      if (!info.running || !Reaped(info.pid)) continue;
      info.running = false;
      if (!info.stopped) ended.push_back(info.pid);
    }
    std::vector<PRO_INFO>& retired = RetiredChildren();
    retired.erase(std::remove_if(retired.begin(), retired.end(),
                                 [](const PRO_INFO& info) { return Reaped(info.pid); }),
                  retired.end());
  } while (IsFirstProcess() && qmChildProcess::ReapOrphans(IsProgram));
}

bool IsProgram(pid_t pid) {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  auto live = [pid](const PRO_INFO& info) { return info.running && info.pid == pid; };
  return std::any_of(m_all_process.begin(), m_all_process.end(), live) ||
         std::any_of(RetiredChildren().begin(), RetiredChildren().end(), live);
}

bool HasLiveChildren() {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  if (!RetiredChildren().empty()) return true;
  return std::any_of(m_all_process.begin(), m_all_process.end(),
                     [](const PRO_INFO& info) { return info.running; });
}

bool RestartEnded(pid_t pid) {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  for (PRO_INFO& info : m_all_process) {
    if (info.pid != pid || info.running || info.stopped || info.run_tick <= 0) continue;
    if (ProgramsStoppedForGood()) return false;
    if (info.run_tick != kUnlimitedRuns) --info.run_tick;
    REPORT_ERROR("restart pid : %u path:%s \n", static_cast<unsigned>(pid), info.path.c_str());
    info.pid = RunProcess(info.path.c_str(), info.param_str.c_str());
    info.running = info.pid > 0;
    return true;
  }
  return false;
}

bool AwaitStoppedPrograms(unsigned ms) {
  long long deadline = NowMs() + ms;
  for (;;) {
    {
      std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
      bool left = false;
      for (PRO_INFO& info : m_all_process) {
        if (!info.running || !info.stopped) continue;
        if (Reaped(info.pid)) {
          info.running = false;
        } else {
          left = true;
        }
      }
      std::vector<PRO_INFO>& retired = RetiredChildren();
      retired.erase(std::remove_if(retired.begin(), retired.end(),
                                   [](const PRO_INFO& info) { return Reaped(info.pid); }),
                    retired.end());
      if (!left && retired.empty()) return true;
    }
    if (NowMs() >= deadline) return false;
    // The loop takes SIGCHLD for itself: other threads look again shortly.
    SingletonBase<qmToolHelper>::Instance().Sleep(10);
  }
}

void RunSupervisor() {
  if (SingleInstanceTest() == 0) {
    REPORT_ERROR("run more,quit!");
    exit(0);
  }

  // A broken connection must not end the supervisor; children get back the
  // dispositions the supervisor started with.
  signal(SIGPIPE, SIG_IGN);
  // Blocked before any thread exists so that every thread inherits it and the
  // loop alone receives it.
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &chld, nullptr);
  // As a container's first process: reap orphans, and end on SIGTERM/SIGINT.
  if (IsFirstProcess()) StartStopWatch();

  CHttpDown::GlobalInit();
  // An installation cut short by a crash left its staging directory.
  RemoveStaging();
  ReportSigningSettings();
  Update();
  ReadConfig();
  LoadProcessList();
  RemoveStaging();
  StartUpdateThread();

  // One ended program per pass: a pause, then its restart. Children that end
  // during a pause are reaped at once and wait their turn in `ended`; an id
  // whose entry an installation stopped or replaced meanwhile is dropped.
  std::deque<pid_t> ended;
  for (;;) {
    ReapEnded(ended);
    if (ended.empty()) {
      if (HasLiveChildren()) {
        WaitForChildSignal(1000);
        continue;
      }
      ended.push_back(-1);  // nothing to wait for: as wait() failing
    }
    pid_t pid = ended.front();
    ended.pop_front();
    // -1 keeps its pause: it paces the loop when there is nothing to wait for.
    if (pid != -1 && !WaitsOnEnded(pid)) continue;
    PauseReaping(ended);
    RestartEnded(pid);
  }
}
