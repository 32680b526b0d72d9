#include "supervision/FirstProcess.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "platform/DetachedThread.h"
#include "platform/Report.h"
#include "platform/Timing.h"
#include "supervision/ProgramTable.h"

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

void* WatchForStop(void*) {
  sigset_t set = StopSignals();
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  REPORT_NOTICE("signal %d: ending the programs and the supervisor", sig);
  EndProgramsForGood(timing::kStopGraceMs, timing::kKillWaitMs);
  fflush(stdout);
  // Not exit(): the other threads still use what its destructors would free.
  _exit(0);
}

}  // namespace

int StartStopWatch() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return StartDetached(WatchForStop);
}
