// The staged tree: judged as it lies on disk before anything is stopped
// (InspectStaged), then renamed entry by entry onto its place (MoveStaged),
// the entries it replaces kept aside as the previous release, which
// RestorePrevious puts back.
#pragma once

#include <string>
#include <vector>

// "" when every entry staged in staging_dir may be moved into app_dir;
// otherwise why not. Judges the files on disk (lstat), never the archive.
// With added, the entries that would take a place where nothing stands
// (the topmost of each new subtree), relative to app_dir.
std::string InspectStaged(const std::string& staging_dir, const std::string& app_dir,
                          std::vector<std::string>* added = nullptr);

// Moves every staged entry onto its place in app_dir with rename(2):
// directories are merged, entries the archive does not hold left alone, and
// what stands at a replaced entry's place is first renamed to the same place
// in previous_dir (made as needed). Never passes through a symbolic link
// that stands in app_dir. The directories it changed are synced. Run again
// over what is left, it finishes a move that was cut short. False when some
// entry could not be moved; each such entry is reported ("unpack failed!
// ...") and the others are moved all the same.
bool MoveStaged(const std::string& staging_dir, const std::string& app_dir,
                const std::string& previous_dir);

// Undoes a move: the entries of added leave app_dir for trash_dir, then every
// entry of previous_dir goes back onto its place (what stands there leaves
// for trash_dir first); directories that both hold are merged. The names
// skip, at the top of previous_dir, are left where they are. Run again, it
// finishes a restore that was cut short. False when some entry could not be
// put back; each is reported ("rollback failed! ...").
bool RestorePrevious(const std::string& previous_dir, const std::string& app_dir,
                     const std::string& trash_dir, const std::vector<std::string>& added,
                     const std::vector<std::string>& skip);
