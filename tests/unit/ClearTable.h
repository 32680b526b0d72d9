// Ends every child the program table still has, by its process id, and
// empties the table: what a test that filled it leaves behind.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include "supervision/ProgramTable.h"

inline void ClearProgramTable() {
  TableLock table;
  for (const PRO_INFO& info : table.entries()) {
    if (info.running() && info.pid > 0) {
      kill(info.pid, SIGKILL);
      waitpid(info.pid, nullptr, 0);
    }
  }
  for (const PRO_INFO& info : table.retired()) {
    kill(info.pid, SIGKILL);
    waitpid(info.pid, nullptr, 0);
  }
  table.retired().clear();
  table.entries().clear();
}
