// Prints how long the core alone (no Python) takes for each layer of a call
// on 1,000,000 token ids of real text: the Codec's translations and whole
// encode/decode, the payload writer and reader and their bulk varint loop,
// and the gzip layer beside zlib's and libdeflate's own one-shot calls.
//
//   codec_bench
//
// The ids are the benchmark samples (bench/data/KIND.NAME.u32: prose, code,
// other languages) repeated to 1,000,000, for every registered tokenizer
// with samples of its own. Each figure is the median and the fastest of
// kRuns runs, the calls of a group taken round robin; on a shared machine
// the fastest is the steadier figure, and ratios are taken between them. Nothing is asserted; a line
// starting "!!" means a round trip did not give back its input.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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
#include "codec/zigzag_run.h"
#include "codec/codec.h"
#include "mapping/tokenizer_registry.h"
#include "samples.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kIds = 1000000;
constexpr int kRuns = 21;

struct Timed {
  const char* what;
  std::function<void()> run;
};

// Runs the calls of `group` round robin kRuns times, so that a busy phase
// of the machine slows them alike, and prints a row each; with `versus`,
// each row after the first also gives its fastest run over the first's.
void time_group(const char* name, const std::vector<Timed>& group, bool versus) {
  std::vector<std::vector<double>> times(group.size());
  for (int r = 0; r < kRuns; ++r) {
    for (size_t i = 0; i < group.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      group[i].run();
      times[i].push_back(std::chrono::duration<double, std::milli>(
                             std::chrono::steady_clock::now() - start)
                             .count());
    }
  }
  for (size_t i = 0; i < group.size(); ++i) {
    std::sort(times[i].begin(), times[i].end());
    std::printf("%-12s %-38s %9.3f %9.3f %8.2f", name, group[i].what, times[i][kRuns / 2],
                times[i].front(), times[i].front() * 1e6 / kIds);
    if (versus && i > 0) {
      std::printf("  %.3fx of the first", times[i].front() / times[0].front());
    }
    std::printf("\n");
  }
}

}  // namespace

int main() {
  std::printf("1,000,000 token ids of real text, %d runs\n", kRuns);
  std::printf("%-12s %-36s %9s %9s %8s\n", "tokenizer", "operation", "median ms",
              "min ms", "ns/id");
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
    const auto payload = vonk::encode_payload(mapped, false);
    const auto member = vonk::gzip_wrap(bytes_of(payload));
    std::printf("%-12s payload %zu bytes, gzip member %zu bytes\n", n, payload.size(), member.size());
    if (codec.decode_token_ids(bytes_of(payload), false).value() != std::span<const uint32_t>(ids) ||
        vonk::decode_payload(bytes_of(member), true).value() != mapped) {
      std::printf("!! %s: a round trip did not give back the ids\n", n);
    }
    size_t sink = 0;

    // The Codec's calls: what the Python methods do between conversions.
    time_group(n, {
        {"token_id_to_mapped_id", [&] { sink += codec.token_id_to_mapped_id(ids).value().size(); }},
        {"mapped_id_to_token_id", [&] { sink += codec.mapped_id_to_token_id(mapped).value().size(); }},
        {"encode_token_ids", [&] { sink += codec.encode_token_ids(ids, false).value().size(); }},
        {"decode_token_ids", [&] { sink += codec.decode_token_ids(bytes_of(payload), false).value().size(); }},
    }, false);

    // The payload layer, and the element pass alone (the varints start after
    // the 1 + 1 + 3 header bytes of a list of 1,000,000).
    std::vector<int32_t> out(kIds);
    time_group(n, {
        {"encode_payload", [&] { sink += vonk::encode_payload(mapped, false).size(); }},
        {"decode_payload", [&] { sink += vonk::decode_payload(bytes_of(payload), false).value().size(); }},
        {"zigzag_run::read_run", [&] {
           const uint8_t* p = payload.data() + 5;
           sink += vonk::zigzag_run::read_run(&p, payload.data() + payload.size(), kIds, out.data());
         }},
        {"encode_payload(gzip)", [&] { sink += vonk::encode_payload(mapped, true).size(); }},
        {"decode_payload(gzip)", [&] { sink += vonk::decode_payload(bytes_of(member), true).value().size(); }},
    }, false);

    // The gzip layer beside the libraries' own one-shot calls on the same
    // bytes. gzip_wrap takes its bytes by value: the copy is timed too.
    Bytes zlib_out(compressBound(payload.size()));
    uLongf zlib_size = zlib_out.size();
    compress2(zlib_out.data(), &zlib_size, payload.data(), payload.size(), 6);
    Bytes deflated(zlib_out.size()), room(payload.size() + 1);
    time_group(n, {
        {"zlib compress2 (level 6)", [&] {
           uLongf size = deflated.size();
           compress2(deflated.data(), &size, payload.data(), payload.size(), 6);
         }},
        {"gzip_wrap (libdeflate level 6)",
         [&] { sink += vonk::gzip_wrap(bytes_of(payload)).size(); }},
    }, true);
    libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
    time_group(n, {
        {"zlib uncompress (size known)", [&] {
           uLongf size = room.size();
           uncompress(room.data(), &size, zlib_out.data(), zlib_size);
         }},
        {"gzip_unwrap", [&] { sink += vonk::gzip_unwrap(bytes_of(member)).value().size(); }},
        {"gzip_unwrap_zlib (zlib inflate)",
         [&] { sink += vonk::gzip_unwrap_zlib(bytes_of(member)).value().size(); }},
        {"libdeflate inflate + crc (size known)", [&] {
           size_t produced = 0;
           libdeflate_deflate_decompress(inflater, member.data() + 10, member.size() - 18,
                                         room.data(), room.size(), &produced);
           sink += libdeflate_crc32(0, room.data(), produced);
         }},
    }, true);
    libdeflate_free_decompressor(inflater);
    time_group(n, {
        {"crc32: zlib crc32_z", [&] { sink += crc32_z(0, payload.data(), payload.size()); }},
        {"crc32: libdeflate_crc32", [&] { sink += libdeflate_crc32(0, payload.data(), payload.size()); }},
    }, true);
    if (sink == 0) std::printf("\n");
  }
  return 0;
}
