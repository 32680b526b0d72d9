// What the update path does to the supervised programs around an
// installation, and nothing more: it reaches the supervision through this.
#pragma once

#include <vector>

#include "supervision/ProgramFailures.h"

class ProgramControl {
 public:
  virtual ~ProgramControl() = default;
  // SIGTERM to every program; all of them stay stopped until StartAll.
  virtual void StopAll() = 0;
  // Reads the new program list into the table.
  virtual void ReadList() = 0;
  // Kills the stopped programs that have not ended, and waits at most ms for
  // them to be reaped.
  virtual void EndStopped(unsigned ms) = 0;
  // Starts every program that has starts left and does not run.
  virtual void StartAll() = 0;
  // Each program's failures so far, in table order: the watch after an
  // installation counts the new ones.
  virtual std::vector<PROGRAM_FAILURES> Failures() = 0;
};

// The supervision's programs: the program table.
ProgramControl& SupervisedPrograms();
