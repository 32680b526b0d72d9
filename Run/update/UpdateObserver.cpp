#include "update/UpdateObserver.h"

#include <atomic>

namespace {

class NoObserver : public UpdateObserver {
 public:
  void InstalledVersion(const std::string&) override {}
  void CheckEnded(const CHECK_RECORD&) override {}
  void NextCheck(time_t) override {}
  void MetricsFile(const std::string&) override {}
  void Watch(const std::string&, time_t) override {}
  void Confirmed(const std::string&, time_t) override {}
  void RolledBack(const REJECTED_RELEASE&) override {}
  void Rejected(const REJECTED_RELEASE&) override {}
  void Rollout(bool, double, double) override {}
};

NoObserver g_nobody;
std::atomic<UpdateObserver*> g_observer{&g_nobody};

}  // namespace

void SetUpdateObserver(UpdateObserver* observer) {
  g_observer.store(observer ? observer : &g_nobody, std::memory_order_release);
}

UpdateObserver& Tell() { return *g_observer.load(std::memory_order_acquire); }
