// The partial download's file: reopened only when it is what the supervisor
// left there, otherwise cleared away and created anew. Anything standing at
// the name (a link planted by another user, a FIFO, a directory tree) is
// removed without being followed.
#pragma once

#include <string>

#include "CRC.h"
#include "UniqueFd.h"
#include "platform/Files.h"

// True when fd is a regular file of this process's user with one link.
bool OwnRegularFile(int fd);

// Opens path for reading and writing with O_NOFOLLOW when OwnRegularFile
// holds for it, storing its size in *size; otherwise an invalid descriptor.
UniqueFd ReopenPart(const std::string& path, DWORD64* size);

// Removes what stands at path and creates it empty (O_CREAT | O_EXCL |
// O_NOFOLLOW, mode 0644); an invalid descriptor when that failed.
UniqueFd CreatePart(const std::string& path);
