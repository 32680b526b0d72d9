#include "update/Watch.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>

#include "ChildProcess.h"
#include "UniqueFd.h"
#include "platform/Arguments.h"
#include "platform/Env.h"
#include "platform/ProgramEnd.h"
#include "platform/Report.h"
#include "platform/Timing.h"
#include "update/Install.h"
#include "update/Journal.h"
#include "update/Rejected.h"
#include "update/UpdateObserver.h"

namespace {

// A failed release's why when some program failed max_ends times since the
// watch began, else "".
std::string FailedProgram(const std::vector<PROGRAM_FAILURES>& base,
                          const std::vector<PROGRAM_FAILURES>& now, unsigned long max_ends) {
  for (size_t i = 0; i < now.size(); ++i) {
    unsigned long before = i < base.size() && base[i].path == now[i].path ? base[i].failures : 0;
    unsigned long ends = now[i].failures - std::min(before, now[i].failures);
    if (ends >= max_ends)
      return "program " + now[i].path + " ended " + std::to_string(ends) +
             " times within the watch, last " + now[i].last_end;
  }
  return "";
}

// Puts the previous release back because the watch failed it.
void RollBackRelease(ProgramControl& programs, const std::string& app_dir, INSTALL_JOURNAL journal,
                     const std::string& why) {
  Env& env = CurrentEnv();
  REPORT_ERROR("release rolled back! %s crc:%s", Quoted(why).c_str(), Quoted(journal.crc).c_str());
  REJECTED_RELEASE rejected{journal.crc, env.WallNow(), why};
  // Rejected before anything moves: a rollback cut short and finished at the
  // next start leaves the release rejected all the same.
  std::string failed = WriteRejected(app_dir, rejected);
  if (!failed.empty())
    REPORT_ERROR("rejected release not recorded! %s crc:%s", Quoted(failed).c_str(),
                 Quoted(journal.crc).c_str());
  programs.StopAll();
  journal.why = why;
  failed = RollBack(app_dir, journal);
  if (!failed.empty())
    REPORT_ERROR("rollback failed! %s crc:%s", Quoted(failed).c_str(), Quoted(journal.crc).c_str());
  Tell().Watch("", 0);
  Tell().RolledBack(rejected);
  StartRelease(programs, app_dir);  // the previous release's, as after an installation
}

}  // namespace

std::string RunHealthCheck(const std::string& check, const std::string& app_dir) {
  size_t blank = check.find(' ');
  std::string path = app_dir + "/bin/" + check.substr(0, blank);
  std::string param = blank == std::string::npos ? "" : check.substr(blank + 1);
  std::vector<std::string> args = BuildArguments(path.c_str(), param.c_str());
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  UniqueFd null_in(open("/dev/null", O_RDONLY | O_CLOEXEC));
  qmChildProcess::Setup setup;
  setup.stdin_fd = null_in.get();
  setup.own_group = true;  // ended whole when it gives no answer in time
  pid_t pid = qmChildProcess::StartHelper(argv.data(), setup);
  if (pid < 0) return "check " + check + " not started: " + strerror(errno);
  Env& env = CurrentEnv();
  const long long deadline = env.NowMs() + timing::kHealthCheckTimeoutMs;
  int status = 0;
  bool late = false;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      status = -1;
      break;
    }
    if (!late && env.NowMs() >= deadline) {
      late = true;
      kill(-pid, SIGKILL);
    }
    env.SleepMs(10);
  }
  qmChildProcess::ForgetHelper(pid);
  if (late)
    return "check " + check + " gave no answer within " +
           std::to_string(timing::kHealthCheckTimeoutMs / 1000) + " s";
  if (status == -1) return "check " + check + " was not waited for";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return "check " + check + " " + EndText(EndFromStatus(status, 0));
}

std::string WatchRelease(const HEALTH_SETTINGS& health, ProgramControl& programs,
                         const std::string& app_dir, const std::string& crc) {
  Env& env = CurrentEnv();
  const long long start = env.NowMs();
  const long long end = start + static_cast<long long>(health.watch_s) * 1000;
  Tell().Watch(crc, env.WallNow() + static_cast<time_t>(health.watch_s));
  REPORT_NOTICE("release on watch for %lu s! crc:%s", health.watch_s, Quoted(crc).c_str());
  const std::vector<PROGRAM_FAILURES> base = programs.Failures();
  long long next_check = start + timing::kHealthCheckPeriodMs;
  for (;;) {
    std::string why = FailedProgram(base, programs.Failures(), health.max_ends);
    if (!why.empty()) return why;
    long long now = env.NowMs();
    if (now >= end) break;
    if (!health.check.empty() && now >= next_check) {
      why = RunHealthCheck(health.check, app_dir);
      if (!why.empty()) return why;
      next_check = env.NowMs() + timing::kHealthCheckPeriodMs;
    }
    env.SleepMs(static_cast<unsigned>(std::min<long long>(timing::kUpdateTickMs, end - now)));
  }
  // One check more at the end of the watch.
  return health.check.empty() ? "" : RunHealthCheck(health.check, app_dir);
}

bool SettleInstallation(const HEALTH_SETTINGS& health, ProgramControl& programs,
                        const std::string& app_dir) {
  INSTALL_JOURNAL journal;
  std::string why;
  if (ReadJournal(app_dir, &journal, &why) != 1 || journal.phase != JournalPhase::kInstalled)
    return false;
  if (health.on) {
    why = WatchRelease(health, programs, app_dir, journal.crc);
    if (!why.empty()) {
      RollBackRelease(programs, app_dir, journal, why);
      return true;
    }
    REPORT_NOTICE("release confirmed after its watch! crc:%s", Quoted(journal.crc).c_str());
    Tell().Watch("", 0);
    Tell().Confirmed(journal.crc, CurrentEnv().WallNow());
  }
  ConfirmInstallation(app_dir);
  return false;
}
