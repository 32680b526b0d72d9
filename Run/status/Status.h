// What the supervisor tells about itself in <app dir>/status.json and, when
// the update settings name one, in a metrics file: its own facts, the last
// update check and the program table. A writer thread replaces the files
// after changes, at most once per kStatusGapMs however many changes come.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

#include "supervision/ProgramTable.h"

// The last update check.
struct CHECK_RECORD {
  bool done = false;  // false until the first check has ended
  time_t time = 0;    // when it ended
  int result = 0;     // what Update returned
  std::string message;
};

struct SUPERVISOR_STATUS {
  pid_t pid = 0;
  time_t started = 0;
  std::string version = "0";  // CRC text of the installed update.gz
  CHECK_RECORD last_check;
  time_t next_check = 0;  // 0: not planned
  std::vector<PRO_INFO> programs;
};

// The status file's name in the application directory.
constexpr const char* kStatusName = "status.json";

// The shortest time between two writes of the files.
constexpr unsigned kStatusGapMs = 250;

// Something the status tells has changed: the writer writes the files anew.
// Cheap, and safe from any thread, with or without the table held.
void StatusChanged();

void SetStatusStart(pid_t pid, time_t started);
void SetInstalledVersion(const std::string& crc);
void SetLastCheck(const CHECK_RECORD& check);
void SetNextCheck(time_t when);
// The metrics file's path; "" writes none.
void SetMetricsFile(const std::string& path);

// The facts as they are now, the program table included.
SUPERVISOR_STATUS TakeStatus();

// One turn of the writer: waits until something changed, writes the status
// file at status_path (and the metrics file), then pauses kStatusGapMs so
// that the changes meanwhile are written together.
void StatusWriterPass(const std::string& status_path);
// Writes status_path after every change, on a detached thread: 0, or the
// error number that kept the thread from starting.
int StartStatusWriter(const std::string& status_path);
