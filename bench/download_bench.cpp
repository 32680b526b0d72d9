// Installation of an update from a loopback server: the supervisor's own
// Update() (CRC file, download into the part, CRC check, staging with
// libarchive, inspection, moves into place), run by a copy of this benchmark
// in a scratch application directory, against `curl -o` of the same archive
// followed by `tar xzf` of it, with the peak resident memory of the process
// doing the installation. Targets: at most curl and tar's time, under
// 32 MiB resident.
//
// Usage: download_bench [path/to/http_server.py [MiB]]   (MiB: one archive of that size)
//        download_bench --install   (the worker, in its application directory)
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchLoopback.h"
#include "CRC.h"
#include "ChildProcess.h"
#include "HttpDown.h"
#include "update/Check.h"
#include "update/Update.h"

namespace {

namespace fs = std::filesystem;

constexpr double kMaxRatio = 1.0;
constexpr long kMaxRssKiB = 32 * 1024;
constexpr int kRuns = 3;

using bench::Now;

bool Ok(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// A gzip tar of one file of size pseudo-random bytes, data/blob, at path,
// with its CRC file at path + ".crc".
bool MakeUpdate(const std::string& work, const std::string& path, DWORD64 size) {
  fs::create_directories(work + "/src/data");
  std::string tar = work + "/update.tar";
  if (!bench::MakeArchive(work + "/src/data/blob", size)) return false;
  fs::remove(work + "/src/data/blob.crc");
  if (!Ok(qmChildProcess::Run({"/bin/tar", "-cf", tar, "-C", work + "/src", "data"}, nullptr)))
    return false;
  fs::remove_all(work + "/src");
  // Level 1: random bytes do not shrink, and the archive is made once per run.
  gzFile gz = gzopen(path.c_str(), "wb1");
  std::ifstream in(tar, std::ios::binary);
  std::vector<char> buf(1 << 20);
  bool ok = gz != nullptr && in;
  while (ok && in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    std::streamsize n = in.gcount();
    if (n > 0 && gzwrite(gz, buf.data(), static_cast<unsigned>(n)) != n) ok = false;
  }
  if (gz != nullptr && gzclose(gz) != Z_OK) ok = false;
  fs::remove(tar);
  std::ofstream(path + ".crc") << "{\"crc\":\"" << qmCRC().GetFileCRCNum(path, nullptr, 0, 0)
                               << "\"}";
  return ok;
}

struct Measure {
  double seconds = 0;
  long rss_kib = 0;
  bool ok = false;
};

Measure RunCurlAndTar(const std::string& url, const std::string& work) {
  Measure m;
  std::string out = work + "/curl.out", dir = work + "/unpacked";
  fs::create_directories(dir);
  double t0 = Now();
  m.ok = Ok(qmChildProcess::Run({"/usr/bin/curl", "-s", "-o", out, url}, nullptr)) &&
         Ok(qmChildProcess::Run({"/bin/tar", "xzf", out, "-C", dir}, nullptr));
  m.seconds = Now() - t0;
  fs::remove(out);
  fs::remove_all(dir);
  return m;
}

// A fresh application directory with a copy of this executable and the
// update settings; the copy installs once (Update()) and exits.
Measure RunSupervisor(const std::string& url, const std::string& work) {
  Measure m;
  std::string app = work + "/app";
  fs::remove_all(app);
  fs::create_directories(app);
  std::error_code ec;
  fs::copy_file("/proc/self/exe", app + "/download_bench", ec);
  if (ec) return m;
  fs::permissions(app + "/download_bench", fs::perms::owner_all);
  std::ofstream(app + "/config.json") << "{\"url\":\"" << url << "\"}";
  fflush(stdout);
  double t0 = Now();
  pid_t pid = fork();
  if (pid == 0) {
    // The supervisor's console goes to a file: the table stays readable.
    int out = open((app + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    execl((app + "/download_bench").c_str(), "download_bench", "--install", nullptr);
    _exit(127);
  }
  int status = -1;
  rusage ru{};
  if (pid > 0 && wait4(pid, &status, 0, &ru) == pid) {
    m.seconds = Now() - t0;
    m.rss_kib = ru.ru_maxrss;
    m.ok = Ok(status) && fs::exists(app + "/data/blob");
    if (!m.ok)
      fprintf(stderr, "installation failed: status %d (see %s/console.txt)\n", status, app.c_str());
  }
  if (m.ok) fs::remove_all(app);
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  CHttpDown::GlobalInit();
  if (argc > 1 && strcmp(argv[1], "--install") == 0) return Update() == kUpdateInstalled ? 0 : 1;

  std::string script = argc > 1 ? argv[1] : bench::DefaultServerScript();
  if (access(script.c_str(), R_OK) != 0 || access("/usr/bin/curl", X_OK) != 0) {
    fprintf(stderr, "needs %s and /usr/bin/curl\n", script.c_str());
    return 2;
  }
  bench::ScratchDir scratch;
  if (scratch.path.empty()) return 2;
  std::string root = scratch.path + "/root";
  mkdir(root.c_str(), 0755);

  struct Size {
    std::string label;
    std::string name;
    DWORD64 size;
  };
  std::vector<Size> sizes = {{"256 MiB", "update-256m.gz", 256ull << 20},
                             {"1 GiB", "update-1g.gz", 1ull << 30}};
  if (argc > 2) {
    DWORD64 mib = strtoull(argv[2], nullptr, 10);
    sizes = {{std::to_string(mib) + " MiB", "update-custom.gz", mib << 20}};
  }
  for (const auto& s : sizes) {
    if (!MakeUpdate(scratch.path, root + "/" + s.name, s.size)) {
      fprintf(stderr, "cannot write the archives under %s\n", root.c_str());
      return 2;
    }
  }

  bench::Server server(script, root, scratch.path + "/port");
  if (server.port() == 0) {
    fprintf(stderr, "the loopback server did not start\n");
    return 2;
  }

  printf("installation from a loopback server, best of %d\n", kRuns);
  printf("%-8s %12s %9s %12s %9s %7s %10s\n", "archive", "curl+tar", "MB/s", "Update()", "MB/s",
         "ratio", "peak RSS");
  bool pass = true;
  for (const auto& s : sizes) {
    std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/" + s.name;
    Measure base_best, ours_best;
    for (int run = 0; run < kRuns; ++run) {
      Measure c = RunCurlAndTar(url, scratch.path);
      Measure o = RunSupervisor(url, scratch.path);
      if (!c.ok || !o.ok) {
        fprintf(stderr, "%s: an installation failed (curl+tar %d, Update() %d)\n", s.label.c_str(),
                c.ok, o.ok);
        return 1;
      }
      if (run == 0 || c.seconds < base_best.seconds) base_best = c;
      if (run == 0 || o.seconds < ours_best.seconds) ours_best.seconds = o.seconds;
      if (o.rss_kib > ours_best.rss_kib) ours_best.rss_kib = o.rss_kib;
    }
    double mb = s.size / 1e6;
    double ratio = ours_best.seconds / base_best.seconds;
    double rss_mib = ours_best.rss_kib / 1024.0;
    bool ok = ratio <= kMaxRatio && ours_best.rss_kib < kMaxRssKiB;
    pass = pass && ok;
    printf("%-8s %10.3f s %9.0f %10.3f s %9.0f %7.2f %6.1f MiB%s\n", s.label.c_str(),
           base_best.seconds, mb / base_best.seconds, ours_best.seconds, mb / ours_best.seconds,
           ratio, rss_mib, ok ? "" : "  MISSED");
  }
  printf("targets: ratio <= %.1f, peak RSS < %ld MiB: %s\n", kMaxRatio, kMaxRssKiB / 1024,
         pass ? "met" : "MISSED");
  return pass ? 0 : 1;
}
