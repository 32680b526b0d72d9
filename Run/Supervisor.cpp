#include "Supervisor.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>

#include "HttpDown.h"
#include "Install.h"
#include "Launcher.h"
#include "ProgramList.h"
#include "Report.h"
#include "SingletonBase.h"
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

int SingleInstanceTest() {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  if (timing::kRecordInAppDir) return tool.RunOneProcess("tavrin.exe", tool.GetAppDir() + "/");
  return tool.RunOneProcess("tavrin.exe");
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
  for (PRO_INFO& info : m_all_process) {
    if (!info.running || !Reaped(info.pid)) continue;
    info.running = false;
    if (!info.stopped) ended.push_back(info.pid);
  }
  std::vector<pid_t>& retired = RetiredChildren();
  retired.erase(std::remove_if(retired.begin(), retired.end(), Reaped), retired.end());
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
    if (info.run_tick != kUnlimitedRuns) --info.run_tick;
    REPORT_ERROR("restart pid : %u path:%s \n", static_cast<unsigned>(pid), info.path.c_str());
    info.pid = RunProcess(info.path.c_str(), info.param_str.c_str());
    info.running = info.pid > 0;
    return true;
  }
  return false;
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

  CHttpDown::GlobalInit();
  // An installation cut short by a crash left its staging directory.
  RemoveTree(SingletonBase<qmToolHelper>::Instance().GetAppDir() + "/" + kStagingName);
  Update();
  ReadConfig();
  LoadProcessList();
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
