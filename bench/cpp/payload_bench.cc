// Timings of the payload writer and reader and of the gzip layer, on one
// million mapped ids drawn like the ids of real text.
//
// Distribution: token ranks 0..99999 drawn from a Zipf law with exponent 1
// (P(rank r) proportional to 1 / (r + 1)), from a fixed-seed splitmix64
// generator; rank r becomes the mapped id of that rank, 0, 1, -1, 2, -2, ...
// (odd r -> (r + 1) / 2, even r -> -r / 2). About 45% of the ids then take one
// varint byte, 40% two and 15% three.
//
// Each figure is the median of 21 runs. Nothing is asserted; the program only
// prints. With `--dump DIR` it also writes DIR/payload.bin (the plain
// payload) and DIR/payload.gz (its gzip member) for comparison with other
// tools, e.g. Python's zlib.compress(b, 6) and gzip.decompress(g).
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/gzip.h"
#include "codec/payload.h"
#include "codec/zigzag_run.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kIds = 1000000;
constexpr uint32_t kRanks = 100000;
constexpr int kRuns = 21;

uint64_t splitmix64(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::vector<int32_t> zipf_mapped_ids(size_t count, double exponent) {
  std::vector<double> cdf(kRanks);
  double total = 0;
  for (uint32_t r = 0; r < kRanks; ++r) {
    total += 1.0 / std::pow(r + 1.0, exponent);
    cdf[r] = total;
  }
  uint64_t state = 20240601;
  std::vector<int32_t> ids(count);
  for (int32_t& id : ids) {
    const double u = (splitmix64(&state) >> 11) * (1.0 / 9007199254740992.0) * total;
    uint32_t rank = static_cast<uint32_t>(std::lower_bound(cdf.begin(), cdf.end(), u) -
                                          cdf.begin());
    rank = std::min(rank, kRanks - 1);
    id = (rank & 1) ? static_cast<int32_t>((rank + 1) / 2)
                    : -static_cast<int32_t>(rank / 2);
  }
  return ids;
}

// Median wall time of `runs` calls of `f`, in milliseconds.
template <typename F>
double median_ms(F&& f, int runs = kRuns) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void row(const char* what, double ms, const char* note = "") {
  std::printf("  %-44s %9.3f ms %8.2f ns/id  %s\n", what, ms, ms * 1e6 / kIds, note);
}

// zlib's one-shot zlib-format compression at level 6, into a fresh buffer.
Bytes zlib_compress6(const Bytes& in) {
  uLongf size = compressBound(static_cast<uLong>(in.size()));
  Bytes out(size);
  compress2(out.data(), &size, in.data(), static_cast<uLong>(in.size()), 6);
  out.resize(size);
  return out;
}

// zlib's one-shot decompression into a fresh buffer of the known size.
Bytes zlib_uncompress(const Bytes& in, size_t original) {
  uLongf size = static_cast<uLongf>(original);
  Bytes out(size);
  uncompress(out.data(), &size, in.data(), static_cast<uLong>(in.size()));
  out.resize(size);
  return out;
}

// The member zlib writes at gzip_wrap's settings (level 6, window bits 15,
// memory level 8), its output drained through a 32 KiB buffer and appended
// to a growing result.
Bytes zlib_gzip_wrap(const Bytes& in) {
  Bytes out = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  uint8_t staging[32768];
  int rc;
  do {
    s.next_out = staging;
    s.avail_out = sizeof(staging);
    rc = deflate(&s, Z_FINISH);
    out.insert(out.end(), staging, staging + (sizeof(staging) - s.avail_out));
  } while (rc == Z_OK);
  deflateEnd(&s);
  const uint32_t crc = static_cast<uint32_t>(crc32_z(0, in.data(), in.size()));
  const uint32_t size = static_cast<uint32_t>(in.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(size >> (8 * i)));
  return out;
}

// libdeflate's whole-buffer inflation of a fixed-header member into room of
// the known size, and its CRC-32 (no checks beyond libdeflate's).
Bytes libdeflate_inflate(const Bytes& member, size_t original) {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  Bytes out(original + 1);
  size_t produced = 0;
  libdeflate_deflate_decompress(d, member.data() + 10, member.size() - 18, out.data(),
                                out.size(), &produced);
  libdeflate_free_decompressor(d);
  out.resize(produced);
  (void)libdeflate_crc32(0, out.data(), out.size());
  return out;
}

// Inflates the DEFLATE data of a fixed-header member through a 32 KiB
// output buffer appended to a growing result (no checks beyond zlib's).
Bytes staged_inflate(const Bytes& member) {
  Bytes out;
  z_stream s{};
  inflateInit2(&s, -15);
  s.next_in = const_cast<Bytef*>(member.data() + 10);
  s.avail_in = static_cast<uInt>(member.size() - 10);
  uint8_t staging[32768];
  int rc;
  do {
    s.next_out = staging;
    s.avail_out = sizeof(staging);
    rc = inflate(&s, Z_NO_FLUSH);
    out.insert(out.end(), staging, staging + (sizeof(staging) - s.avail_out));
  } while (rc == Z_OK);
  inflateEnd(&s);
  (void)crc32_z(0, out.data(), out.size());
  return out;
}

bool write_file(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dump_dir;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) dump_dir = argv[++i];
  }

  const std::vector<int32_t> ids = zipf_mapped_ids(kIds, 1.0);
  size_t by_length[6] = {};
  for (int32_t id : ids) {
    const uint32_t z = (static_cast<uint32_t>(id) << 1) ^ static_cast<uint32_t>(id >> 31);
    ++by_length[z < (1u << 7) ? 1 : z < (1u << 14) ? 2 : z < (1u << 21) ? 3 : 4];
  }

  vonk::ByteBuffer written = vonk::encode_payload(ids, false);
  const Bytes payload(written.begin(), written.end());
  written = vonk::gzip_wrap(payload);
  const Bytes member(written.begin(), written.end());
  std::printf("%zu mapped ids, Zipf(1.0) over %u ranks: %.1f%% 1-byte, %.1f%% 2-byte, "
              "%.1f%% 3-byte varints\n",
              kIds, kRanks, 100.0 * by_length[1] / kIds, 100.0 * by_length[2] / kIds,
              100.0 * by_length[3] / kIds);
  std::printf("payload %zu bytes (%.3f bytes/id); gzip member %zu bytes (%.1f%% of payload)\n",
              payload.size(), double(payload.size()) / kIds, member.size(),
              100.0 * member.size() / payload.size());
  std::printf("median of %d runs\n", kRuns);

  {
    const auto r = vonk::decode_payload(payload, false);
    if (!r.ok() || r.value() != ids) std::printf("  !! decode did not give the ids back\n");
    const auto g = vonk::gzip_unwrap(member);
    if (!g.ok() || !std::equal(g.value().begin(), g.value().end(), payload.begin(), payload.end())) {
      std::printf("  !! unwrap did not give the payload back\n");
    }
  }

  std::printf("payload (target: < 3 ms each)\n");
  row("encode_payload", median_ms([&] { written = vonk::encode_payload(ids, false); }));
  row("decode_payload", median_ms([&] {
        auto r = vonk::decode_payload(payload, false);
        if (!r.ok()) std::printf("  !! decode failed\n");
      }));

  {
    // The element pass alone (the payload's varints start after its
    // 1 + 1 + 3 header bytes).
    std::vector<int32_t> out(kIds);
    std::printf("element pass only\n");
    row("zigzag_run::read_run", median_ms([&] {
          const uint8_t* p = payload.data() + 5;
          if (vonk::zigzag_run::read_run(&p, payload.data() + payload.size(), kIds,
                                         out.data()) + 8 < kIds) {
            std::printf("  !! bulk reader stopped early\n");
          }
        }));
  }

  std::printf("gzip layer on the payload\n");
  const double wrap = median_ms([&] { written = vonk::gzip_wrap(payload); });
  Bytes zlib_member;
  const double zlib_wrap = median_ms([&] { zlib_member = zlib_gzip_wrap(payload); });
  Bytes zlib_raw;
  const double compress = median_ms([&] { zlib_raw = zlib_compress6(payload); });
  const double unwrap = median_ms([&] {
    auto r = vonk::gzip_unwrap(member);
    if (!r.ok()) std::printf("  !! unwrap failed\n");
  });
  const double uncompress = median_ms([&] { zlib_uncompress(zlib_raw, payload.size()); });
  const double staged_unwrap = median_ms([&] { staged_inflate(member); });
  const double whole_unwrap = median_ms([&] { libdeflate_inflate(member, payload.size()); });
  uint32_t crc = 0;
  const double crc_zlib = median_ms([&] {
    crc ^= static_cast<uint32_t>(crc32_z(0, payload.data(), payload.size()));
  });
  const double crc_libdeflate = median_ms([&] {
    crc ^= libdeflate_crc32(0, payload.data(), payload.size());
  });
  char note[96];
  std::snprintf(note, sizeof(note), "member %zu bytes", member.size());
  row("gzip_wrap (libdeflate level 6)", wrap, note);
  std::snprintf(note, sizeof(note), "gzip_wrap / this = %.3f; member %zu bytes",
                wrap / zlib_wrap, zlib_member.size());
  row("zlib deflate level 6, 32 KiB staging", zlib_wrap, note);
  std::snprintf(note, sizeof(note), "gzip_wrap / this = %.3f", wrap / compress);
  row("zlib compress2(level 6)", compress, note);
  row("gzip_unwrap (zlib inflate)", unwrap);
  std::snprintf(note, sizeof(note), "gzip_unwrap / this = %.3f", unwrap / uncompress);
  row("zlib uncompress (size known)", uncompress, note);
  row("inflate through 32 KiB staging", staged_unwrap);
  std::snprintf(note, sizeof(note), "gzip_unwrap / this = %.3f", unwrap / whole_unwrap);
  row("libdeflate inflate + crc (size known)", whole_unwrap, note);
  std::snprintf(note, sizeof(note), "%.1f GB/s", payload.size() / crc_zlib / 1e6);
  row("crc32: zlib crc32_z", crc_zlib, note);
  std::snprintf(note, sizeof(note), "%.1f GB/s", payload.size() / crc_libdeflate / 1e6);
  row("crc32: libdeflate_crc32", crc_libdeflate, note);

  std::printf("whole calls\n");
  vonk::ByteBuffer wrapped;
  row("encode_payload(gzip)", median_ms([&] { wrapped = vonk::encode_payload(ids, true); }));
  row("decode_payload(gzip)", median_ms([&] {
        auto r = vonk::decode_payload(wrapped, true);
        if (!r.ok()) std::printf("  !! decode failed\n");
      }));

  if (!dump_dir.empty()) {
    const std::string bin = dump_dir + "/payload.bin";
    const std::string gz = dump_dir + "/payload.gz";
    if (write_file(bin, payload) && write_file(gz, member)) {
      std::printf("wrote %s and %s\n", bin.c_str(), gz.c_str());
    } else {
      std::printf("could not write to %s\n", dump_dir.c_str());
    }
  }
  return 0;
}
