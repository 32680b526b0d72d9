// The facts the status tells: the supervisor's own, the last update check
// and the program table as it was when they were taken.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

#include "supervision/ProgramTable.h"
#include "update/Rejected.h"
#include "update/UpdateResult.h"

struct SUPERVISOR_STATUS {
  pid_t pid = 0;
  time_t started = 0;
  std::string version = "0";  // CRC text of the installed update.gz
  CHECK_RECORD last_check;
  time_t next_check = 0;  // 0: not planned
  std::string watch_crc;  // the release on watch, "" for none
  time_t watch_until = 0;
  std::string confirmed_crc;  // the last release that passed its watch, "" for none
  time_t confirmed_at = 0;
  REJECTED_RELEASE last_rollback;  // crc "" before the first
  unsigned long rollbacks = 0;     // since the supervisor started
  bool rollout_seen = false;       // a published release the host does not run yet
  double rollout_place = 0;        // the host's place for it, in [0, 100)
  double rollout_share = 0;        // the share of the hosts it is published for
  std::vector<PRO_INFO> programs;
};
