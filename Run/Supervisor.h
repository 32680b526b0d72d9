// The supervisor mode: single-instance test, start-up and the supervision loop.
#pragma once

#include <sys/types.h>

#include <deque>

// Runs the supervisor; never returns (a second instance exits with status 0).
[[noreturn]] void RunSupervisor();

// Reaps every ended child that belongs to a program, marks its entry ended and
// appends its process id to ended. Children of programs that the table no
// longer names, or that an installation stopped, are reaped without being
// queued.
void ReapEnded(std::deque<pid_t>& ended);

// True when pid is a live child of a program or dropped program.
bool IsProgram(pid_t pid);

// True while some program or dropped program is a live child.
bool HasLiveChildren();

// Starts again the ended entry whose last run had process id pid, when it has
// starts left and no installation stopped it; one entry at most. Returns whether a program was started.
bool RestartEnded(pid_t pid);

// Reaps the programs that killProcessList stopped (and dropped programs) until
// none of them is a live child, or ms have passed; true when none is left.
// Safe beside the supervision loop, which drops stopped programs' ends anyway.
bool AwaitStoppedPrograms(unsigned ms);
