// The supervisor's own threads run for the life of the process and are never
// joined.
#pragma once

#include <pthread.h>

// Starts fn(nullptr) on a detached thread: 0, or the error number that
// kept it from being made.
inline int StartDetached(void* (*fn)(void*)) {
  pthread_attr_t attr;
  int err = pthread_attr_init(&attr);
  if (err != 0) return err;
  err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (err == 0) err = pthread_create(&thread, &attr, fn, nullptr);
  pthread_attr_destroy(&attr);
  return err;
}
