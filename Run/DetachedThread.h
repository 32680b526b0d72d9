// The supervisor's own threads run for the life of the process and are never
// joined.
#pragma once

#include <pthread.h>

// Starts fn(nullptr) on a detached thread; false when it could not be made.
inline bool StartDetached(void* (*fn)(void*)) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  bool started = pthread_create(&thread, &attr, fn, nullptr) == 0;
  pthread_attr_destroy(&attr);
  return started;
}
