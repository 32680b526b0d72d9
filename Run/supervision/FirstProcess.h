// Running as process 1 of a pid namespace (a container's first process):
// orphans are handed to the supervisor, and SIGTERM and SIGINT would be
// ignored unless it handles them.
#pragma once

#include "platform/ProcessOne.h"

// Blocks SIGTERM and SIGINT in this thread (call before any other thread
// exists, so that every thread keeps them blocked) and starts the thread that
// waits for them. On either it sends SIGTERM to the programs, gives them
// timing::kStopGraceMs to end, kills those left and ends the supervisor with
// status 0, which ends whatever else runs in the namespace. Returns 0, or the
// error number that kept the thread from starting.
int StartStopWatch();
