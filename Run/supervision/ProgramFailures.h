// How often one program of the table has failed: ended by a non-zero exit
// status or by a signal (an exit with status 0 is no failure).
#pragma once

#include <string>

struct PROGRAM_FAILURES {
  std::string path;
  unsigned long failures = 0;
  std::string last_end;  // its last end in words ("exit:1", "signal:SIGSEGV core")
};
