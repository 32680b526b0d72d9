// The supervisor at rest: resident memory and CPU time of the production
// monitor over 60 s while it supervises 100 long-running programs, in a
// scratch application directory without update settings.
// Usage: idle_bench [path to monitor]   (default: ../monitor beside this binary)
// Exits non-zero when the supervisor holds 8 MiB or more, uses 0.1 % of one
// core or more, or could not be measured. The supervisor and its programs are
// ended afterwards, also on failure and on SIGINT, SIGTERM or SIGHUP.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchPaths.h"
#include "UniqueFd.h"
#include "WholeIo.h"

extern char** environ;

namespace {

constexpr int kPrograms = 100;
constexpr double kStartLimitS = 60;
constexpr double kSettleS = 5;
constexpr double kSampleS = 60;
constexpr double kRssTargetMiB = 8;
constexpr double kCpuTargetPercent = 0.1;
// The production build's single-instance record.
const char* const kRecord = "/tmp/tavrin.exe";

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Sleeps s seconds; false when a stop signal came first.
bool Pause(double s) {
  for (double end = Now() + s; !g_stop;) {
    double left = end - Now();
    if (left <= 0) return true;
    left = std::min(left, 0.1);
    timespec ts{time_t(left), long((left - time_t(left)) * 1e9)};
    nanosleep(&ts, nullptr);
  }
  return false;
}

bool ReadWhole(const std::string& path, std::string* out) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return false;
  return wholeio::ReadEach(fd.get(), [out](const char* data, size_t n) {
           out->append(data, n);
           return true;
         }) == 1;
}

// Writes a new file and renames it into place.
bool WriteFileAs(const std::string& path, const std::string& text, mode_t mode) {
  std::string temp = path + ".XXXXXX";
  UniqueFd fd(mkostemp(&temp[0], O_CLOEXEC));
  if (!fd.valid()) return false;
  bool ok = fchmod(fd.get(), mode) == 0 && wholeio::WriteAll(fd.get(), text);
  if (close(fd.release()) != 0) ok = false;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::string data;
  return ReadWhole(from, &data) && WriteFileAs(to, data, 0755);
}

// Fields of /proc/<pid>/stat after the command name: [0] is the state (field 3).
std::vector<std::string> StatFields(pid_t pid) {
  std::string text;
  std::vector<std::string> fields;
  if (!ReadWhole("/proc/" + std::to_string(pid) + "/stat", &text)) return fields;
  size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return fields;
  size_t pos = close_paren + 2;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    fields.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return fields;
}

std::string Command(pid_t pid) {
  std::string comm;
  ReadWhole("/proc/" + std::to_string(pid) + "/comm", &comm);
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

// Live (not zombie) processes whose parent is parent.
std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  DIR* dir = opendir("/proc");
  if (!dir) return children;
  while (dirent* e = readdir(dir)) {
    char* end;
    long pid = strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0') continue;
    std::vector<std::string> f = StatFields(pid_t(pid));
    if (f.size() > 1 && f[0] != "Z" && atol(f[1].c_str()) == parent) children.push_back(pid_t(pid));
  }
  closedir(dir);
  return children;
}

int CountPrograms(pid_t monitor) {
  int n = 0;
  for (pid_t pid : ChildrenOf(monitor))
    if (Command(pid) == "sleep") ++n;
  return n;
}

// kB value of a line of /proc/<pid>/status, or -1.
long StatusKb(pid_t pid, const char* key) {
  std::string text;
  if (!ReadWhole("/proc/" + std::to_string(pid) + "/status", &text)) return -1;
  size_t at = text.find(std::string("\n") + key + ":");
  if (at == std::string::npos) return -1;
  return atol(text.c_str() + at + strlen(key) + 2);
}

struct CpuSample {
  double user_s = 0, system_s = 0;  // all threads, from /proc/<pid>/stat
  double run_s = 0;                 // sum of the live threads' schedstat, ns precision
  long switches = 0;                // voluntary and involuntary, live threads
  int threads = 0;
  bool ok = false;
};

CpuSample SampleCpu(pid_t pid) {
  CpuSample s;
  std::vector<std::string> f = StatFields(pid);
  if (f.size() < 13) return s;
  const double tick = double(sysconf(_SC_CLK_TCK));
  s.user_s = atof(f[11].c_str()) / tick;    // utime, field 14
  s.system_s = atof(f[12].c_str()) / tick;  // stime, field 15
  const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* dir = opendir(task_dir.c_str())) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      std::string sched, status;
      if (ReadWhole(task_dir + "/" + e->d_name + "/schedstat", &sched))
        s.run_s += atof(sched.c_str()) / 1e9;
      if (ReadWhole(task_dir + "/" + e->d_name + "/status", &status)) {
        for (const char* key : {"\nvoluntary_ctxt_switches:", "\nnonvoluntary_ctxt_switches:"}) {
          size_t at = status.find(key);
          if (at != std::string::npos) s.switches += atol(status.c_str() + at + strlen(key));
        }
      }
      ++s.threads;
    }
    closedir(dir);
  }
  s.ok = true;
  return s;
}

