// What the update path tells whoever watches it (the status): the installed
// version, each check as it ends, when the next is due, and where metrics go.
#pragma once

#include <time.h>

#include <string>

#include "update/Rejected.h"
#include "update/UpdateResult.h"

class UpdateObserver {
 public:
  virtual ~UpdateObserver() = default;
  // The CRC text of the installed update.gz.
  virtual void InstalledVersion(const std::string& crc) = 0;
  virtual void CheckEnded(const CHECK_RECORD& check) = 0;
  virtual void NextCheck(time_t when) = 0;
  // The settings' metrics file, "" for none.
  virtual void MetricsFile(const std::string& path) = 0;
  // The release crc is on watch until then; "" and 0: no release is.
  virtual void Watch(const std::string& crc, time_t until) = 0;
  // The release crc passed its watch and is confirmed.
  virtual void Confirmed(const std::string& crc, time_t when) = 0;
  // A release was rolled back and is rejected from now on.
  virtual void RolledBack(const REJECTED_RELEASE& rollback) = 0;
  // At start-up: the release an earlier rollback rejected.
  virtual void Rejected(const REJECTED_RELEASE& rejected) = 0;
  // The rollout of the published release that the host does not run yet:
  // the host's place and the share published; seen false: there is none
  // (the host runs the published release, or rejects it).
  virtual void Rollout(bool seen, double place, double share) = 0;
};

// Installs the observer (null: nobody). Call before the checks run.
void SetUpdateObserver(UpdateObserver* observer);
// The observer: one that does nothing while none is installed.
UpdateObserver& Tell();
