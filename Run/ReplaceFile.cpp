#include "ReplaceFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "UniqueFd.h"
#include "WholeIo.h"

namespace {

std::string Why(const char* step) { return std::string(step) + ": " + strerror(errno); }

}  // namespace

std::string ReplaceFile(const std::string& path, const std::string& text, mode_t mode, bool sync) {
  std::string tmp = path + ".tmp";
  if (unlink(tmp.c_str()) != 0 && errno != ENOENT) return Why("cannot remove the temporary file");
  UniqueFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) return Why("cannot create the temporary file");
  std::string why;
  if (!wholeio::WriteAll(fd.get(), text)) {
    why = Why("cannot write");
  } else if (sync && fsync(fd.get()) != 0) {
    why = Why("cannot sync");
  }
  if (close(fd.release()) != 0 && why.empty()) why = Why("cannot write");
  if (why.empty() && rename(tmp.c_str(), path.c_str()) != 0) why = Why("cannot rename");
  if (!why.empty()) unlink(tmp.c_str());
  return why;
}
