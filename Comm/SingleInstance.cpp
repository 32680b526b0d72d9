// The single-instance test. A record in /tmp cannot tell a live supervisor
// from any process that took its pid, and any user can block or spoil it; an
// flock can be held only by a live process that has the file open, is
// dropped by the kernel when that process dies however it dies, and is
// taken by exactly one of two processes that try at once. So the lock
// decides, in a directory only its owner writes, on a file no other user can
// open; the record in /tmp is kept for the scripts that read it.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <utility>

#include "ToolHelper.h"
#include "UniqueFd.h"
#include "WholeIo.h"

namespace {

std::string Why(const char* what, int err) { return std::string(what) + ": " + strerror(err); }

// Writes a new file beside the record and renames it into place: whatever
// stands at the path (a link, another user's file) is replaced, never
// written through, and readers never see half a record. "" or why not.
std::string WriteRecord(const std::string& path, const std::string& content) {
  std::string temp = path + ".XXXXXX";
  UniqueFd fd(mkostemp(&temp[0], O_CLOEXEC));
  if (!fd.valid()) return Why("cannot create a file beside it", errno);
  std::string why;
  if (fchmod(fd.get(), 0644) != 0 || !wholeio::WriteAll(fd.get(), content))
    why = Why("cannot write", errno);
  if (close(fd.release()) != 0 && why.empty()) why = Why("cannot write", errno);
  if (why.empty() && rename(temp.c_str(), path.c_str()) != 0) why = Why("cannot replace", errno);
  if (!why.empty()) unlink(temp.c_str());
  return why;
}

// "name|pid" of this process at path; "" or why it could not be written.
std::string RecordSelf(qmToolHelper& tool, const std::string& path) {
  std::string app_path = tool.GetAppPath();
  std::string base = app_path.substr(app_path.rfind('/') + 1);
  return WriteRecord(path, base + "|" + std::to_string(getpid()));
}

// Opens the lock file as one this user alone can open; "" or why not.
std::string OpenLock(const std::string& path, UniqueFd* fd) {
  if (path.empty()) return "no place for the lock (the executable's directory is unknown)";
  // Non-blocking and no controlling terminal: whatever stands there, the
  // open itself must do nothing.
  fd->reset(
      open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600));
  if (!fd->valid()) {
    return errno == ELOOP ? std::string("a symbolic link stands there") : Why("cannot open", errno);
  }
  struct stat st;
  if (fstat(fd->get(), &st) != 0) return Why("cannot examine", errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  if (st.st_uid != geteuid()) return "owned by another user";
  // Another user who could open it could hold the lock for ever.
  if ((st.st_mode & 07077) != 0 && fchmod(fd->get(), 0600) != 0) {
    return Why("cannot make it private", errno);
  }
  return std::string();
}

// The lock name beside a record name: tavrin.exe gives tavrin.lock.
std::string LockName(const std::string& record_name) {
  size_t dot = record_name.rfind('.');
  return (dot == std::string::npos || dot == 0 ? record_name : record_name.substr(0, dot)) +
         ".lock";
}

// RunOneProcess keeps what it took: its callers have no place for the lock.
// Keyed by process too: a forked child has a copy of the map, but it is not
// the instance and must ask the lock like any other process.
int KeepInstance(qmToolHelper& tool, const std::string& lock_path, const std::string& record_path) {
  static std::mutex held_mutex;
  static std::map<std::pair<pid_t, std::string>, UniqueFd> held;
  std::lock_guard<std::mutex> guard(held_mutex);
  const auto key = std::make_pair(getpid(), lock_path);
  if (held.count(key) != 0) {
    RecordSelf(tool, record_path);  // this process already is the instance
    return 1;
  }
  qmToolHelper::INSTANCE_LOCK instance = tool.TakeInstanceLock(lock_path, record_path);
  if (instance.result != 1) return 0;
  held[key] = std::move(instance.lock);
  return 1;
}

}  // namespace

std::string qmToolHelper::InstanceLockPath(const std::string& lock_name, bool beside_exe) {
  if (!beside_exe && geteuid() == 0) return "/run/" + lock_name;
  std::string dir = GetAppDir();
  return dir.empty() ? std::string() : dir + "/" + lock_name;
}

qmToolHelper::INSTANCE_LOCK qmToolHelper::TakeInstanceLock(const std::string& lock_path,
                                                           const std::string& record_path) {
  INSTANCE_LOCK instance;
  instance.lock_error = OpenLock(lock_path, &instance.lock);
  if (!instance.lock_error.empty()) {
    instance.lock.reset();
    return instance;
  }
  int r;
  do {
    r = flock(instance.lock.get(), LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    if (errno == EWOULDBLOCK) {
      instance.result = 0;
    } else {
      instance.lock_error = Why("cannot lock", errno);
    }
    instance.lock.reset();
    return instance;
  }
  instance.result = 1;
  instance.record_error = RecordSelf(*this, record_path);
  return instance;
}

int qmToolHelper::RunOneProcess(std::string file_name) {
  return KeepInstance(*this, InstanceLockPath(LockName(file_name), false), "/tmp/" + file_name);
}

int qmToolHelper::RunOneProcess(std::string file_name, const std::string& record_dir) {
  return KeepInstance(*this, record_dir + LockName(file_name), record_dir + file_name);
}
