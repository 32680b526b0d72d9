// The table of supervised programs, shared by the supervision loop and the
// update thread. Every operation on it, and every lock of it, is here;
// reports are written once the lock is released, so that a stalled console
// stalls neither thread while it holds the table.
#pragma once

#include <sys/types.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ProgramEnd.h"
#include "supervision/ProgramFailures.h"

// Where a program is in its life.
enum class ProgramState {
  kNeverStarted,  // listed, not started yet (or never: no starts)
  kRunning,       // pid is a live child, the loop's to reap and restart
  kWaiting,       // ended and reaped; restarted after a pause (starts left)
  kExhausted,     // ended (or its start failed) with no starts left
  kStartFailed,   // its start failed with starts left; retried when nothing runs
  kStopping,      // asked to end by killProcessList; pid not yet reaped
  kStopped,       // stopped by killProcessList; LoadProcessList starts it again
};

// One supervised program.
struct _PRO_INFO {
  pid_t pid = 0;          // last launch; 0 before the first, -1 when the start failed
  std::string path;       // application directory + "/bin/" + the list's "path"
  std::string param_str;  // blank-separated arguments
  int run_tick = 0;       // starts left; kUnlimitedRuns is never decreased
  ProgramState state = ProgramState::kNeverStarted;
  // The program's history, for the status file. A new list's entry takes it
  // over from the old entry with the same path and parameters.
  unsigned long starts = 0;    // launches that made a process
  time_t last_start = 0;       // seconds since the epoch; 0: never
  PROGRAM_END last_end;        // the last reaped end
  unsigned long exits = 0;     // ends by the program's own exit
  unsigned long signals = 0;   // ends by a signal
  unsigned long failures = 0;  // ends by a non-zero exit status or by a signal

  // pid is a live child not yet reaped.
  bool running() const {
    return state == ProgramState::kRunning || state == ProgramState::kStopping;
  }
  // Stopped by killProcessList: the loop leaves it to LoadProcessList.
  bool stopped() const {
    return state == ProgramState::kStopping || state == ProgramState::kStopped;
  }
};
typedef _PRO_INFO PRO_INFO;

constexpr int kUnlimitedRuns = 99999999;

// The state of an entry that is not running: after its last launch pid with
// run_tick starts left.
ProgramState IdleState(pid_t pid, int run_tick);

// The table held: while a TableLock lives no other thread reads or changes
// an entry. The retired children (programs a new list no longer names, still
// live children) are reachable only through it.
class TableLock {
 public:
  TableLock();
  std::vector<PRO_INFO>& entries();
  std::vector<PRO_INFO>& retired();

 private:
  std::unique_lock<std::recursive_mutex> lock_;
};

// Replaces the table's entries with a new list's. Running programs the new
// list no longer names become retired children: the loop still reaps them,
// killProcessList still stops them.
void ReplacePrograms(const std::vector<PRO_INFO>& entries);
// Starts every entry with starts left that is not running already, and
// records its process id. Entries stopped by killProcessList become the
// loop's again.
void LoadProcessList();
// Sends SIGTERM to every program that is a live child of this supervisor and
// marks every entry stopped, so that the supervision loop neither queues the
// programs' ends nor starts one again while an installation replaces files.
void killProcessList();
// killProcessList for good: from now on nothing starts a program (the
// supervisor is about to end).
void StopProgramsForGood();
bool ProgramsStoppedForGood();
// Sends SIGKILL to every program still alive after killProcessList asked it
// to end, so that no program runs beside its successor.
void EndLingeringPrograms();
// StopProgramsForGood, then grace_ms for the programs to end, then SIGKILL
// for those left and at most kill_wait_ms for them to be reaped.
void EndProgramsForGood(unsigned grace_ms, unsigned kill_wait_ms);

// How often each entry of the table (in table order) has failed so far.
std::vector<PROGRAM_FAILURES> ProgramFailures();

// True when an entry still waits on its ended child pid, with or without
// starts left. The supervision loop pauses for those only: an id whose entry
// an installation stopped or replaced meanwhile must not hold up the restarts
// of the programs that run now.
bool WaitsOnEnded(pid_t pid);

// Reaps every ended child that belongs to a program, marks its entry ended and
// appends its process id to ended. Children of programs that the table no
// longer names, or that an installation stopped, are reaped without being
// queued.
void ReapEnded(std::deque<pid_t>& ended);

// True when pid is a live child of a program or retired program.
bool IsProgram(pid_t pid);

// True while some program or retired program is a live child.
bool HasLiveChildren();

// Starts again the ended entry whose last run had process id pid, when it has
// starts left and no installation stopped it; one entry at most. The
// "restart" report comes before the start; when an installation stops or
// replaces the programs in between, nothing is started and a second record
// says so. Returns whether a program was started.
bool RestartEnded(pid_t pid);

// Starts again the first entry whose start failed; what the loop does after
// a pause when no child is left to wait for. Returns whether one was started.
bool RetryFailedStart();

// Reaps the programs that killProcessList stopped (and retired programs)
// until none of them is a live child, or ms have passed; true when none is
// left. Safe beside the supervision loop, which drops stopped programs' ends.
bool AwaitStoppedPrograms(unsigned ms);
