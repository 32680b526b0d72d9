#include "WholeIo.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

namespace wholeio {

namespace {

constexpr size_t kMaxPath = 1 << 16;

// Calls fill with buffers from 1 KiB, doubling while it answers that the
// buffer was too small (-1); fill returns the answer's length, or -2.
std::string Grow(const std::function<ssize_t(char*, size_t)>& fill) {
  std::string buf(1024, '\0');
  for (;;) {
    ssize_t n = fill(&buf[0], buf.size());
    if (n >= 0) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    if (n != -1 || buf.size() >= kMaxPath) return std::string();
    buf.resize(buf.size() * 2);
  }
}

}  // namespace

bool WriteAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  for (size_t done = 0; done < len;) {
    ssize_t n = write(fd, p + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

size_t WriteAllAt(int fd, const void* data, size_t len, off_t offset) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd, p + done, len - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

int ReadEach(int fd, const std::function<bool(const char*, size_t)>& take) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      if (!take(buf, static_cast<size_t>(n))) return 0;
    } else if (n == 0) {
      return 1;
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

std::string ReadLink(const char* path) {
  return Grow([path](char* buf, size_t size) -> ssize_t {
    ssize_t n = readlink(path, buf, size);
    if (n < 0) return -2;
    // A full buffer may hold a cut answer: read again with a larger one.
    return static_cast<size_t>(n) < size ? n : -1;
  });
}

std::string CurrentDir() {
  return Grow([](char* buf, size_t size) -> ssize_t {
    if (getcwd(buf, size) != nullptr) return static_cast<ssize_t>(strlen(buf));
    return errno == ERANGE ? -1 : -2;
  });
}

}  // namespace wholeio
