// The supervisor's one way to time: the supervision loop, the update thread
// and the log's day clock all go through the current Env, which unit tests
// replace with a fake clock.
#pragma once

#include <time.h>

class Env {
 public:
  virtual ~Env() = default;
  // Milliseconds of a monotonic clock.
  virtual long long NowMs() = 0;
  // Seconds since the epoch (record times, the log file's date).
  virtual time_t WallNow() = 0;
  virtual void SleepMs(unsigned ms) = 0;
  // Returns once a child may have ended or ms have passed. SIGCHLD is blocked
  // in every thread of the supervisor, so a child's end stays pending for it.
  virtual void WaitForChild(long long ms) = 0;
};

// The current Env: the real clocks unless SetEnv installed another.
Env& CurrentEnv();
// Installs env (null: the real one again), also as the log's wall clock.
// Call while no other thread times anything.
void SetEnv(Env* env);
