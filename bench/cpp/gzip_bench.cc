// Prints what reading gzip members costs in the core alone (no Python), per
// token id: gzip_unwrap (libdeflate first, zlib when that fails) beside
// gzip_unwrap_zlib (zlib alone, as gzip_unwrap read every member before),
// each alone and followed by decode_payload, in the same process.
//
//   gzip_bench [RUNS]
//
// Two workloads per tokenizer with samples: one member of 1,000,000 ids
// (the samples repeated, as codec_bench), and 10,000 members of 100 ids
// each (consecutive slices of the same ids), read one after the other. Each
// figure is the median and the fastest of RUNS runs (default 21), the calls
// of a pair taken round robin; the ratio is of the fastest runs. Nothing is
// asserted; a line starting "!!" means the two readings did not give the
// same ids.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "codec/gzip.h"
#include "codec/gzip_reference.h"
#include "codec/payload.h"
#include "codec/codec.h"
#include "mapping/tokenizer_registry.h"
#include "samples.h"

namespace {

constexpr size_t kIds = 1000000;
constexpr size_t kSmallIds = 100;

struct Timed {
  const char* what;
  std::function<size_t()> run;  // returns the ids read
};

// Runs the calls of `group` round robin `runs` times and prints a row each;
// each row after the first also gives its fastest run over the first's.
void time_group(const char* name, const char* workload, int runs,
                const std::vector<Timed>& group) {
  std::vector<std::vector<double>> times(group.size());
  size_t ids = 0;
  for (int r = 0; r < runs; ++r) {
    for (size_t i = 0; i < group.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      ids = group[i].run();
      times[i].push_back(std::chrono::duration<double, std::milli>(
                             std::chrono::steady_clock::now() - start)
                             .count());
    }
  }
  for (size_t i = 0; i < group.size(); ++i) {
    std::sort(times[i].begin(), times[i].end());
    std::printf("%-12s %-14s %-36s %9.3f %9.3f %7.2f", name, workload, group[i].what,
                times[i][runs / 2], times[i].front(), times[i].front() * 1e6 / ids);
    if (i > 0) std::printf("  %.3fx", times[i].front() / times[0].front());
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
  std::printf("gzip members of real token ids, %d runs; ratio: fastest run over the "
              "first row's\n",
              runs);
  std::printf("%-12s %-14s %-36s %9s %9s %7s\n", "tokenizer", "workload", "operation",
              "median ms", "min ms", "ns/id");
  for (const std::string& name : vonk::TokenizerRegistry::list()) {
    const std::vector<uint32_t> ids = sample_ids(name, kIds);
    if (ids.empty()) continue;
    auto opened = vonk::Codec::open(name);
    if (!opened.ok()) {
      std::fprintf(stderr, "%s\n", opened.error().display().c_str());
      return 1;
    }
    const vonk::Codec& codec = opened.value();
    const char* n = name.c_str();
    const auto mapped = codec.token_id_to_mapped_id(ids).value();
    const std::span<const int32_t> all(mapped.data(), mapped.size());

    const vonk::ByteBuffer large = vonk::encode_payload(all, true);
    std::vector<vonk::ByteBuffer> small;
    for (size_t i = 0; i + kSmallIds <= all.size(); i += kSmallIds) {
      small.push_back(vonk::encode_payload(all.subspan(i, kSmallIds), true));
    }

    // Each reading of a member, and the ids it decodes to.
    auto unwrap = [](std::span<const uint8_t> m) { return vonk::gzip_unwrap(m).value().size(); };
    auto unwrap_zlib = [](std::span<const uint8_t> m) {
      return vonk::gzip_unwrap_zlib(m).value().size();
    };
    auto decode = [](std::span<const uint8_t> m) {
      return vonk::decode_payload(m, true).value().size();
    };
    auto decode_zlib = [](std::span<const uint8_t> m) {
      const vonk::ByteBuffer plain = vonk::gzip_unwrap_zlib(m).value();
      return vonk::decode_payload(bytes_of(plain), false).value().size();
    };
    if (vonk::decode_payload(bytes_of(large), true).value() != all ||
        vonk::gzip_unwrap(bytes_of(large)).value() !=
            bytes_of(vonk::gzip_unwrap_zlib(bytes_of(large)).value())) {
      std::printf("!! %s: the two readings differ\n", n);
    }

    auto on_large = [&](auto read) {
      return [&, read] {
        read(bytes_of(large));
        return all.size();
      };
    };
    auto on_small = [&](auto read) {
      return [&, read] {
        for (const vonk::ByteBuffer& m : small) read(bytes_of(m));
        return small.size() * kSmallIds;
      };
    };
    std::printf("%-12s member of %zu ids: %zu bytes; members of %zu ids: about %zu bytes\n",
                n, all.size(), large.size(), kSmallIds, small[0].size());
    time_group(n, "1 x 1,000,000", runs, {
        {"gzip_unwrap_zlib", on_large(unwrap_zlib)},
        {"gzip_unwrap", on_large(unwrap)},
    });
    time_group(n, "1 x 1,000,000", runs, {
        {"gzip_unwrap_zlib + decode_payload", on_large(decode_zlib)},
        {"decode_payload(gzip)", on_large(decode)},
    });
    time_group(n, "10,000 x 100", runs, {
        {"gzip_unwrap_zlib", on_small(unwrap_zlib)},
        {"gzip_unwrap", on_small(unwrap)},
    });
    time_group(n, "10,000 x 100", runs, {
        {"gzip_unwrap_zlib + decode_payload", on_small(decode_zlib)},
        {"decode_payload(gzip)", on_small(decode)},
    });
  }
  return 0;
}
