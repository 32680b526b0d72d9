// Test data and timing shared by the benchmarks.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "UniqueFd.h"
#include "WholeIo.h"

// Seconds on the monotonic clock.
inline double BenchNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A file of size bytes (rounded up to whole MiB) that no compressor shrinks,
// synced so that no writeback runs during the timing.
inline bool WriteRandomFile(const std::string& path, size_t size) {
  constexpr size_t kBlock = size_t(1) << 20;
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd.valid()) return false;
  std::vector<uint64_t> block(kBlock / 8);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t done = 0; done < size; done += kBlock) {
    for (auto& w : block) {  // xorshift64
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      w = state;
    }
    if (!wholeio::WriteAll(fd.get(), reinterpret_cast<const char*>(block.data()), kBlock))
      return false;
  }
  return fsync(fd.get()) == 0;
}
