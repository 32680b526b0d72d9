// Pauses and time limits of the supervisor. The production build keeps these values; the test
// build (monitor-fast) overrides them with compile definitions.
#pragma once

#ifndef MONITOR_RESTART_PAUSE_MS
#define MONITOR_RESTART_PAUSE_MS 30000
#endif
#ifndef MONITOR_UPDATE_TICK_MS
#define MONITOR_UPDATE_TICK_MS 1000
#endif
#ifndef MONITOR_UPDATE_TICKS
#define MONITOR_UPDATE_TICKS 1800
#endif
#ifndef MONITOR_INSTALL_PAUSE_MS
#define MONITOR_INSTALL_PAUSE_MS 5000
#endif
// As a container's first process: how long the programs get to end after
// SIGTERM before they are killed.
#ifndef MONITOR_STOP_GRACE_MS
#define MONITOR_STOP_GRACE_MS 10000
#endif
// How long a killed program may take to be reaped before the programs are
// started without it (a process in uninterruptible sleep ends only later).
#ifndef MONITOR_KILL_WAIT_MS
#define MONITOR_KILL_WAIT_MS 5000
#endif
// Limits on the whole transfer of the CRC file and of the archive, in seconds.
#ifndef MONITOR_CRC_TIMEOUT_S
#define MONITOR_CRC_TIMEOUT_S 5
#endif
#ifndef MONITOR_ARCHIVE_TIMEOUT_S
#define MONITOR_ARCHIVE_TIMEOUT_S 120
#endif
// 0: the single-instance record lives in /tmp/; 1: beside the executable.
#ifndef MONITOR_RECORD_IN_APP_DIR
#define MONITOR_RECORD_IN_APP_DIR 0
#endif

namespace timing {
constexpr unsigned kRestartPauseMs = MONITOR_RESTART_PAUSE_MS;
constexpr unsigned kUpdateTickMs = MONITOR_UPDATE_TICK_MS;
constexpr int kUpdateTicks = MONITOR_UPDATE_TICKS;
constexpr unsigned kInstallPauseMs = MONITOR_INSTALL_PAUSE_MS;
constexpr unsigned kStopGraceMs = MONITOR_STOP_GRACE_MS;
constexpr unsigned kKillWaitMs = MONITOR_KILL_WAIT_MS;
constexpr unsigned kCrcTimeoutS = MONITOR_CRC_TIMEOUT_S;
constexpr unsigned kArchiveTimeoutS = MONITOR_ARCHIVE_TIMEOUT_S;
constexpr bool kRecordInAppDir = MONITOR_RECORD_IN_APP_DIR != 0;
}  // namespace timing
