// What the supervisor tells about itself in <app dir>/status.json and, when
// the update settings name one, in a metrics file: its own facts, the last
// update check and the program table. A writer thread replaces the files
// after changes, at most once per kStatusGapMs however many changes come.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

#include "status/StatusFacts.h"
#include "supervision/TableObserver.h"
#include "update/UpdateObserver.h"

// The shortest time between two writes of the files.
constexpr unsigned kStatusGapMs = 250;

// Something the status tells has changed: the writer writes the files anew.
// Cheap, and safe from any thread, with or without the table held.
void StatusChanged();

// The status as the program table's and the update path's observer: what
// they tell it lands in the files.
TableObserver& StatusOfTable();
UpdateObserver& StatusOfUpdates();

void SetStatusStart(pid_t pid, time_t started);
void SetInstalledVersion(const std::string& crc);
void SetLastCheck(const CHECK_RECORD& check);
void SetNextCheck(time_t when);
// The release on watch ("" and 0: none).
void SetWatch(const std::string& crc, time_t until);
// The last release that passed its watch.
void SetConfirmed(const std::string& crc, time_t when);
// The last rollback, whose CRC is rejected; now: it has just happened (one
// more since the supervisor started), else it is the record found at start-up.
void SetRollback(const REJECTED_RELEASE& rollback, bool now);
// The rollout of a published release the host does not run (seen false:
// none): the host's place and the share. Written with the next change, the
// end of the check that saw it.
void SetRollout(bool seen, double place, double share);
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
