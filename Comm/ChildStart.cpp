// The one way the system starts a child: the launcher's programs and the
// toolkit's helper commands alike.
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include "ChildProcess.h"

namespace {

struct ChildStart {
  char* const* argv;
  qmChildProcess::Setup setup;
};

// Runs in the child, which may share the supervisor's memory with every
// signal blocked: only async-signal-safe calls and no allocation.
int ExecChild(void* arg) {
  const ChildStart& start = *static_cast<const ChildStart*>(arg);
  if (start.setup.own_group) setpgid(0, 0);
  if (start.setup.stdin_fd >= 0 && dup2(start.setup.stdin_fd, STDIN_FILENO) < 0) _exit(127);
  if (start.setup.stdout_fd >= 0 && dup2(start.setup.stdout_fd, STDOUT_FILENO) < 0) _exit(127);
  qmChildProcess::PrepareExec();
  execv(start.argv[0], start.argv);
  _exit(127);
}

// ThreadSanitizer keeps per-thread state (call stack, signal handlers) in
// memory that a child sharing ours would change; its builds use plain fork.
#if defined(__SANITIZE_THREAD__)
#define START_WITH_FORK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define START_WITH_FORK 1
#endif
#endif

#ifdef START_WITH_FORK
pid_t Spawn(ChildStart* start) {
  pid_t pid = fork();
  if (pid == 0) ExecChild(start);
  return pid;
}
#else
// The child's own stack while it shares the supervisor's memory. It only
// sets up its descriptors, resets signals and calls execv.
constexpr size_t kChildStack = 64 * 1024;

// fork, but without copying the supervisor's page tables (and without the
// copy-on-write faults that follow) only to throw them away at execv: the
// child borrows this process's memory, and this thread waits until the child
// has called execv or _exit. Returns the child's id, or -1 as fork does.
pid_t Spawn(ChildStart* start) {
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
                    CLONE_VM | CLONE_VFORK | SIGCHLD, start);
  if (pid > 0) errno = saved_errno;  // the child wrote this thread's errno
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  munmap(stack, kChildStack);
  return pid;
}
#endif

}  // namespace

pid_t qmChildProcess::Start(char* const argv[], const Setup& setup) {
  ChildStart start{argv, setup};
  pid_t pid = Spawn(&start);
  // Also here, so that the group exists before the caller signals it, in
  // case the child has not run yet (after fork); after execv it fails, harmlessly.
  if (pid > 0 && setup.own_group) setpgid(pid, pid);
  return pid;
}
