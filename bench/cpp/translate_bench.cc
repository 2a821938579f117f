// Prints how long the core takes to translate 1,000,000 token ids of real
// text to mapped ids and back, and to encode and decode them end to end.
//
//   translate_bench
//
// The ids are the benchmark samples (bench/data/*.NAME.u32, the ordinary
// encoding of real prose, code and other languages) repeated to 1,000,000.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "lib/codec.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kIds = 1000000;
constexpr int kRuns = 51;

std::vector<uint32_t> sample_ids(const std::string& name) {
  std::vector<uint32_t> pool;
  for (const char* kind : {"prose", "code", "multilingual"}) {
    std::ifstream in(std::string(VONK_SOURCE_DIR) + "/bench/data/" + kind +
                         "." + name + ".u32",
                     std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
    size_t count = bytes.size() / 4;
    size_t old = pool.size();
    pool.resize(old + count);
    std::memcpy(pool.data() + old, bytes.data(), count * 4);  // little-endian
  }
  std::vector<uint32_t> ids(kIds);
  for (size_t i = 0; i < kIds; ++i) ids[i] = pool[i % pool.size()];
  return ids;
}

// The median and the fastest of kRuns runs, in ms. On a shared machine the
// fastest run is the steadier figure.
struct Times {
  double median;
  double min;
};

template <typename F>
Times time_ms(F&& run) {
  std::vector<double> times;
  for (int r = 0; r < kRuns; ++r) {
    auto start = Clock::now();
    run();
    times.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times.front()};
}

}  // namespace

int main() {
  std::printf("1,000,000 token ids of real text, %d runs\n", kRuns);
  std::printf("%-12s %-24s %10s %10s %10s\n", "tokenizer", "operation",
              "median ms", "min ms", "min ns/id");
  for (const char* name : {"cl100k_base", "o200k_base", "p50k_base"}) {
    auto opened = vonk::Codec::open(name);
    if (!opened.ok()) {
      std::fprintf(stderr, "%s\n", opened.error().display().c_str());
      return 1;
    }
    const vonk::Codec& codec = opened.value();
    std::vector<uint32_t> ids = sample_ids(name);
    const vonk::PodBuffer<int32_t> mapped =
        std::move(codec.token_id_to_mapped_id(ids)).value();
    const vonk::ByteBuffer payload =
        std::move(codec.encode_token_ids(ids, false)).value();
    size_t sink = 0;
    auto row = [&](const char* what, Times t) {
      std::printf("%-12s %-24s %10.3f %10.3f %10.2f\n", name, what, t.median,
                  t.min, t.min * 1e6 / kIds);
    };
    row("token_id_to_mapped_id", time_ms([&] {
          sink += codec.token_id_to_mapped_id(ids).value().size();
        }));
    row("mapped_id_to_token_id", time_ms([&] {
          sink += codec.mapped_id_to_token_id(mapped).value().size();
        }));
    row("encode_token_ids", time_ms([&] {
          sink += codec.encode_token_ids(ids, false).value().size();
        }));
    row("decode_token_ids", time_ms([&] {
          sink += codec.decode_token_ids(payload, false).value().size();
        }));
    if (sink == 0) std::printf("\n");
  }
  return 0;
}
