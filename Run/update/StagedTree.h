// The staged tree: judged as it lies on disk before anything is stopped
// (InspectStaged), then renamed entry by entry onto its place (MoveStaged),
// the entries it replaces kept aside as the previous release, which
// RestorePrevious puts back.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

// The inodes of the staged entries: the move and the restore tell the
// release's entries from the previous release's by them.
typedef std::set<ino_t> StagedInodes;

// "" when every entry staged in staging_dir may be moved into app_dir;
// otherwise why not. Judges the files on disk (lstat), never the archive.
// With added, the entries that would take a place where nothing stands
// (the topmost of each new subtree), relative to app_dir; with fresh, the
// inodes of every staged entry.
std::string InspectStaged(const std::string& staging_dir, const std::string& app_dir,
                          std::vector<std::string>* added = nullptr, StagedInodes* fresh = nullptr);

// Moves every staged entry onto its place in app_dir with rename(2):
// directories are merged, entries the archive does not hold left alone, and
// what stands at a replaced entry's place is exchanged with it (a directory
// whose staged copy covers every name below its place, whole), so that
// staging_dir ends holding the previous release's replaced entries, each
// where it stood. Never passes through a symbolic link that stands in
// app_dir. The directories it changed are synced. Run again over what is
// left (fresh: the staged entries' inodes), it finishes a move that was cut
// short. False when some entry could not be moved; each such entry is
// reported ("unpack failed! ...") and the others are moved all the same.
bool MoveStaged(const std::string& staging_dir, const std::string& app_dir,
                const StagedInodes& fresh);

// Undoes a move: the entries of added leave app_dir for kept_dir, then every
// entry of kept_dir that is not the release's (fresh) goes back onto its
// place, exchanged with what stands there; directories that both hold are
// merged. The names skip, at the top of kept_dir, are left where they are.
// Run again, it finishes a restore that was cut short. False when some entry
// could not be put back; each is reported ("rollback failed! ...").
bool RestorePrevious(const std::string& kept_dir, const std::string& app_dir,
                     const std::vector<std::string>& added, const StagedInodes& fresh,
                     const std::vector<std::string>& skip);

// For unit tests: the next moves ("moving") or restores ("rolling-back")
// stop after that many entries, as if the process had died there; 0: never.
void StopWalksAfterForTests(const char* phase, unsigned long moves);
