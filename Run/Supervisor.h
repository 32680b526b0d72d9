// The supervisor mode: the single-instance test, the start-up that joins the
// layers (the status watching the table and the update path, the update
// thread stopping and starting the programs) and the supervision loop.
#pragma once

// Runs the supervisor; never returns (a second instance exits with status 0).
[[noreturn]] void RunSupervisor();
