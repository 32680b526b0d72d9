// The wall clock of the log facility: record times and the date in the log
// file name both come from here, so a test can move the day forward.
#pragma once

#include <time.h>

#include <atomic>

namespace commlog {

using ClockFn = time_t (*)();

inline std::atomic<ClockFn> g_clock{nullptr};

// Replaces the clock; null restores time().
inline void SetClock(ClockFn fn) { g_clock.store(fn); }

inline time_t Now() {
  ClockFn fn = g_clock.load(std::memory_order_relaxed);
  return fn ? fn() : time(nullptr);
}

}  // namespace commlog
