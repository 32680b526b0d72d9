// Child processes: what they inherit from the supervisor, and the short-lived
// helper children (a shell command, tar) that the toolkit starts and waits for.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class qmChildProcess {
 public:
  // Notes the descriptors, signal mask and signal dispositions this process
  // was started with. Call first thing in main, before any thread or descriptor exists.
  static void NoteInheritance();

  // For the child between fork and exec; async-signal-safe. Restores the
  // signal mask and dispositions noted at start (an empty mask and all
  // default when nothing was noted) and closes every descriptor but 0, 1, 2 and those
  // noted at start, so children never inherit the supervisor's own files,
  // sockets and pipes.
  static void PrepareExec();

  // Runs argv (argv[0] is a path; no search, no shell) and waits for it.
  // With output non-null the child's standard output is captured into it,
  // otherwise it goes to this process's standard output. Returns the wait
  // status, or -1 when the child could not be started or waited for.
  static int Run(const std::vector<std::string>& argv, std::string* output);

  // Runs command through /bin/sh -c, as Run does.
  static int RunShell(const std::string& command, std::string* output);

  // True while pid is a helper child started by Run: its owner will reap it,
  // so the supervision loop must leave it alone.
  static bool IsHelper(pid_t pid);
};
