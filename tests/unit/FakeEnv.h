// A fake clock for the supervisor's Env: time moves only when the code under
// test sleeps or waits, by exactly what it asked for, and each sleep or wait
// can be looked at as it happens.
#pragma once

#include <time.h>

#include <functional>

#include "platform/Env.h"

class FakeEnv : public Env {
 public:
  long long now = 0;  // ms
  // Called before the clock moves by ms.
  std::function<void(unsigned ms)> on_sleep;
  std::function<void(long long ms)> on_wait;

  // The wall clock starts at wall_base (the real time by default).
  explicit FakeEnv(time_t wall_base = time(nullptr)) : wall_base_(wall_base) { SetEnv(this); }
  ~FakeEnv() override { SetEnv(nullptr); }

  long long NowMs() override { return now; }
  time_t WallNow() override { return wall_base_ + static_cast<time_t>(now / 1000); }
  void SleepMs(unsigned ms) override {
    if (on_sleep) on_sleep(ms);
    now += ms;
  }
  void WaitForChild(long long ms) override {
    if (ms <= 0) return;
    if (on_wait) on_wait(ms);
    now += ms;
  }

 private:
  time_t wall_base_;
};
