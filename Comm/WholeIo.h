// Whole-buffer reads and writes on descriptors, and path buffers that grow
// until the answer fits: the loops that every caller would otherwise repeat.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace wholeio {

// Writes all len bytes, going on after short writes and signals. False when
// an error (errno says which) or a write of nothing stopped it.
bool WriteAll(int fd, const void* data, size_t len);
inline bool WriteAll(int fd, const std::string& data) {
  return WriteAll(fd, data.data(), data.size());
}

// As WriteAll, at offset, leaving the file offset alone. Returns how many
// bytes were written: len unless something stopped it.
size_t WriteAllAt(int fd, const void* data, size_t len, off_t offset);

// Reads fd to its end, handing each piece to take as it comes, going on
// after signals. Returns 1 at the end, 0 when take returned false, -1 on an
// error (errno says which).
int ReadEach(int fd, const std::function<bool(const char* data, size_t len)>& take);

// The whole target of the symbolic link at path; empty on failure and for
// answers longer than 64 KiB, which are not believed rather than cut short.
std::string ReadLink(const char* path);

// The current directory, with the same limit; empty on failure.
std::string CurrentDir();

}  // namespace wholeio
