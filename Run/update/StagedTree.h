// The staged tree: judged as it lies on disk before anything is stopped
// (InspectStaged), then renamed entry by entry onto its place (MoveStaged).
#pragma once

#include <string>

// "" when every entry staged in staging_dir may be moved into app_dir;
// otherwise why not. Judges the files on disk (lstat), never the archive.
std::string InspectStaged(const std::string& staging_dir, const std::string& app_dir);

// Moves every staged entry onto its place in app_dir with rename(2):
// directories are merged, other entries replaced, entries the archive does not
// hold left alone. Never passes through a symbolic link that stands in
// app_dir. The directories it changed are synced. False when some entry could
// not be moved; each such entry is reported ("unpack failed! ...") and the
// others are moved all the same.
bool MoveStaged(const std::string& staging_dir, const std::string& app_dir);
