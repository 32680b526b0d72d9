#include "Launcher.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "SingletonBase.h"
#include "ToolHelper.h"

namespace {

// The process umask, read without changing it (umask(2) can only set it).
mode_t CurrentUmask() {
  static const mode_t mask = [] {
    mode_t m = 022;
    if (FILE* f = fopen("/proc/self/status", "re")) {
      char line[256];
      while (fgets(line, sizeof line, f)) {
        unsigned v;
        if (sscanf(line, "Umask: %o", &v) == 1) {
          m = static_cast<mode_t>(v);
          break;
        }
      }
      fclose(f);
    }
    return m;
  }();
  return mask;
}

// What "chmod +x path" does, without a shell; failures are ignored as before.
void MakeExecutable(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return;
  mode_t want = st.st_mode | (0111 & ~CurrentUmask());
  if ((want & 07777) != (st.st_mode & 07777)) chmod(path, want & 07777);
}

// Runs in the child on its own stack, in the supervisor's memory, with every
// signal blocked: only async-signal-safe calls and no allocation.
int ExecChild(void* arg) {
  char** argv = static_cast<char**>(arg);
  qmChildProcess::PrepareExec();
  execv(argv[0], argv);
  _exit(127);
}

// ThreadSanitizer keeps per-thread state (call stack, signal handlers) in
// memory that a child sharing ours would change; its builds use plain fork.
#if defined(__SANITIZE_THREAD__)
#define LAUNCH_WITH_FORK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LAUNCH_WITH_FORK 1
#endif
#endif

#ifdef LAUNCH_WITH_FORK
pid_t SpawnChild(char** argv) {
  pid_t pid = fork();
  if (pid == 0) ExecChild(argv);
  return pid;
}
#else
// The child's own stack while it shares the supervisor's memory. It only
// resets signals, closes descriptors and calls execv.
constexpr size_t kChildStack = 64 * 1024;

// fork, but without copying the supervisor's page tables (and without the
// copy-on-write faults that follow) only to throw them away at execv: the
// child borrows this process's memory, and this thread waits until the child
// has called execv or _exit. Returns the child's id, or -1 as fork does.
pid_t SpawnChild(char** argv) {
  void* stack = mmap(nullptr, kChildStack, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return -1;
  // No handler of ours may run in the child while it shares our memory;
  // PrepareExec resets the dispositions, then gives the child the mask the
  // supervisor was started with.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int saved_errno = errno;
  pid_t pid = clone(ExecChild, static_cast<char*>(stack) + kChildStack,
                    CLONE_VM | CLONE_VFORK | SIGCHLD, argv);
  if (pid > 0) errno = saved_errno;  // the child wrote this thread's errno
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  munmap(stack, kChildStack);
  return pid;
}
#endif

}  // namespace

std::vector<std::string> BuildArguments(const char* path, const char* param_str) {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  std::string cmd_line = param_str;
  while (tool.replace(cmd_line, "  ", " ") != 0) {
  }
  qmToolHelper::RET_STRING_VECTOR ret_str_list;
  tool.StringSubs(cmd_line, " ", ret_str_list);

  std::vector<std::string> argv;
  argv.reserve(ret_str_list.size() + 1);
  argv.push_back(path);
  for (std::string& piece : ret_str_list) argv.push_back(std::move(piece));
  return argv;
}

pid_t RunProcess(const char* path, const char* param_str) {
  if (path == nullptr || param_str == nullptr) return 0;
  MakeExecutable(path);

  std::vector<std::string> args = BuildArguments(path, param_str);
  std::vector<char*> argv_param;
  argv_param.reserve(args.size() + 1);
  for (std::string& a : args) argv_param.push_back(&a[0]);
  argv_param.push_back(nullptr);

  fflush(stdout);
  return SpawnChild(argv_param.data());
}
