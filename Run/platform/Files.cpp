#include "platform/Files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "WholeIo.h"

namespace {

std::string Why(const char* step) { return std::string(step) + ": " + strerror(errno); }

// Users other than root and this process's may write in the folder st.
bool OthersMayWrite(const struct stat& st) {
  if (st.st_mode & S_ISVTX) return false;  // they can remove only their own
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return true;
  return st.st_uid != 0 && st.st_uid != geteuid();
}

}  // namespace

std::string ReplaceFileAt(int dir_fd, const std::string& name, const std::string& text, mode_t mode,
                          bool sync) {
  std::string tmp = name + ".tmp";
  if (unlinkat(dir_fd, tmp.c_str(), 0) != 0 && errno != ENOENT)
    return Why("cannot remove the temporary file");
  UniqueFd fd(
      openat(dir_fd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) return Why("cannot create the temporary file");
  std::string why;
  if (!wholeio::WriteAll(fd.get(), text)) {
    why = Why("cannot write");
  } else if (sync && fsync(fd.get()) != 0) {
    why = Why("cannot sync");
  }
  if (close(fd.release()) != 0 && why.empty()) why = Why("cannot write");
  if (why.empty() && renameat(dir_fd, tmp.c_str(), dir_fd, name.c_str()) != 0)
    why = Why("cannot rename");
  if (!why.empty()) unlinkat(dir_fd, tmp.c_str(), 0);
  return why;
}

std::string OpenOwnParent(const std::string& path, UniqueFd* dir, std::string* name) {
  if (path.empty() || path[0] != '/') return "not an absolute path";
  std::vector<std::string> parts;
  for (size_t start = 1; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") return "a \"..\" on the way";
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  if (parts.empty() || path.back() == '/') return "not a file name";
  UniqueFd fd(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string walked = "/";
  for (size_t i = 0;; ++i) {
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) return Why(("cannot open " + walked).c_str());
    if (OthersMayWrite(st)) return "a folder on the way that other users may write: " + walked;
    if (i + 1 == parts.size()) break;
    UniqueFd next(
        openat(fd.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    walked += (walked.size() > 1 ? "/" : "") + parts[i];
    struct stat link;
    if (!next.valid() && fstatat(fd.get(), parts[i].c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(link.st_mode))
      return "a symbolic link on the way: " + walked;
    if (!next.valid()) return Why(("cannot open " + walked).c_str());
    fd = std::move(next);
  }
  *dir = std::move(fd);
  *name = parts.back();
  return "";
}

int ReadOwnFile(const std::string& path, size_t max, std::string* text) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? 0 : -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > max)
    return -1;
  std::string data;
  int end = wholeio::ReadEach(fd.get(), [&data, max](const char* piece, size_t n) {
    if (n > max - data.size()) return false;  // grown meanwhile
    data.append(piece, n);
    return true;
  });
  if (end != 1) return -1;
  *text = std::move(data);
  return 1;
}

bool SyncDir(const std::string& dir) {
  UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && fsync(fd.get()) == 0;
}

UniqueFd OpenDirAt(int parent, const std::string& name) {
  return UniqueFd(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The names in the directory on fd, without "." and "..", sorted.
std::vector<std::string> ListDir(int fd) {
  std::vector<std::string> names;
  int copy = dup(fd);
  if (copy < 0) return names;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    close(copy);
    return names;
  }
  rewinddir(dir);
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// Empties the directory on fd.
bool ClearDir(int fd) {
  bool ok = true;
  for (const std::string& name : ListDir(fd)) {
    if (unlinkat(fd, name.c_str(), 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) {
      ok = ok && errno == ENOENT;
      continue;
    }
    UniqueFd sub = OpenDirAt(fd, name);
    if (!sub.valid() || !ClearDir(sub.get()) || unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0)
      ok = false;
  }
  return ok;
}

}  // namespace

bool RemoveTree(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return false;
  bool cleared = ClearDir(fd.get());
  return cleared && (rmdir(path.c_str()) == 0 || errno == ENOENT);
}
