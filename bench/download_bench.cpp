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

namespace {

constexpr double kMaxRatio = 1.0;
constexpr long kMaxRssKiB = 32 * 1024;
constexpr int kRuns = 3;

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A scratch directory, removed with everything in it.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char tmpl[] = "/tmp/download_bench.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

// The loopback server, killed by its pid when this goes away.
class Server {
 public:
  Server(const std::string& script, const std::string& root, const std::string& port_file) {
    std::vector<std::string> args = {"/usr/bin/python3", script,   "--root", root,
                                     "--port-file",      port_file};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the bench
      qmChildProcess::PrepareExec();
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid_ < 0) return;
    double deadline = Now() + 20;
    while (Now() < deadline) {
      std::string text = ReadSmallFile(port_file);
      if (!text.empty()) {
        port_ = atoi(text.c_str());
        return;
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Server() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// Writes size pseudo-random bytes to path and its CRC file to path + ".crc".
bool MakeArchive(const std::string& path, DWORD64 size) {
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  uint64_t state = 0x9E3779B97F4A7C15ull ^ size;
  qmCRC crc;
  for (DWORD64 done = 0; done < size;) {
    for (uint64_t& word : block) {
      state ^= state >> 12;
      state ^= state << 25;
      state ^= state >> 27;
      word = state * 0x2545F4914F6CDD1Dull;
    }
    size_t n = static_cast<size_t>(std::min<DWORD64>(size - done, block.size() * 8));
    unsigned char* bytes = reinterpret_cast<unsigned char*>(block.data());
    crc.GetPartCRC(bytes, static_cast<DWORD>(n));
    for (size_t off = 0; off < n;) {
      ssize_t w = write(fd.get(), bytes + off, n - off);
      if (w <= 0) return false;
      off += static_cast<size_t>(w);
    }
    done += n;
  }
  std::ofstream crc_file(path + ".crc");
  crc_file << "{\"crc\":\"" << crc.GetFinallyCrC() << "\"}";
  return static_cast<bool>(crc_file);
}

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

std::string DefaultServerScript() {
  std::filesystem::path here(__FILE__);
  return (here.parent_path().parent_path() / "tests" / "integration" / "http_server.py").string();
}

}  // namespace

int main(int argc, char** argv) {
  CHttpDown::GlobalInit();
  std::string script = argc > 1 ? argv[1] : DefaultServerScript();
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
