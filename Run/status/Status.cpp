#include "status/Status.h"

#include <condition_variable>
#include <mutex>

#include "platform/DetachedThread.h"
#include "platform/Env.h"
#include "platform/Files.h"
#include "platform/Report.h"
#include "status/StatusText.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
bool g_dirty = false;        // guarded by g_mutex
SUPERVISOR_STATUS g_status;  // guarded by g_mutex; its programs stay empty
std::string g_metrics_path;  // guarded by g_mutex
std::string g_status_path;   // set once, before the writer starts

// Applies change; when it changed something, the writer writes anew. Checks
// that change nothing (the same version, the same file) cost no write.
template <typename Fn>
void Change(Fn change) {
  bool changed;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    changed = change();
    if (changed) g_dirty = true;
  }
  if (changed) g_changed.notify_one();
}

bool operator==(const CHECK_RECORD& a, const CHECK_RECORD& b) {
  return a.done == b.done && a.time == b.time && a.result == b.result && a.message == b.message;
}

template <typename T>
bool Assign(T& to, const T& value) {
  if (to == value) return false;
  to = value;
  return true;
}

// Writes one file; a failure is reported once, until the file is written
// again. own_parent: the file lies outside the application directory, and
// its folders must be such that nobody else can turn the write elsewhere.
void Publish(const std::string& path, const std::string& text, bool own_parent, bool* failing) {
  std::string why;
  if (own_parent) {
    UniqueFd dir;
    std::string name;
    why = OpenOwnParent(path, &dir, &name);
    if (why.empty()) why = ReplaceFileAt(dir.get(), name, text, 0644, false);
  } else {
    why = ReplaceFile(path, text, 0644, false);
  }
  if (why.empty()) {
    *failing = false;
  } else if (!*failing) {
    *failing = true;
    REPORT_ERROR("status file not written! %s path:%s", Quoted(why).c_str(), Quoted(path).c_str());
  }
}

void* StatusWriterMain(void*) {
  for (;;) StatusWriterPass(g_status_path);
  return nullptr;
}

class TableStatus : public TableObserver {
 public:
  void TableChanged() override { StatusChanged(); }
};

class UpdateStatus : public UpdateObserver {
 public:
  void InstalledVersion(const std::string& crc) override { SetInstalledVersion(crc); }
  void CheckEnded(const CHECK_RECORD& check) override { SetLastCheck(check); }
  void NextCheck(time_t when) override { SetNextCheck(when); }
  void Watch(const std::string& crc, time_t until) override { SetWatch(crc, until); }
  void Confirmed(const std::string& crc, time_t when) override { SetConfirmed(crc, when); }
  void RolledBack(const REJECTED_RELEASE& rollback) override { SetRollback(rollback, true); }
  void Rejected(const REJECTED_RELEASE& rejected) override { SetRollback(rejected, false); }
  void MetricsFile(const std::string& path) override { SetMetricsFile(path); }
  void Rollout(bool seen, double place, double share) override { SetRollout(seen, place, share); }
};

}  // namespace

TableObserver& StatusOfTable() {
  static TableStatus observer;
  return observer;
}

UpdateObserver& StatusOfUpdates() {
  static UpdateStatus observer;
  return observer;
}

void StatusChanged() {
  Change([] { return true; });
}

void SetStatusStart(pid_t pid, time_t started) {
  Change([=] { return Assign(g_status.pid, pid) | Assign(g_status.started, started); });
}

void SetInstalledVersion(const std::string& crc) {
  Change([&crc] { return Assign(g_status.version, crc); });
}

void SetLastCheck(const CHECK_RECORD& check) {
  Change([&check] { return Assign(g_status.last_check, check); });
}

void SetWatch(const std::string& crc, time_t until) {
  Change([&] { return Assign(g_status.watch_crc, crc) | Assign(g_status.watch_until, until); });
}

void SetConfirmed(const std::string& crc, time_t when) {
  Change([&] { return Assign(g_status.confirmed_crc, crc) | Assign(g_status.confirmed_at, when); });
}

void SetRollback(const REJECTED_RELEASE& rollback, bool now) {
  Change([&] {
    g_status.last_rollback = rollback;
    if (now) ++g_status.rollbacks;
    return true;
  });
}

void SetRollout(bool seen, double place, double share) {
  if (!seen) place = share = 0;
  // Told in the middle of a check: lands in the files with the check's own
  // record, which its end writes, rather than with a write of its own that
  // would shift the writer's pauses against the installation.
  std::lock_guard<std::mutex> lock(g_mutex);
  g_status.rollout_seen = seen;
  g_status.rollout_place = place;
  g_status.rollout_share = share;
}

void SetNextCheck(time_t when) {
  Change([=] { return Assign(g_status.next_check, when); });
}

void SetMetricsFile(const std::string& path) {
  Change([&path] { return Assign(g_metrics_path, path); });
}

SUPERVISOR_STATUS TakeStatus() {
  SUPERVISOR_STATUS status;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    status = g_status;
  }
  TableLock table;
  status.programs = table.entries();
  return status;
}

void StatusWriterPass(const std::string& status_path) {
  std::string metrics_path;
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait(lock, [] { return g_dirty; });
    g_dirty = false;
    metrics_path = g_metrics_path;
  }
  // Only this thread writes the files, so the flags need no lock.
  static bool status_failing = false;
  static bool metrics_failing = false;
  static std::string last_metrics_path;
  if (metrics_path != last_metrics_path) {
    metrics_failing = false;
    last_metrics_path = metrics_path;
  }
  SUPERVISOR_STATUS status = TakeStatus();
  Publish(status_path, StatusJson(status), false, &status_failing);
  if (!metrics_path.empty()) Publish(metrics_path, StatusMetrics(status), true, &metrics_failing);
  CurrentEnv().SleepMs(kStatusGapMs);
}

int StartStatusWriter(const std::string& status_path) {
  g_status_path = status_path;
  return StartDetached(StatusWriterMain);
}
