// Records per second written to the day's log file from two threads, against a
// plain fprintf + fflush loop appending records of the same form to that file.
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "CommLog.h"

namespace {

constexpr int kThreads = 2;
constexpr int kRecordsPerThread = 50000;
constexpr int kRounds = 3;

template <typename Writer>
double RecordsPerSecond(Writer writer) {
  double best = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    std::thread threads[kThreads];
    for (int t = 0; t < kThreads; ++t) threads[t] = std::thread(writer, t);
    for (std::thread& t : threads) t.join();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::max(best, kThreads * kRecordsPerThread / took.count());
  }
  return best;
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/log_bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  std::string dir = std::string(tmpl) + "/";

  COMMUSE::ComPrintLog log;
  log.SetLogPath(dir.c_str());
  double logged = RecordsPerSecond([&](int t) {
    for (int i = 0; i < kRecordsPerThread; ++i) {
      log.LogForce_A(0, 2, "<QMLOG>[%s : %d] bench record %d of thread %d", __FILE__, __LINE__, i,
                     t);
    }
  });

  // The file the log wrote to today.
  std::string day_file;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file()) day_file = entry.path().string();
  }
  FILE* f = fopen(day_file.c_str(), "abe");
  if (f == nullptr) {
    perror("fopen");
    return 1;
  }
  double plain = RecordsPerSecond([&](int t) {
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    unsigned tid = static_cast<unsigned>(syscall(SYS_gettid));
    for (int i = 0; i < kRecordsPerThread; ++i) {
      flockfile(f);
      fprintf(f, "\n[PID:%d,TID:%u] [%02d:%02d:%02d] <QMLOG>[%s : %d] bench record %d of thread %d",
              getpid(), tid, tm.tm_hour, tm.tm_min, tm.tm_sec, __FILE__, __LINE__, i, t);
      fflush(f);
      funlockfile(f);
    }
  });
  fclose(f);
  std::filesystem::remove_all(tmpl);

  printf("log file records, %d threads:      %.0f records/s\n", kThreads, logged);
  printf("fprintf+fflush to the same file:    %.0f records/s\n", plain);
  printf("ratio (log / fprintf+fflush):       %.2f\n", logged / plain);
  return 0;
}
