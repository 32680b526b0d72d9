// Where a benchmark finds the build's executables: <build>/bench/<bench>
// sits beside <build>/monitor.
#pragma once

#include <string>

#include "WholeIo.h"

inline std::string DefaultMonitorPath() {
  std::string dir = wholeio::ReadLink("/proc/self/exe");
  if (dir.empty()) return "monitor";
  dir.resize(dir.rfind('/'));      // <build>/bench
  dir.resize(dir.rfind('/') + 1);  // <build>/
  return dir + "monitor";
}
