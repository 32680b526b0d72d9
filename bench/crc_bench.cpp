// How fast `monitor crc <file>` is against zlib's crc32() and a plain read,
// on a 1 GiB file (and then its first 256 MiB) in the page cache.
// Usage: crc_bench [path to monitor]   (default: ../monitor beside this binary)
// Exits non-zero when monitor is slower than zlib or its CRC differs.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "BenchPaths.h"
#include "ChildProcess.h"
#include "Crc32Fast.h"
#include "UniqueFd.h"
#include "WholeIo.h"

namespace {

constexpr size_t kMiB = size_t(1) << 20;
constexpr size_t kReadBlock = kMiB;
constexpr int kRounds = 5;

// Reads the file in 1 MiB blocks; with zlib, also takes its CRC.
bool ReadFile(const std::string& path, bool with_zlib, std::vector<unsigned char>& buf,
              uLong* crc) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  uLong c = crc32(0L, Z_NULL, 0);
  for (;;) {
    ssize_t r = read(fd.get(), buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    if (with_zlib) c = crc32(c, buf.data(), uInt(r));
  }
  if (crc) *crc = c;
  return true;
}

bool RunMonitor(const std::string& monitor, const std::string& path, unsigned long* crc) {
  std::string out;
  int status = qmChildProcess::Run({monitor, "crc", path}, &out);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  size_t nl = out.find('\n');
  if (out.compare(0, 7, "qm crc:") != 0 || nl == std::string::npos) return false;
  *crc = strtoul(out.c_str() + nl + 1, nullptr, 10);
  return out.substr(7, nl - 7) == out.substr(nl + 1);
}

struct Result {
  double ours = 1e9, zlib = 1e9, plain = 1e9;
  bool ok = true;
};

Result Measure(const std::string& monitor, const std::string& path, std::vector<unsigned char>& buf,
               int rounds) {
  Result r;
  uLong want = 0;
  r.ok = ReadFile(path, true, buf, &want);  // warms the page cache
  for (int i = 0; r.ok && i < rounds; ++i) {
    unsigned long got = 0;
    uLong z = 0;
    double t0 = BenchNow();
    bool ran = RunMonitor(monitor, path, &got);
    double t1 = BenchNow();
    bool zl = ReadFile(path, true, buf, &z);
    double t2 = BenchNow();
    bool rd = ReadFile(path, false, buf, nullptr);
    double t3 = BenchNow();
    if (!ran || !zl || !rd || got != want || z != want) {
      fprintf(stderr, "run %d: monitor %s, crc %lu, zlib %lu\n", i, ran ? "ran" : "failed", got,
              (unsigned long)want);
      r.ok = false;
    }
    r.ours = std::min(r.ours, t1 - t0);
    r.zlib = std::min(r.zlib, t2 - t1);
    r.plain = std::min(r.plain, t3 - t2);
  }
  return r;
}

void Print(const char* title, size_t size, const Result& r) {
  const double gb = double(size) / 1e9;
  printf("%s (best of %d)\n", title, kRounds);
  printf("  %-26s %8s %8s\n", "", "time s", "GB/s");
  printf("  %-26s %8.3f %8.2f\n", "monitor crc", r.ours, gb / r.ours);
  printf("  %-26s %8.3f %8.2f\n", "zlib crc32(), 1 MiB reads", r.zlib, gb / r.zlib);
  printf("  %-26s %8.3f %8.2f\n", "plain read, 1 MiB reads", r.plain, gb / r.plain);
  printf("  our time / zlib's:  %.2f (%.1f times zlib's speed)\n", r.ours / r.zlib,
         r.zlib / r.ours);
  printf("  our time / read's:  %.2f (%.0f %% of the read rate)\n", r.ours / r.plain,
         100.0 * r.plain / r.ours);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string monitor = argc > 1 ? argv[1] : DefaultMonitorPath();
  if (access(monitor.c_str(), X_OK) != 0) {
    fprintf(stderr, "no executable monitor at %s\n", monitor.c_str());
    return 1;
  }
  const size_t big = 1024 * kMiB, small = 256 * kMiB;
  char dir_template[] = "/tmp/crc_bench.XXXXXX";
  struct statvfs vfs;
  if (statvfs("/tmp", &vfs) != 0 || double(vfs.f_bavail) * vfs.f_frsize < 1.5 * double(big)) {
    fprintf(stderr, "less than 1.5 GiB free in /tmp\n");
    return 1;
  }
  if (!mkdtemp(dir_template)) {
    perror("mkdtemp");
    return 1;
  }
  const std::string dir = dir_template, path = dir + "/data";

  std::vector<unsigned char> buf(kReadBlock);
  Result r1, r2;
  bool ok = WriteRandomFile(path, big);
  if (ok) {
    printf("CRC kernel chosen on this processor: %s\n", crc32fast::AutoKernelName());
    r1 = Measure(monitor, path, buf, kRounds);
    ok = r1.ok && truncate(path.c_str(), off_t(small)) == 0;
  }
  if (ok) {
    r2 = Measure(monitor, path, buf, kRounds);
    ok = r2.ok;
  }
  unlink(path.c_str());
  rmdir(dir.c_str());
  if (!ok) {
    fprintf(stderr, "crc_bench: could not write, read or check the test file\n");
    return 1;
  }
  Print("CRC-32 of a 1 GiB file in the page cache", big, r1);
  Print("CRC-32 of a 256 MiB file in the page cache", small, r2);
  if (r1.ours > r1.zlib) {
    printf("FAIL: monitor crc is slower than zlib on 1 GiB\n");
    return 1;
  }
  printf("OK: monitor crc is at least as fast as zlib on 1 GiB\n");
  return 0;
}
