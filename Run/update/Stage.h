// Staging: the one reading of an update archive, into an empty directory
// beside the installed files, by a thread that cannot write anywhere else.
#pragma once

#include <stdio.h>

#include <string>

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
