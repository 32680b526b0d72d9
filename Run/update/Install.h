// Installation of a verified update archive in three steps, so that nothing
// is stopped for an archive that cannot be installed and nothing the archive
// holds is written anywhere but inside the application directory:
//   StageArchive   unpacks it into an empty staging directory beside the files
//   InspectStaged  judges what was written, before anything is stopped
//   MoveStaged     renames each staged entry onto its place
#pragma once

#include <stdio.h>

#include <string>

// Name of the staging directory inside the application directory.
constexpr const char* kStagingName = "update.staging";

// Unpacks the gzip-compressed tar at archive into staging_dir, which the call
// makes (mode 0700) and which must not exist yet. Every gzip member is read to
// its end and checked; names are taken as the bytes the archive holds, in pax
// records too; nothing is written through a symbolic link or outside
// staging_dir, by a thread whose root is staging_dir (or, without the right
// to change it, that Landlock keeps to writing beneath it where the kernel
// offers it); a hard link to a symbolic link is refused, one to its own
// member is the file once, and the data of hard links and directories is
// passed over; owners are the process's, modes the archive's less the umask
// and never setuid or setgid. Staging stops before the file system's free
// space would fall under its reserve. Prints one line per member on listing
// when it is not null, the name as GNU tar -v shows it in the C locale. The
// staged data is on disk when it returns. "" on success; otherwise why the
// archive was refused, in plain words, and staging_dir is removed.
std::string StageArchive(const std::string& archive, const std::string& staging_dir,
                         FILE* listing = nullptr);

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

// Removes path and, when it is a directory, everything under it, without
// following symbolic links. True when nothing stands at path any more.
bool RemoveTree(const std::string& path);