// Keeps the single-instance record as it was before the bench: restored, or
// removed when there was none.
class RecordKeeper {
 public:
  RecordKeeper() { had_ = ReadWhole(kRecord, &saved_); }
  ~RecordKeeper() {
    if (!had_) {
      unlink(kRecord);
    } else if (!WriteFileAs(kRecord, saved_, 0644)) {
      fprintf(stderr, "idle_bench: could not restore %s (it held \"%s\")\n", kRecord,
              saved_.c_str());
    }
  }
  RecordKeeper(const RecordKeeper&) = delete;
  RecordKeeper& operator=(const RecordKeeper&) = delete;

  // The process id of a live supervisor recorded there, or 0.
  pid_t LiveSupervisor() const {
    size_t bar = saved_.find('|');
    if (!had_ || bar == std::string::npos || bar == 0) return 0;
    pid_t pid = pid_t(atol(saved_.c_str() + bar + 1));
    std::string cmdline;
    if (pid <= 0 || !ReadWhole("/proc/" + std::to_string(pid) + "/cmdline", &cmdline)) return 0;
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    return cmdline.find(saved_.substr(0, bar)) != std::string::npos ? pid : 0;
  }

 private:
  bool had_ = false;
  std::string saved_;
};

// The scratch application directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/idle_bench.XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
  }
  ~ScratchDir() {
    if (!path_.empty()) RemoveTree(path_);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  static void RemoveTree(const std::string& path) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string child = path + "/" + name;
        struct stat st;
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          RemoveTree(child);
        } else {
          unlink(child.c_str());
        }
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  }
  std::string path_;
};

// The supervisor, started in a session (and process group) of its own. This
// process is a subreaper, so programs the supervisor leaves behind become its
// children; the destructor ends the group, the supervisor and every child left.
class Supervisor {
 public:
  Supervisor(const std::string& exe, const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    std::string arg0 = exe;
    char* argv[] = {&arg0[0], nullptr};
    if (posix_spawn(&pid_, exe.c_str(), &actions, &attr, argv, environ) != 0) pid_ = 0;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Supervisor() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);  // its session's process group: it and its programs
    kill(pid_, SIGKILL);
    if (!ended_) waitpid(pid_, nullptr, 0);
    // Its orphans are this process's children now: a program that left the
    // group, or one started as the group was signalled.
    const double deadline = Now() + 10;
    for (;;) {
      for (pid_t child : ChildrenOf(getpid())) kill(child, SIGKILL);
      pid_t r;
      while ((r = waitpid(-1, nullptr, WNOHANG)) > 0) {
      }
      if ((r < 0 && errno == ECHILD) || Now() > deadline) break;  // no child left
      timespec ts{0, 20 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    }
  }
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  pid_t pid() const { return pid_; }
  // False once it has ended (and then it is reaped).
  bool Alive() {
    if (ended_) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) ended_ = true;
    return !ended_;
  }

 private:
  pid_t pid_ = 0;
  bool ended_ = false;
};

std::string ProgramList() {
  std::string json = "{\"list\":[";
  for (int i = 0; i < kPrograms; ++i)
    json += std::string(i ? "," : "") + "{\"path\":\"sleep\",\"param\":\"600\",\"run\":0}";
  return json + "]}";
}

void ShowOutput(const std::string& path) {
  std::string text;
  ReadWhole(path, &text);
  if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
  fprintf(stderr, "supervisor output (%s):\n%s\n", path.c_str(), text.c_str());
}

