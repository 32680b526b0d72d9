#include "Supervisor.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "HttpDown.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "platform/AppFiles.h"
#include "platform/BuildSetting.h"
#include "platform/Env.h"
#include "platform/Report.h"
#include "platform/Timing.h"
#include "status/Status.h"
#include "supervision/FirstProcess.h"
#include "supervision/Loop.h"
#include "supervision/ProgramList.h"
#include "supervision/ProgramTable.h"
#include "update/Install.h"
#include "update/Rejected.h"
#include "update/SignedUpdate.h"
#include "update/Update.h"
#include "update/UpdateSettings.h"

namespace {

// 1 when this process is the one supervisor, 0 when another one runs. A lock
// that cannot be used ends the process with status 1: without it, nothing
// tells whether a second supervisor would start every program twice.
int SingleInstanceTest() {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  const std::string record =
      (build::kInstanceFilesInAppDir ? tool.GetAppDir() + "/" : std::string("/tmp/")) +
      appfiles::kInstanceRecord;
  const std::string lock_path =
      tool.InstanceLockPath(appfiles::kInstanceLock, build::kInstanceFilesInAppDir);
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

// The supervisor does not go on without one of its threads: it would
// neither update nor tell what runs. The programs it started end with it,
// so that the supervisor started next does not run them twice.
void QuitUnlessStarted(int err, const char* thread) {
  if (err == 0) return;
  REPORT_ERROR("%s thread not started! %s", thread, strerror(err));
  EndProgramsForGood(timing::kStopGraceMs, timing::kKillWaitMs);
  fflush(stdout);
  _exit(1);
}

}  // namespace

void RunSupervisor() {
  // Settled now, before an installation can move the executable.
  SingletonBase<qmToolHelper>::Instance().GetAppDir();
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
  if (IsFirstProcess()) QuitUnlessStarted(StartStopWatch(), "stop watch");

  CHttpDown::GlobalInit();
  // Written by the one supervisor only, from now on.
  SetStatusStart(getpid(), CurrentEnv().WallNow());
  // The status hears of every change in the table and of every check.
  SetTableObserver(&StatusOfTable());
  SetUpdateObserver(&StatusOfUpdates());
  const std::string app_dir = SingletonBase<qmToolHelper>::Instance().GetAppDir();
  // An installation or a rollback cut short by a crash is finished (or
  // undone) from what is on disk, before the first check and before any
  // program starts, without the network. A staging folder without a
  // journal was never moved from.
  FinishInterrupted(app_dir);
  RemoveStaging();
  REJECTED_RELEASE rejected;
  if (ReadRejected(app_dir, &rejected)) StatusOfUpdates().Rejected(rejected);
  SetInstalledVersion(InstalledVersion());
  UPDATE_SETTINGS settings = ReadUpdateSettings();
  SetMetricsFile(MetricsFile(settings));
  QuitUnlessStarted(StartStatusWriter(app_dir + "/" + appfiles::kStatus), "status writer");
  ReportSigningSettings(settings);
  RecordedCheck(Update, UpdatePeriodMs());
  ReadConfig();
  LoadProcessList();
  RemoveStaging();
  QuitUnlessStarted(StartUpdateThread(), "update");

  std::deque<pid_t> ended;
  for (;;) SupervisionPass(ended);
}
