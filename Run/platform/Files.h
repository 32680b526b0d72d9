// The supervisor's file operations that must hold against whatever another
// user or an archive put in their way: replacing a file so that a reader
// sees either the old or the new text, walking and removing trees without
// following a link.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "UniqueFd.h"

// Writes text to name + ".tmp" in the folder dir_fd (AT_FDCWD: name is a
// path) and renames it over name. Whatever stands at the temporary name is
// unlinked first, never followed, and the file is made with O_EXCL, so that
// nobody else's file or link is written through. With sync, the data reaches
// the disk before the rename. Returns "" or why it failed (the temporary file
// is removed then).
std::string ReplaceFileAt(int dir_fd, const std::string& name, const std::string& text, mode_t mode,
                          bool sync);
inline std::string ReplaceFile(const std::string& path, const std::string& text, mode_t mode,
                               bool sync) {
  return ReplaceFileAt(AT_FDCWD, path, text, mode, sync);
}

// Opens the folder that holds the absolute path, walking from "/" one name at
// a time without following a link, so that nobody can turn the walk
// elsewhere: "" with the folder in *dir and the file's name in *name, or why
// not: a symbolic link on the way, or a folder that users other than root
// and this process's user may write without the sticky bit (they could
// replace what lies beneath it).
std::string OpenOwnParent(const std::string& path, UniqueFd* dir, std::string* name);

// Reads one of the supervisor's own files through a single descriptor,
// never following a link: 1 with its text in *text, 0 when nothing stands
// at path, -1 when what stands there is no regular file of at most max
// bytes or cannot be read.
int ReadOwnFile(const std::string& path, size_t max, std::string* text);

// fsync of the folder dir, so that the renames in it survive a power cut.
bool SyncDir(const std::string& dir);

// The directory name in parent, opened without following a link.
UniqueFd OpenDirAt(int parent, const std::string& name);

// The names in the directory on fd, without "." and "..", sorted.
std::vector<std::string> ListDir(int fd);

// Removes whatever stands at path (a file, a link but not its target, a FIFO,
// a directory with everything under it, links inside never followed). True
// when nothing stands there afterwards.
bool RemoveTree(const std::string& path);
