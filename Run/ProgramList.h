// The table of supervised programs and the operations on it as a whole.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

#include "SafeSTL.h"

// One supervised program.
struct _PRO_INFO {
  pid_t pid;              // last launch; 0 before the first, -1 when fork failed
  std::string path;       // application directory + "/bin/" + the list's "path"
  std::string param_str;  // blank-separated arguments
  int run_tick;           // starts left; kUnlimitedRuns is never decreased
  bool running = false;   // pid is a live child not yet reaped
  bool stopped = false;   // stopped by killProcessList: the loop leaves it to LoadProcessList
};
typedef _PRO_INFO PRO_INFO;
typedef SafeVector<PRO_INFO, std::recursive_mutex> PRO_INFO_LIST;

constexpr int kUnlimitedRuns = 99999999;

// The program table, shared by the supervision loop and the update thread;
// every access holds its recursive mutex.
extern PRO_INFO_LIST m_all_process;

// Rebuilds the table from <app dir>/bin/config.json; reports errors itself.
void ReadConfig();

// What a program list text holds.
enum class ListText {
  kEntries,    // a "list" array or object: *entries filled (possibly empty)
  kNoList,     // valid JSON without a usable "list"
  kNotJson,    // not valid JSON
};
// Parses a program list text; every entry's path is dir + its "path". An
// entry whose "path" has a ".." component would leave dir: it is left out,
// and its "path" added to *skipped when skipped is not null.
ListText ParseProgramList(const std::string& json_data, const std::string& dir,
                          std::vector<PRO_INFO>* entries,
                          std::vector<std::string>* skipped = nullptr);

// The program list and the update settings are read only up to this size;
// a larger file counts as unreadable.
constexpr size_t kMaxConfigFileSize = 16 * 1024 * 1024;
// Starts every entry with starts left that is not running already, and
// records its process id. Entries stopped by killProcessList become the
// loop's again.
void LoadProcessList();
// Sends SIGTERM to every program that is a live child of this supervisor and
// marks every entry stopped, so that the supervision loop neither queues the
// programs' ends nor starts one again while an installation replaces files.
void killProcessList();
// True when an entry still waits on its ended child pid, with or without
// starts left. The supervision loop pauses for those only: an id whose entry
// an installation stopped or replaced meanwhile must not hold up the restarts
// of the programs that run now.
bool WaitsOnEnded(pid_t pid);
// killProcessList for good: from now on nothing starts a program (the
// supervisor is about to end).
void StopProgramsForGood();
// True once StopProgramsForGood was called. Call with the table locked.
bool ProgramsStoppedForGood();
// Sends SIGKILL to every program still alive after killProcessList asked it
// to end, so that no program runs beside its successor.
void EndLingeringPrograms();

// Entries of programs the table no longer names (dropped by ReadConfig while
// running), each a live child: the supervision loop still reaps them, and
// killProcessList still stops them. Call with the table locked.
std::vector<PRO_INFO>& RetiredChildren();
