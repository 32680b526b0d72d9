#include "platform/Env.h"

#include <signal.h>

#include <atomic>

#include "CommLogClock.h"
#include "SingletonBase.h"
#include "ToolHelper.h"

namespace {

class RealEnv : public Env {
 public:
  long long NowMs() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
  }
  time_t WallNow() override { return time(nullptr); }
  void SleepMs(unsigned ms) override { SingletonBase<qmToolHelper>::Instance().Sleep(ms); }
  void WaitForChild(long long ms) override {
    if (ms <= 0) return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    sigtimedwait(&set, nullptr, &ts);
  }
};

RealEnv g_real;
std::atomic<Env*> g_env{&g_real};

time_t EnvWallNow() { return CurrentEnv().WallNow(); }

}  // namespace

Env& CurrentEnv() { return *g_env.load(std::memory_order_acquire); }

void SetEnv(Env* env) {
  g_env.store(env ? env : &g_real, std::memory_order_release);
  commlog::SetClock(env ? &EnvWallNow : nullptr);
}
