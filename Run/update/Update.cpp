#include "update/Update.h"

#include <atomic>

#include "CRC.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "platform/AppFiles.h"
#include "platform/DetachedThread.h"
#include "platform/Env.h"
#include "platform/Files.h"
#include "platform/ReportCapture.h"
#include "update/Check.h"
#include "update/Install.h"
#include "update/UpdateSettings.h"
#include "update/Watch.h"

namespace {

std::atomic<ProgramControl*> g_programs{nullptr};

std::string AppDir() { return SingletonBase<qmToolHelper>::Instance().GetAppDir(); }

std::string AppPath(const char* name) {
  return SingletonBase<qmToolHelper>::Instance().GetAppDir() + "/" + name;
}

}  // namespace

void SetUpdatePrograms(ProgramControl* programs) {
  g_programs.store(programs, std::memory_order_release);
}

ProgramControl& UpdatePrograms() {
  ProgramControl* programs = g_programs.load(std::memory_order_acquire);
  return programs ? *programs : SupervisedPrograms();
}

int Update() {
  UPDATE_SETTINGS settings = ReadUpdateSettings();
  Tell().MetricsFile(MetricsFile(settings));
  return Check(settings, UpdatePrograms());
}

int RecordedCheck(int (*check)(), unsigned long long next_in_ms) {
  int result;
  CHECK_RECORD record;
  {
    ReportCapture capture;
    result = check();
    record.message = capture.Message();
  }
  Env& env = CurrentEnv();
  record.done = true;
  record.time = env.WallNow();
  record.result = result;
  if (result == kUpdateInstalled) next_in_ms += 2ULL * timing::kInstallPauseMs;
  // The next check's time first: a status written between the two never
  // shows this check beside the time of the check it followed.
  Tell().NextCheck(record.time + static_cast<time_t>(next_in_ms / 1000));
  Tell().CheckEnded(record);
  return result;
}

std::string InstalledVersion() {
  return std::to_string(qmCRC().GetFileCRCNumber(AppPath(appfiles::kArchive), nullptr, 0, 0));
}

void RemoveStaging() { RemoveTree(AppPath(appfiles::kStaging)); }

void RunUpdateChecks(int (*check)(), bool (*go_on)()) {
  Env& env = CurrentEnv();
  // An installation the start-up made, or one not confirmed before the
  // last stop: watched (or confirmed) before the first periodic check.
  SettleInstallation(Health(ReadUpdateSettings()), UpdatePrograms(), AppDir());
  int ntick = 0;
  while (go_on()) {
    if (ntick > timing::kUpdateTicks - 1) {
      ntick = 0;
      if (RecordedCheck(check, UpdatePeriodMs()) == kUpdateInstalled) {
        ProgramControl& programs = UpdatePrograms();
        StartRelease(programs, AppDir());
        SettleInstallation(Health(ReadUpdateSettings()), programs, AppDir());
        // The period is counted from here.
        Tell().NextCheck(env.WallNow() + static_cast<time_t>(UpdatePeriodMs() / 1000));
      }
    }
    ++ntick;
    env.SleepMs(timing::kUpdateTickMs);
  }
}

void* update_main(void*) {
  RunUpdateChecks(Update, [] { return true; });
  return nullptr;
}

int StartUpdateThread() { return StartDetached(update_main); }
