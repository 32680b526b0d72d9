// What one program launch costs: RunProcess (chmod, the child started with its
// preparation, execv) and waitpid, against posix_spawn and waitpid of the same
// program with the same arguments. Both run in alternating rounds so that the
// machine's load falls on both alike.
// Usage: launch_bench   Exits non-zero when a launch takes more than 1.3 times
// posix_spawn's time, or when a launched program did not run to its end.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "UniqueFd.h"
#include "WholeIo.h"
#include "supervision/Launcher.h"

extern char** environ;

namespace {

constexpr int kLaunches = 200;
constexpr int kRoundSize = 10;
constexpr int kWarmUp = 20;
constexpr int kShellLaunches = 50;
constexpr double kTargetRatio = 1.3;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool CopyFile(const char* from, const std::string& to, mode_t mode) {
  UniqueFd in(open(from, O_RDONLY | O_CLOEXEC));
  UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!in.valid() || !out.valid()) return false;
  int end = wholeio::ReadEach(in.get(), [&out](const char* data, size_t n) {
    return wholeio::WriteAll(out.get(), data, n);
  });
  return end == 1 && fchmod(out.get(), mode) == 0;
}

// True when pid ran to a clean end (exit status 0).
bool EndedWell(pid_t pid) {
  if (pid <= 0) return false;
  int status;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  return r == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool LaunchOnce(const std::string& path) { return EndedWell(RunProcess(path.c_str(), "")); }

// The same argument vector as RunProcess(path, ""): the path and one empty argument.
bool SpawnOnce(const std::string& path) {
  char empty[] = "";
  std::string arg0 = path;
  char* argv[] = {&arg0[0], empty, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
  return EndedWell(pid);
}

// The launch as it once was: a shell runs chmod, then the program starts.
bool ShellChmodOnce(const std::string& path) {
  std::string cmd = "chmod +x " + path;
  if (system(cmd.c_str()) != 0) return false;
  return SpawnOnce(path);
}

// Runs once() n times; returns the seconds taken, or -1 when a run failed.
template <typename F>
double Time(int n, F once) {
  double t0 = Now();
  for (int i = 0; i < n; ++i)
    if (!once()) return -1;
  return Now() - t0;
}

}  // namespace

int main() {
  qmChildProcess::NoteInheritance();  // as the supervisor does first thing

  char dir_template[] = "/tmp/launch_bench.XXXXXX";
  if (!mkdtemp(dir_template)) {
    perror("mkdtemp");
    return 1;
  }
  const std::string dir = dir_template, program = dir + "/true";
  // Without its execute bits, so that the first chmod has work to do.
  bool ok = CopyFile("/bin/true", program, 0644);
  if (!ok) fprintf(stderr, "launch_bench: cannot copy /bin/true to %s\n", program.c_str());

  auto launch = [&] { return LaunchOnce(program); };
  auto spawn = [&] { return SpawnOnce(program); };
  double ours = 0, bare = 0, shell = -1;
  if (ok) ok = Time(kWarmUp, launch) >= 0 && Time(kWarmUp, spawn) >= 0;
  // Alternating rounds, each side first in every other round.
  for (int round = 0; ok && round < kLaunches / kRoundSize; ++round) {
    double a, b;
    if (round % 2 == 0) {
      a = Time(kRoundSize, launch);
      b = Time(kRoundSize, spawn);
    } else {
      b = Time(kRoundSize, spawn);
      a = Time(kRoundSize, launch);
    }
    ok = a >= 0 && b >= 0;
    ours += a;
    bare += b;
  }
  if (ok) shell = Time(kShellLaunches, [&] { return ShellChmodOnce(program); });

  unlink(program.c_str());
  rmdir(dir.c_str());
  if (!ok) {
    fprintf(stderr, "launch_bench: a launched program did not run to a clean end\n");
    return 1;
  }

  const double ms_ours = 1e3 * ours / kLaunches, ms_bare = 1e3 * bare / kLaunches;
  const double ratio = ours / bare;
  printf("Launch of a copy of /bin/true and waitpid, mean of %d each, alternating rounds of %d\n",
         kLaunches, kRoundSize);
  printf("  %-36s %10s\n", "", "ms/launch");
  printf("  %-36s %10.3f\n", "RunProcess (chmod, start, execv)", ms_ours);
  printf("  %-36s %10.3f\n", "posix_spawn", ms_bare);
  if (shell >= 0)
    printf("  %-36s %10.3f   (for reference, %d runs)\n", "shell chmod +x, then posix_spawn",
           1e3 * shell / kShellLaunches, kShellLaunches);
  printf("  RunProcess / posix_spawn: %.2f (target: at most %.1f)\n", ratio, kTargetRatio);
  if (ratio > kTargetRatio) {
    printf("FAIL: a launch takes %.2f times posix_spawn's time\n", ratio);
    return 1;
  }
  printf("OK: a launch takes at most %.1f times posix_spawn's time\n", kTargetRatio);
  return 0;
}
