// The committed token-id samples of the Python benchmarks, for the core's
// benchmark programs.
#ifndef VONK_BENCH_CPP_SAMPLES_H_
#define VONK_BENCH_CPP_SAMPLES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

// The three samples of tokenizer `name` (bench/data/KIND.NAME.u32),
// repeated to `count` ids; empty when it has no samples.
inline std::vector<uint32_t> sample_ids(const std::string& name, size_t count) {
  std::vector<uint32_t> pool;
  for (const char* kind : {"prose", "code", "multilingual"}) {
    std::ifstream in(std::string(VONK_SOURCE_DIR) + "/bench/data/" + kind +
                         "." + name + ".u32",
                     std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
    const size_t old = pool.size();
    pool.resize(old + bytes.size() / 4);
    std::memcpy(pool.data() + old, bytes.data(), bytes.size() / 4 * 4);  // little-endian
  }
  std::vector<uint32_t> ids;
  for (size_t i = 0; !pool.empty() && i < count; ++i) ids.push_back(pool[i % pool.size()]);
  return ids;
}

// A contiguous byte buffer as a span.
template <typename T>
std::span<const uint8_t> bytes_of(const T& buffer) {
  return {buffer.data(), buffer.size()};
}

#endif  // VONK_BENCH_CPP_SAMPLES_H_
