// The supervision loop: wait for an ended program, pause, start it again.
#pragma once

#include <sys/types.h>

#include <deque>

// One pass of the supervision loop: one ended program at most, a pause, then
// its restart. Children that end during a pause are reaped at once and wait
// their turn in ended; an id whose entry an installation stopped or replaced
// meanwhile is dropped.
void SupervisionPass(std::deque<pid_t>& ended);
