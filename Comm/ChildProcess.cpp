#include "ChildProcess.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "UniqueFd.h"
#include "WholeIo.h"

namespace {

// What the process was started with. Written once before any thread exists,
// read by children after fork, so plain arrays and no allocation.
constexpr int kMaxInherited = 256;
int g_inherited_fds[kMaxInherited];
int g_inherited_count = 0;
bool g_ignored_at_start[NSIG];
// All zero bits: the empty set, for children when nothing was noted.
sigset_t g_mask_at_start;

std::mutex& HelperMutex() {
  static std::mutex m;
  return m;
}
std::set<pid_t>& Helpers() {
  static std::set<pid_t> s;
  return s;
}

// Closes [from, to]; async-signal-safe.
void CloseRange(unsigned from, unsigned to) {
  if (from > to) return;
  if (syscall(SYS_close_range, from, to, 0) == 0) return;
  unsigned last = std::min(to, 65535u);
  for (unsigned fd = from; fd <= last; ++fd) close(static_cast<int>(fd));
}

}  // namespace

void qmChildProcess::NoteInheritance() {
  g_inherited_count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    int own = dirfd(dir);
    while (dirent* e = readdir(dir)) {
      char* end = nullptr;
      long fd = strtol(e->d_name, &end, 10);
      if (end == e->d_name || *end != '\0' || fd == own || fd <= 2) continue;
      if (g_inherited_count < kMaxInherited)
        g_inherited_fds[g_inherited_count++] = static_cast<int>(fd);
    }
    closedir(dir);
  }
  std::sort(g_inherited_fds, g_inherited_fds + g_inherited_count);
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction old {};
    g_ignored_at_start[sig] = sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
  }
  // Whatever the supervisor blocks later for its own use (SIGCHLD, the stop
  // signals) is not in it, unless it was blocked at start already.
  sigprocmask(SIG_SETMASK, nullptr, &g_mask_at_start);
}

void qmChildProcess::PrepareExec() {
  struct sigaction act {};
  sigemptyset(&act.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    act.sa_handler = g_ignored_at_start[sig] ? SIG_IGN : SIG_DFL;
    sigaction(sig, &act, nullptr);
  }
  sigprocmask(SIG_SETMASK, &g_mask_at_start, nullptr);

  unsigned next = 3;
  for (int i = 0; i < g_inherited_count; ++i) {
    unsigned keep = static_cast<unsigned>(g_inherited_fds[i]);
    if (keep > next) CloseRange(next, keep - 1);
    next = keep + 1;
  }
  CloseRange(next, ~0u);
}

bool qmChildProcess::ReapOrphans(bool (*owned)(pid_t)) {
  // Helpers are registered under this lock in the same step as their start, and
  // only the helper's owner reaps it: while the lock is held, an ended child
  // that is not registered is no helper, and nobody else reaps it before us.
  std::lock_guard<std::mutex> lock(HelperMutex());
  for (;;) {
    siginfo_t info{};
    // WNOWAIT: only look, since the child may be someone else's to reap.
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      if (errno == EINTR) continue;
      return false;  // ECHILD: no children at all
    }
    pid_t pid = info.si_pid;
    if (pid == 0 || Helpers().count(pid) != 0) return false;
    if (owned(pid)) return true;
    siginfo_t gone{};
    while (waitid(P_PID, static_cast<id_t>(pid), &gone, WEXITED | WNOHANG) != 0 && errno == EINTR) {
    }
  }
}

namespace {

// Starts argv as a helper and waits for it. It is registered under the lock
// in the same step as its start, so that ReapOrphans never sees it end
// unregistered. With take, the child's standard output goes to take as it
// comes; once take returns false nothing more is read and the child (its
// whole group, with own_group) is killed. Returns the wait status, or -1.
int RunHelper(char* const argv[], qmChildProcess::Setup setup,
              const std::function<bool(const char*, size_t)>* take) {
  UniqueFd rd, wr;
  if (take) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    rd.reset(fds[0]);
    wr.reset(fds[1]);
    setup.stdout_fd = wr.get();
  }
  fflush(stdout);  // what we printed before comes before the child's output

  pid_t pid;
  {
    std::lock_guard<std::mutex> lock(HelperMutex());
    pid = qmChildProcess::Start(argv, setup);
    if (pid < 0) return -1;
    Helpers().insert(pid);
  }
  wr.reset();

  if (take && wholeio::ReadEach(rd.get(), *take) == 0) {
    // The child is not reaped yet, so its id still names it and its group.
    kill(setup.own_group ? -pid : pid, SIGKILL);
  }
  rd.reset();

  int status = -1;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r != pid) status = -1;

  std::lock_guard<std::mutex> lock(HelperMutex());
  Helpers().erase(pid);
  return status;
}

}  // namespace

int qmChildProcess::Run(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (!output) return RunHelper(args.data(), Setup{}, nullptr);
  std::function<bool(const char*, size_t)> take = [output](const char* data, size_t len) {
    output->append(data, len);
    return true;
  };
  return RunHelper(args.data(), Setup{}, &take);
}

pid_t qmChildProcess::StartHelper(char* const argv[], const Setup& setup) {
  fflush(stdout);
  std::lock_guard<std::mutex> lock(HelperMutex());
  pid_t pid = Start(argv, setup);
  if (pid > 0) Helpers().insert(pid);
  return pid;
}

void qmChildProcess::ForgetHelper(pid_t pid) {
  std::lock_guard<std::mutex> lock(HelperMutex());
  Helpers().erase(pid);
}

int qmChildProcess::RunShell(const std::string& command, std::string* output) {
  return Run({"/bin/sh", "-c", command}, output);
}

int qmChildProcess::RunShellWhile(const std::string& command,
                                  const std::function<bool(const char*, size_t)>& take) {
  const char* args[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  UniqueFd null_in(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!null_in.valid()) return -1;
  Setup setup;
  setup.stdin_fd = null_in.get();
  setup.own_group = true;
  return RunHelper(const_cast<char* const*>(args), setup, &take);
}
