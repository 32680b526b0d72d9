// The supervisor mode: single-instance test, start-up and the supervision loop.
#pragma once

#include <sys/types.h>

#include <deque>

#include "supervision/ProgramTable.h"

// Runs the supervisor; never returns (a second instance exits with status 0).
[[noreturn]] void RunSupervisor();

// One pass of the supervision loop: one ended program at most, a pause, then
// its restart. Children that end during a pause are reaped at once and wait
// their turn in ended; an id whose entry an installation stopped or replaced
// meanwhile is dropped.
void SupervisionPass(std::deque<pid_t>& ended);
