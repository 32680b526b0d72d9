// The update check and installation: the archive published at the "url" of
// <app dir>/config.json replaces the application directory's contents when
// its CRC file names a CRC other than that of the local copy <app dir>/update.gz.
#pragma once

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
};

// The "url" of the update settings file, or "".
std::string ReadUrl();
// The "crc" string of a CRC file's body, or "".
std::string GetCrc(std::string json_data);
// One check and, when the published CRC differs, one installation.
int Update();
// Removes the staging directory, which after an installation holds the files
// it replaced; called once the programs run again.
void RemoveStaging();
// The periodic check: check() every kUpdateTicks ticks, counted from the end
// of the previous one; after an installation the two pauses, the new list
// and its start. Runs while go_on() holds.
void RunUpdateChecks(int (*check)(), bool (*go_on)());
// The periodic check with Update(); never returns.
void* update_main(void* arg);
// Starts update_main on a detached thread.
void StartUpdateThread();
