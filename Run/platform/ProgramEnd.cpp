#include "platform/ProgramEnd.h"

#include <signal.h>
#include <string.h>
#include <sys/wait.h>

PROGRAM_END EndFromStatus(int wait_status, time_t when) {
  PROGRAM_END end;
  end.time = when;
  if (WIFEXITED(wait_status)) {
    end.kind = PROGRAM_END::kExit;
    end.code = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    end.kind = PROGRAM_END::kSignal;
    end.code = WTERMSIG(wait_status);
    end.core = WCOREDUMP(wait_status);
  } else {
    end.kind = PROGRAM_END::kUnknown;
  }
  return end;
}

std::string SignalName(int sig) {
  if (sig >= SIGRTMIN && sig <= SIGRTMAX) {
    return sig == SIGRTMIN ? "SIGRTMIN" : "SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
  }
  const char* abbrev = sigabbrev_np(sig);
  if (abbrev == nullptr) return "SIG" + std::to_string(sig);
  return std::string("SIG") + abbrev;
}

std::string EndText(const PROGRAM_END& end) {
  switch (end.kind) {
    case PROGRAM_END::kExit:
      return "exit:" + std::to_string(end.code);
    case PROGRAM_END::kSignal:
      return "signal:" + SignalName(end.code) + (end.core ? " core" : "");
    default:
      return "";
  }
}
