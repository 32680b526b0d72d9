// The single-instance test: a record "name|pid" of the last process that
// passed it. The record lies in a directory every user may write (/tmp), so
// its text is only ever compared, never run, and no link planted at its path
// is followed.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "ToolHelper.h"
#include "UniqueFd.h"

namespace {

// A real record is a file name, "|" and a process id.
constexpr size_t kMaxRecord = 4096;

// Reads up to limit + 1 bytes of fd into out; false on a read error.
bool ReadUpTo(int fd, size_t limit, std::string* out) {
  char buf[4096];
  while (out->size() <= limit) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out->append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

// The record's text; false when it is missing, not a regular file (a link
// is not followed), not written by this user, unreadable or too long to be a
// record. Another user's file in /tmp is no record of ours: heeding it would
// let anyone keep the supervisor from starting.
bool ReadRecord(const std::string& path, std::string* content) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_uid != geteuid()) return false;
  return ReadUpTo(fd.get(), kMaxRecord, content) && content->size() <= kMaxRecord;
}

// "name|pid" with a non-empty name and a positive decimal pid.
bool ParseRecord(const std::string& content, std::string* name, pid_t* pid) {
  size_t bar = content.find('|');
  if (bar == 0 || bar == std::string::npos || content.find('|', bar + 1) != std::string::npos) {
    return false;
  }
  std::string digits = content.substr(bar + 1);
  if (digits.empty() || digits.size() > 10) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  long value = strtol(digits.c_str(), nullptr, 10);
  if (value <= 0 || value > INT_MAX) return false;
  *name = content.substr(0, bar);
  *pid = static_cast<pid_t>(value);
  return true;
}

// Whether pid is a live process of this user whose command line (arguments
// joined by blanks) contains name. A zombie or a kernel thread has no
// command line; another user's process is no instance of ours.
bool RunsProgram(pid_t pid, const std::string& name) {
  std::string dir = "/proc/" + std::to_string(pid);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || st.st_uid != geteuid()) return false;
  std::string path = dir + "/cmdline";
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string cmdline;
  if (!fd.valid() || !ReadUpTo(fd.get(), SIZE_MAX - 1, &cmdline)) return false;
  while (!cmdline.empty() && cmdline.back() == '\0') cmdline.pop_back();
  for (char& c : cmdline) {
    if (c == '\0') c = ' ';
  }
  return !cmdline.empty() && cmdline.find(name) != std::string::npos;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Writes a new file beside the record and renames it into place: whatever
// stands at the path (a link, another user's file) is replaced, never
// written through, and readers never see half a record.
void WriteRecord(const std::string& path, const std::string& content) {
  std::string temp = path + ".XXXXXX";
  UniqueFd fd(mkostemp(&temp[0], O_CLOEXEC));
  if (!fd.valid()) return;
  bool ok = fchmod(fd.get(), 0644) == 0 && WriteAll(fd.get(), content);
  if (close(fd.release()) != 0) ok = false;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) unlink(temp.c_str());
}

}  // namespace

int qmToolHelper::RunOneProcess(std::string file_name) { return RunOneProcess(file_name, "/tmp/"); }

int qmToolHelper::RunOneProcess(std::string file_name, const std::string& record_dir) {
  const std::string path = record_dir + file_name;
  std::string content, name;
  pid_t pid = 0;
  if (ReadRecord(path, &content) && ParseRecord(content, &name, &pid) && pid != getpid() &&
      RunsProgram(pid, name)) {
    return 0;
  }
  std::string app_path = GetAppPath();
  std::string base = app_path.substr(app_path.rfind('/') + 1);
  WriteRecord(path, base + "|" + std::to_string(getpid()));
  return 1;
}
