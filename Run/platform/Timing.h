// Pauses and time limits of the supervisor. Each build links one definition
// of these values: Run/platform/TimingProduction.cpp (monitor, unit tests) or the
// short ones of the test build (monitor-fast, from Run/platform/TimingFast.cpp.in).
#pragma once

namespace timing {
extern const unsigned kRestartPauseMs;
extern const unsigned kUpdateTickMs;
extern const int kUpdateTicks;
extern const unsigned kInstallPauseMs;
// As a container's first process: how long the programs get to end after
// SIGTERM before they are killed.
extern const unsigned kStopGraceMs;
// How long a killed program may take to be reaped before the programs are
// started without it (a process in uninterruptible sleep ends only later).
extern const unsigned kKillWaitMs;
// After an installation with a "health" check: how often the check runs
// while the release is on watch, and how long one run may take.
extern const unsigned kHealthCheckPeriodMs;
extern const unsigned kHealthCheckTimeoutMs;
// Limits on the whole transfer of the CRC file and of the archive, in seconds.
extern const unsigned kCrcTimeoutS;
extern const unsigned kArchiveTimeoutS;
}  // namespace timing
