#pragma once
// A promise of the code under test that a fuzz target checks. A broken one aborts
// with the condition's text: libFuzzer then keeps the input as a crash, and the
// corpus replay fails the test.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)
