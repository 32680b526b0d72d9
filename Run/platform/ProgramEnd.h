// How a supervised program's run ended, from the status its reaping gave.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>

struct PROGRAM_END {
  enum Kind {
    kNone,     // no run has ended yet
    kExit,     // ended by itself; code is its exit status
    kSignal,   // killed; code is the signal, core whether it dumped core
    kUnknown,  // ended, but reaped elsewhere: the status was lost
  };
  Kind kind = kNone;
  int code = 0;
  bool core = false;
  time_t time = 0;  // when it was reaped, seconds since the epoch
  pid_t pid = 0;    // the process that ended
};

// The end that the wait status wait_status tells, reaped at when.
PROGRAM_END EndFromStatus(int wait_status, time_t when);

// "SIGSEGV" for 11; "SIGRTMIN+2" and "SIG<n>" for signals without a name.
std::string SignalName(int sig);

// The end as the "program ended" record tells it: "exit:3", "signal:SIGKILL",
// "signal:SIGSEGV core"; empty for kNone and kUnknown.
std::string EndText(const PROGRAM_END& end);
