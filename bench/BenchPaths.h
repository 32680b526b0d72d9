// Where a benchmark finds the build's executables: <build>/bench/<bench>
// sits beside <build>/monitor.
#pragma once

#include <limits.h>
#include <unistd.h>

#include <string>

inline std::string DefaultMonitorPath() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "monitor";
  self[n] = '\0';
  std::string dir(self);
  dir.resize(dir.rfind('/'));      // <build>/bench
  dir.resize(dir.rfind('/') + 1);  // <build>/
  return dir + "monitor";
}
