// A 100 MB archive over a link that carries a third of it in one check's
// archive time limit (4 s in this benchmark's build, as in monitor-fast):
// the updater's fetch, check after check, until the part is whole and its
// CRC matches. Shows the checks needed, the bytes the server sent divided by
// the archive's size (target: at most 1.05), and the transfer time of all
// checks against one fetch of the same archive at the same rate without a
// time limit.
//
// Usage: resume_bench [path/to/http_server.py]
#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "BenchLoopback.h"
#include "CommLog.h"
#include "HttpDown.h"
#include "UniqueFd.h"
#include "platform/Timing.h"
#include "update/ResumeDownload.h"

namespace {

constexpr DWORD64 kArchiveSize = 100ull * 1000 * 1000;
constexpr double kMaxBytesRatio = 1.05;
constexpr int kMaxChecks = 20;
const char kName[] = "update-100m.gz";

// Body bytes the server logged as sent for the archive, once every response
// it logged has its count (a cut response is counted when its write fails).
DWORD64 SentBytes(const std::string& log_path, int responses) {
  for (double deadline = bench::Now() + 10; bench::Now() < deadline;) {
    std::istringstream log(bench::ReadSmallFile(log_path));
    DWORD64 sent = 0;
    int counted = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.compare(0, 2, "=\t") != 0) continue;
      sent += std::stoull(line.substr(line.rfind('\t') + 1));
      ++counted;
    }
    if (counted >= responses) return sent;
    usleep(20000);
  }
  return 0;
}

std::string CrcText(const std::string& path) { return qmCRC().GetFileCRCNum(path, nullptr, 0, 0); }

std::string PublishedCrc(const std::string& crc_file) {
  std::string text = bench::ReadSmallFile(crc_file);
  size_t colon = text.find(':');
  size_t open = text.find('"', colon);
  size_t close = text.find('"', open + 1);
  return text.substr(open + 1, close - open - 1);
}

}  // namespace

int main(int argc, char** argv) {
  CHttpDown::GlobalInit();
  std::string script = argc > 1 ? argv[1] : bench::DefaultServerScript();
  bench::ScratchDir scratch;
  if (scratch.path.empty() || access(script.c_str(), R_OK) != 0) {
    fprintf(stderr, "needs a scratch directory and %s\n", script.c_str());
    return 2;
  }
  std::string root = scratch.path + "/root";
  std::string out = scratch.path + "/out";
  mkdir(root.c_str(), 0755);
  mkdir(out.c_str(), 0755);
  COMMUSE::ComPrintLog::GetInstance().SetLogPath((out + "/").c_str());

  const double limit = timing::kArchiveTimeoutS;
  // A third of the archive in 95% of one check's limit: the rest of the
  // limit is left for connecting and the first byte.
  const DWORD64 rate = static_cast<DWORD64>(kArchiveSize / 3.0 / (0.95 * limit));
  std::string archive = root + "/" + kName;
  if (!bench::MakeArchive(archive, kArchiveSize)) return 2;
  std::ofstream(archive + ".behaviour") << "throttle " << rate << "\n";
  std::string crc = PublishedCrc(archive + ".crc");

  std::string log_path = scratch.path + "/requests.log";
  bench::Server server(script, root, scratch.path + "/port", log_path);
  if (server.port() == 0) {
    fprintf(stderr, "the loopback server did not start\n");
    return 2;
  }
  std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/" + kName;

  // Check after check, as the update thread would, without the pause between.
  std::string part = out + "/update.gz.part";
  int checks = 0;
  int result = -1;
  double transfer_s = 0;
  while (result != 0 && checks < kMaxChecks) {
    ++checks;
    double t0 = bench::Now();
    result = FetchArchive(url, crc, part);
    transfer_s += bench::Now() - t0;
  }
  double t0 = bench::Now();
  bool verified = result == 0 && CrcText(part) == crc;
  double verify_s = bench::Now() - t0;
  DWORD64 sent = SentBytes(log_path, checks);

  // The same archive at the same rate in one fetch without a time limit.
  std::string whole = out + "/whole";
  UniqueFd fd(open(whole.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  RANGE_FETCH fetch;
  t0 = bench::Now();
  int one = fd.valid() ? CHttpDown().DownloadRange(url, fd.get(), 0, &fetch) : -2;
  double one_s = bench::Now() - t0;
  fd.reset();

  double ratio = static_cast<double>(sent) / kArchiveSize;
  bool pass = verified && one == 0 && ratio <= kMaxBytesRatio;
  printf("resumed download of a %.0f MB archive over a link of %.2f MB/s, %.0f s per check\n",
         kArchiveSize / 1e6, rate / 1e6, limit);
  printf("  checks needed            %d%s\n", checks, verified ? "" : " (NOT COMPLETE)");
  printf("  bytes sent / archive     %.4f (%llu bytes; target <= %.2f)\n", ratio,
         static_cast<unsigned long long>(sent), kMaxBytesRatio);
  printf("  transfer time, all checks %.2f s + %.2f s CRC check\n", transfer_s, verify_s);
  printf("  one fetch without limit  %.2f s%s\n", one_s, one == 0 ? "" : " (FAILED)");
  printf("  time ratio               %.3f\n", (transfer_s + verify_s) / one_s);
  printf("  with a check every 30 min: installed %d min after the first check\n",
         (checks - 1) * 30);
  printf("targets: %s\n", pass ? "met" : "MISSED");
  return pass ? 0 : 1;
}
