// FUZZ_CHECK: the assertion of the fuzz targets. A failed check prints the
// condition and aborts, which libFuzzer records as a crash with its input.
#ifndef VONK_TESTS_FUZZ_FUZZ_CHECK_H_
#define VONK_TESTS_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                           \
  do {                                                                  \
    if (!(condition)) {                                                 \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,       \
                   __LINE__, #condition);                               \
      std::abort();                                                     \
    }                                                                   \
  } while (0)

#endif  // VONK_TESTS_FUZZ_FUZZ_CHECK_H_
