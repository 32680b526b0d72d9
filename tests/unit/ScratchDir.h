// A new empty folder for one test (or one suite), removed with everything in
// it when the object goes; folders a test made unreadable are opened first.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class ScratchDir {
 public:
  // A folder named <prefix>.XXXXXX under parent.
  explicit ScratchDir(const std::string& prefix, const std::string& parent = "/tmp") {
    std::string tmpl = parent + "/" + prefix + ".XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) {
      perror("mkdtemp");
      abort();  // nothing a test could do without it
    }
    path_ = tmpl;
  }
  ~ScratchDir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
