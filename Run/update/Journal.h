// The installation's journal, <app dir>/update.journal: what is being
// installed and how far it has come, written (then renamed, synced with its
// folder) before the first entry moves, so that an installation cut short
// by a crash or a power cut is finished, or undone, from what is on disk.
//
//   {"phase":"moving","crc":"4204838306","old_crc":"387793759",
//    "timestamp":1765400000,"signature":"untrusted comment: ...",
//    "added":["bin/new","data"],"fresh":[1835010,1835011],"why":""}
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

enum class JournalPhase {
  kMoving,       // the staged entries go into place, the replaced ones to update.previous
  kInstalled,    // in place, update.gz is the new release; not yet confirmed
  kRollingBack,  // the replaced entries go back, the added ones away
};

struct INSTALL_JOURNAL {
  JournalPhase phase = JournalPhase::kMoving;
  std::string crc;         // the release being installed
  std::string old_crc;     // the release it replaces ("0": none)
  uint64_t timestamp = 0;  // its signature's, 0 for an unsigned release
  std::string signature;   // its signature file's text, "" for none
  // Entries the new release adds that the old one did not have: a rollback
  // removes them. Relative to the application directory.
  std::vector<std::string> added;
  // The inodes of the release's staged entries: a move or a rollback run
  // again tells the release's entries from the previous one's by them.
  std::vector<unsigned long> fresh;
  // Why a rollback runs, "" for a move that failed (then the release is
  // tried again, not rejected).
  std::string why;
};

// The journal as compact JSON, and back. Parse is false, *out untouched, for
// anything but an intact journal.
std::string JournalText(const INSTALL_JOURNAL& journal);
bool ParseJournal(const std::string& text, INSTALL_JOURNAL* out);

// The journal's path in app_dir.
std::string JournalPath(const std::string& app_dir);

// Writes, syncs and renames the journal into place, then syncs its folder:
// "" or why it failed.
std::string WriteJournal(const std::string& app_dir, const INSTALL_JOURNAL& journal);

// Reads the journal: 1 with *out, 0 when there is none, -1 when one stands
// but cannot be read (then *why says why).
int ReadJournal(const std::string& app_dir, INSTALL_JOURNAL* out, std::string* why);

// Removes the journal and syncs its folder.
void DropJournal(const std::string& app_dir);
