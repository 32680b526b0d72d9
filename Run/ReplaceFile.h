// Replacing a file so that a reader sees either the old or the new text.
#pragma once

#include <sys/types.h>

#include <string>

// Writes text to path + ".tmp" and renames it over path. Whatever stands at
// the temporary name is unlinked first, never followed, and the file is made
// with O_EXCL, so that nobody else's file or link is written through. With
// sync, the data reaches the disk before the rename. Returns "" or why it
// failed (the temporary file is removed then).
std::string ReplaceFile(const std::string& path, const std::string& text, mode_t mode, bool sync);
