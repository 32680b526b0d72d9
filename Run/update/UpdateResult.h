// What an update check ends with: its result code, and the record of one
// check that the status tells.
#pragma once

#include <time.h>

#include <string>

// Results of Update.
enum UpdateResult {
  kUpdateInstalled = 1,          // downloaded, verified, staged, programs stopped, moved in
  kUpdateCurrent = 0,            // the local copy has the published CRC
  kUpdateNoCrcFile = -1,         // the CRC file could not be fetched
  kUpdateNoArchive = -2,         // the archive could not be fetched
  kUpdateWriteFailed = -3,       // the local copy could not be written
  kUpdateCrcMismatch = -4,       // the downloaded archive has another CRC; nothing unpacked
  kUpdateUnreadable = -5,        // archive refused at staging or inspection; nothing stopped
  kUpdateSignatureRefused = -6,  // a key is set and the signature does not pass; nothing stopped
  kUpdateRejected = -7,          // the published release was rolled back here before
};

// The last update check.
struct CHECK_RECORD {
  bool done = false;  // false until the first check has ended
  time_t time = 0;    // when it ended
  int result = 0;     // what Update returned
  std::string message;
};
