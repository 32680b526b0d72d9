#include "supervision/Loop.h"

#include <algorithm>

#include "platform/Env.h"
#include "platform/Timing.h"
#include "supervision/ProgramTable.h"

namespace {

// Pauses timing::kRestartPauseMs from now, reaping whatever ends meanwhile.
void PauseReaping(std::deque<pid_t>& ended) {
  Env& env = CurrentEnv();
  long long deadline = env.NowMs() + timing::kRestartPauseMs;
  for (long long left; (left = deadline - env.NowMs()) > 0;) {
    env.WaitForChild(std::min(left, 1000LL));
    ReapEnded(ended);
  }
}

}  // namespace

void SupervisionPass(std::deque<pid_t>& ended) {
  ReapEnded(ended);
  if (ended.empty()) {
    if (HasLiveChildren()) {
      CurrentEnv().WaitForChild(1000);
      return;
    }
    // Nothing to wait for: a pause paces the loop, then a start that failed
    // is tried again.
    PauseReaping(ended);
    RetryFailedStart();
    return;
  }
  pid_t pid = ended.front();
  ended.pop_front();
  if (!WaitsOnEnded(pid)) return;
  PauseReaping(ended);
  RestartEnded(pid);
}
