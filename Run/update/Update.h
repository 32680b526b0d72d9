// The update path: the archive published at the "url" of <app dir>/config.json
// replaces the application directory's contents when its CRC file names a
// CRC other than that of the local copy <app dir>/update.gz. A check runs at
// start-up and then on its own thread every period; around an installation
// it stops and starts the programs through ProgramControl, and it tells an
// UpdateObserver (the status) what it found.
#pragma once

#include <string>

#include "platform/Timing.h"
#include "supervision/ProgramControl.h"
#include "update/UpdateObserver.h"
#include "update/UpdateResult.h"

// The programs an installation stops and starts: the supervision's unless
// another is set (null: the supervision's again). Set before the checks run.
void SetUpdatePrograms(ProgramControl* programs);
ProgramControl& UpdatePrograms();

// One check and, when the published CRC differs, one installation, with the
// update settings read once for it.
int Update();
// Runs check(), and tells its result and what it reported; the next check is
// due next_in_ms after it, or later by the pauses after an installation.
int RecordedCheck(int (*check)(), unsigned long long next_in_ms);
// The time from the end of one periodic check to the next.
inline unsigned long long UpdatePeriodMs() {
  return static_cast<unsigned long long>(timing::kUpdateTicks) * timing::kUpdateTickMs;
}
// The CRC text of update.gz, "0" when there is none; said on no output.
std::string InstalledVersion();
// Removes the staging directory, which after an installation holds the files
// it replaced; called once the programs run again.
void RemoveStaging();
// The periodic check: check() every kUpdateTicks ticks, counted from the end
// of the previous one; after an installation the two pauses, the new list
// and its start. Runs while go_on() holds.
void RunUpdateChecks(int (*check)(), bool (*go_on)());
// The periodic check with Update(); never returns.
void* update_main(void* arg);
// Starts update_main on a detached thread: 0, or the error number that kept
// it from starting.
int StartUpdateThread();
