// Helpers for tests that bound the memory a decoder may take.
#ifndef VONK_TESTS_CPP_MEMORY_LIMITS_H_
#define VONK_TESTS_CPP_MEMORY_LIMITS_H_

#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

// VONK_ASAN is defined under AddressSanitizer, whose shadow memory and
// quarantine make address-space limits and resident-set figures meaningless.
#if defined(__SANITIZE_ADDRESS__)
#define VONK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VONK_ASAN 1
#endif
#endif

namespace vonk {

// Caps the address space of this (death-test child) process at its current
// size plus `headroom` bytes; returns whether the cap holds, that is whether
// 1 GiB can no longer be allocated.
inline bool limit_address_space(size_t headroom) {
  unsigned long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return false;
  const bool read = std::fscanf(statm, "%lu", &pages) == 1;
  std::fclose(statm);
  rlimit limit;
  limit.rlim_cur = limit.rlim_max = pages * 4096 + headroom;
  if (!read || setrlimit(RLIMIT_AS, &limit) != 0) return false;
  try {
    std::vector<uint8_t> gigabyte(size_t{1} << 30);
  } catch (const std::bad_alloc&) {
    return true;
  }
  return false;
}

}  // namespace vonk

#endif  // VONK_TESTS_CPP_MEMORY_LIMITS_H_
