// Child processes: what they inherit from the supervisor, and the short-lived
// helper children (a shell command, a program run by path) that the toolkit
// starts and waits for.
#pragma once

#include <sys/types.h>

#include <functional>
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

  // For the process that a pid namespace hands its orphans to (process 1):
  // reaps ended children that are neither helpers started below (whose
  // owners wait for their status) nor claimed by owned(pid), which the
  // caller reaps itself and must keep from being started meanwhile (call it
  // with the lock that covers starting them). Ended children are seen one at
  // a time, so it stops at the first claimed one: it returns true when owned
  // claimed one (reap it, then call again), false when none is left to reap
  // or a helper's owner has yet to reap it.
  static bool ReapOrphans(bool (*owned)(pid_t));

  // What a child does between its start and execv, besides PrepareExec.
  struct Setup {
    int stdin_fd = -1;       // made its standard input when not -1
    int stdout_fd = -1;      // made its standard output when not -1
    bool own_group = false;  // it leads a process group of its own
  };

  // Starts argv[0] (a path; no search, no shell) with the null-terminated
  // argv: the one way children are started, by the launcher and by the
  // helpers below. Returns the child's id, or -1 as fork does; a child that
  // cannot exec ends with status 127.
  static pid_t Start(char* const argv[], const Setup& setup);

  // Runs argv (argv[0] is a path; no search, no shell) and waits for it.
  // With output non-null the child's standard output is captured into it,
  // otherwise it goes to this process's standard output. Returns the wait
  // status, or -1 when the child could not be started or waited for.
  static int Run(const std::vector<std::string>& argv, std::string* output);

  // Starts argv (argv[0] is a path) as a helper, as Run does, without
  // waiting: the caller waits for it (waitpid on its id) and then calls
  // ForgetHelper. Returns its id, or -1 when it could not be started.
  static pid_t StartHelper(char* const argv[], const Setup& setup);
  static void ForgetHelper(pid_t pid);

  // Runs command through /bin/sh -c, as Run does.
  static int RunShell(const std::string& command, std::string* output);

  // Runs command through /bin/sh -c in a process group of its own, with
  // standard input from /dev/null (a background group reading the terminal
  // would be stopped), and hands its standard output to take as it comes.
  // Once take returns false nothing more is read and the whole group is
  // killed, so a command with endless output ends too. Returns the wait
  // status, or -1 when the child could not be started or waited for.
  static int RunShellWhile(const std::string& command,
                           const std::function<bool(const char* data, size_t len)>& take);
};
