// Whether the supervisor is process 1 of its pid namespace (a container's
// first process), where orphans are handed to it.
#pragma once

#include <unistd.h>

inline bool IsFirstProcess() {
  static const bool first = getpid() == 1;
  return first;
}
