// Download of an update archive from a loopback server: the supervisor's
// download-verify-write (CRC file, streamed download with a running CRC,
// comparison with the published CRC, rename into place) against `curl -o` of
// the same file in the same run, with the peak resident memory of the
// process doing it. Targets: at most curl's time, under 32 MiB resident.
//
// Usage: download_bench [path/to/http_server.py]
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CRC.h"
#include "ChildProcess.h"
#include "HttpDown.h"
#include "Json.h"
#include "UniqueFd.h"
#include "BenchLoopback.h"

namespace {

constexpr double kMaxRatio = 1.0;
constexpr long kMaxRssKiB = 32 * 1024;
constexpr int kRuns = 3;

using bench::MakeArchive;
using bench::Now;
using bench::ScratchDir;
using bench::Server;

// What the updater does for one archive: fetch the published CRC, stream the
// archive into a temporary file with a running CRC, compare, rename into
// place. Runs in its own process; returns its exit status.
int DownloadVerifyWrite(const std::string& url, const std::string& path) {
  CHttpDown http;
  CJson json;
  std::string published;
  if (json.LoadJson(http.OpenURL(url + ".crc", 5).c_str()) != 0 ||
      json.GetValue("crc", published) != 0)
    return 2;
  std::string tmp = path + ".download";
  DWORD crc = 0;
  if (http.DownloadToFile(url, tmp, 120, nullptr, &crc) != 0) {
    unlink(tmp.c_str());
    return 3;
  }
  char text[16];
  snprintf(text, sizeof text, "%u", crc);
  if (published.size() != strlen(text) || strncasecmp(text, published.c_str(), strlen(text)) != 0) {
    unlink(tmp.c_str());
    return 4;
  }
  return rename(tmp.c_str(), path.c_str()) == 0 ? 0 : 5;
}

struct Measure {
  double seconds = 0;
  long rss_kib = 0;
  bool ok = false;
};

Measure RunCurl(const std::string& url, const std::string& out) {
  Measure m;
  double t0 = Now();
  int status = qmChildProcess::Run({"/usr/bin/curl", "-s", "-o", out, url}, nullptr);
  m.seconds = Now() - t0;
  m.ok = status == 0;
  unlink(out.c_str());
  return m;
}

Measure RunSupervisor(const std::string& url, const std::string& out) {
  Measure m;
  fflush(stdout);
  double t0 = Now();
  pid_t pid = fork();
  if (pid == 0) _exit(DownloadVerifyWrite(url, out));
  int status = -1;
  rusage ru{};
  if (pid > 0 && wait4(pid, &status, 0, &ru) == pid) {
    m.seconds = Now() - t0;
    m.rss_kib = ru.ru_maxrss;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!m.ok) fprintf(stderr, "download-verify-write failed: status %d\n", status);
  }
  unlink(out.c_str());
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  CHttpDown::GlobalInit();
  std::string script = argc > 1 ? argv[1] : bench::DefaultServerScript();
  if (access(script.c_str(), R_OK) != 0 || access("/usr/bin/curl", X_OK) != 0) {
    fprintf(stderr, "needs %s and /usr/bin/curl\n", script.c_str());
    return 2;
  }
  ScratchDir scratch;
  if (scratch.path.empty()) return 2;
  std::string root = scratch.path + "/root";
  std::string out_dir = scratch.path + "/out";
  mkdir(root.c_str(), 0755);
  mkdir(out_dir.c_str(), 0755);

  const struct {
    const char* label;
    const char* name;
    DWORD64 size;
  } sizes[] = {{"256 MiB", "update-256m.gz", 256ull << 20}, {"1 GiB", "update-1g.gz", 1ull << 30}};
  for (const auto& s : sizes) {
    if (!MakeArchive(root + "/" + s.name, s.size)) {
      fprintf(stderr, "cannot write the archives under %s\n", root.c_str());
      return 2;
    }
  }

  Server server(script, root, scratch.path + "/port");
  if (server.port() == 0) {
    fprintf(stderr, "the loopback server did not start\n");
    return 2;
  }

  printf("download-verify-write from a loopback server, best of %d\n", kRuns);
  printf("%-8s %10s %9s %12s %9s %7s %10s\n", "archive", "curl -o", "MB/s", "supervisor", "MB/s",
         "ratio", "peak RSS");
  bool pass = true;
  for (const auto& s : sizes) {
    std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/" + s.name;
    Measure curl_best, ours_best;
    for (int run = 0; run < kRuns; ++run) {
      Measure c = RunCurl(url, out_dir + "/curl.out");
      Measure o = RunSupervisor(url, out_dir + "/update.gz");
      if (!c.ok || !o.ok) {
        fprintf(stderr, "%s: a download failed (curl %d, supervisor %d)\n", s.label, c.ok, o.ok);
        return 1;
      }
      if (run == 0 || c.seconds < curl_best.seconds) curl_best = c;
      if (run == 0 || o.seconds < ours_best.seconds) ours_best.seconds = o.seconds;
      if (o.rss_kib > ours_best.rss_kib) ours_best.rss_kib = o.rss_kib;
    }
    double mb = s.size / 1e6;
    double ratio = ours_best.seconds / curl_best.seconds;
    double rss_mib = ours_best.rss_kib / 1024.0;
    bool ok = ratio <= kMaxRatio && ours_best.rss_kib < kMaxRssKiB;
    pass = pass && ok;
    printf("%-8s %8.3f s %9.0f %10.3f s %9.0f %7.2f %6.1f MiB%s\n", s.label, curl_best.seconds,
           mb / curl_best.seconds, ours_best.seconds, mb / ours_best.seconds, ratio, rss_mib,
           ok ? "" : "  MISSED");
  }
  printf("targets: ratio <= %.1f, peak RSS < %ld MiB: %s\n", kMaxRatio, kMaxRssKiB / 1024,
         pass ? "met" : "MISSED");
  return pass ? 0 : 1;
}
