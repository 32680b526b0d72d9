#include "update/PartFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool OwnRegularFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

UniqueFd ReopenPart(const std::string& path, DWORD64* size) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  UniqueFd fd(open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || !OwnRegularFile(fd.get()) || fstat(fd.get(), &st) != 0) return UniqueFd();
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return UniqueFd();
  *size = static_cast<DWORD64>(st.st_size);
  return fd;
}

UniqueFd CreatePart(const std::string& path) {
  if (!RemoveTree(path)) return UniqueFd();
  return UniqueFd(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
}