int Measure(const std::string& monitor) {
  RecordKeeper record;
  if (pid_t other = record.LiveSupervisor()) {
    fprintf(stderr,
            "idle_bench: a supervisor runs as process %d (recorded in %s); a second one would "
            "quit at once. Stop it first.\n",
            int(other), kRecord);
    return 1;
  }
  ScratchDir app;
  if (app.path().empty()) {
    perror("idle_bench: mkdtemp");
    return 1;
  }
  const std::string exe = app.path() + "/monitor", output = app.path() + "/monitor.out";
  if (mkdir((app.path() + "/bin").c_str(), 0755) != 0 || !CopyFile(monitor, exe) ||
      !CopyFile("/bin/sleep", app.path() + "/bin/sleep") ||
      !WriteFileAs(app.path() + "/bin/config.json", ProgramList(), 0644)) {
    fprintf(stderr, "idle_bench: cannot lay out the application directory %s\n",
            app.path().c_str());
    return 1;
  }

  Supervisor sup(exe, output);
  if (sup.pid() <= 0) {
    fprintf(stderr, "idle_bench: cannot start %s\n", exe.c_str());
    return 1;
  }
  const double started = Now();
  int running = 0;
  while (!g_stop && sup.Alive() && (running = CountPrograms(sup.pid())) < kPrograms &&
         Now() - started < kStartLimitS)
    Pause(0.1);
  const double start_s = Now() - started;
  if (g_stop) return 130;
  if (!sup.Alive() || running < kPrograms) {
    fprintf(stderr, "idle_bench: %s; %d of %d programs ran after %.1f s\n",
            sup.Alive() ? "the programs did not all start" : "the supervisor ended", running,
            kPrograms, start_s);
    ShowOutput(output);
    return 1;
  }
  if (!Pause(kSettleS)) return 130;

  const CpuSample before = SampleCpu(sup.pid());
  const long rss_before = StatusKb(sup.pid(), "VmRSS");
  long rss_max = rss_before;
  const double t0 = Now();
  while (Now() - t0 < kSampleS) {
    if (!Pause(std::min(1.0, kSampleS - (Now() - t0)))) return 130;
    rss_max = std::max(rss_max, StatusKb(sup.pid(), "VmRSS"));
  }
  const double window = Now() - t0;
  const CpuSample after = SampleCpu(sup.pid());
  const long rss_after = StatusKb(sup.pid(), "VmRSS");
  const long hwm = StatusKb(sup.pid(), "VmHWM");
  const long rss_anon = StatusKb(sup.pid(), "RssAnon"), rss_file = StatusKb(sup.pid(), "RssFile");
  const int running_after = CountPrograms(sup.pid());
  if (!sup.Alive() || !before.ok || !after.ok || rss_before < 0 || rss_after < 0) {
    fprintf(stderr, "idle_bench: the supervisor ended during the measurement\n");
    ShowOutput(output);
    return 1;
  }

  const double cpu = (after.user_s + after.system_s) - (before.user_s + before.system_s);
  const double run = after.run_s - before.run_s;
  // Clock ticks are 10 ms, a sixth of the target over 60 s: judge by the larger.
  const double cpu_percent = 100 * std::max(cpu, run) / window;
  const double rss_max_mib = double(rss_max) / 1024;
  printf(
      "Idle supervisor: production monitor, %d programs (sleep 600), %.0f s after %.1f s "
      "to start them all and %.0f s to settle\n",
      kPrograms, window, start_s, kSettleS);
  printf("  resident memory (VmRSS) at start, end, largest: %.2f, %.2f, %.2f MiB\n",
         double(rss_before) / 1024, double(rss_after) / 1024, rss_max_mib);
  printf("  of it at the end: anonymous %.2f MiB, mapped files (executable, libraries) %.2f MiB\n",
         double(rss_anon) / 1024, double(rss_file) / 1024);
  printf("  peak resident memory since start (VmHWM):      %.2f MiB\n", double(hwm) / 1024);
  printf("  CPU time, utime + stime of all threads:        %.3f s (%.3f user, %.3f system)\n", cpu,
         after.user_s - before.user_s, after.system_s - before.system_s);
  printf("  CPU time, threads' run time (schedstat):       %.4f s\n", run);
  printf("  share of one core:                             %.3f %% (ticks), %.4f %% (schedstat)\n",
         100 * cpu / window, 100 * run / window);
  printf("  threads %d, context switches %.1f per second, programs running at the end %d\n",
         after.threads, double(after.switches - before.switches) / window, running_after);

  bool ok = true;
  if (rss_max_mib >= kRssTargetMiB) {
    printf("FAIL: resident memory %.2f MiB, target under %.0f MiB\n", rss_max_mib, kRssTargetMiB);
    ok = false;
  }
  if (cpu_percent >= kCpuTargetPercent) {
    printf("FAIL: %.3f %% of one core, target under %.1f %%\n", cpu_percent, kCpuTargetPercent);
    ok = false;
  }
  if (running_after != kPrograms) {
    printf("FAIL: %d of %d programs still ran at the end\n", running_after, kPrograms);
    ok = false;
  }
  if (ok)
    printf("OK: under %.0f MiB resident and under %.1f %% of one core\n", kRssTargetMiB,
           kCpuTargetPercent);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string monitor = argc > 1 ? argv[1] : DefaultMonitorPath();
  if (access(monitor.c_str(), X_OK) != 0) {
    fprintf(stderr, "idle_bench: no executable monitor at %s\n", monitor.c_str());
    return 1;
  }
  struct sigaction act {};
  act.sa_handler = OnStopSignal;
  sigemptyset(&act.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &act, nullptr);
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    perror("idle_bench: prctl(PR_SET_CHILD_SUBREAPER)");
    return 1;
  }
  int status = Measure(monitor);
  if (status == 130) fprintf(stderr, "idle_bench: stopped; supervisor and programs ended\n");
  return status;
}
