// Ends the fuzz target on a broken invariant, so libFuzzer keeps the input.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      fprintf(stderr, "broken invariant: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      abort();                                                                      \
    }                                                                               \
  } while (0)
