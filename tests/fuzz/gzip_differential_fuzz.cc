// Differential fuzz target of the gzip layer's reader: gzip_unwrap must give
// exactly what its zlib reading, gzip_unwrap_zlib, gives for every input:
// the same data, or a failure of the same kind with the same text.
// gzip_unwrap inflates with libdeflate first and falls back on zlib's
// reading when that fails, so what this watches is the vendored libdeflate
// (with vonk's patch) accepting a stream zlib refuses, or reading one
// differently.
//
// An input that starts with 0x1F is a member, checked as it is. Any other
// input is raw DEFLATE data (which cannot start with 0x1F: that is a final
// block of the reserved type 3). The target reads the data with both
// inflaters itself and checks:
//  - libdeflate accepts the data exactly when zlib does, and then both give
//    the same bytes and end the stream at the same byte;
//  - gzip_unwrap and gzip_unwrap_zlib agree on the member of the fixed
//    header and the data as they are, and, when the data holds a stream, on
//    the member that ends in the right trailer for that stream, alone and
//    followed by the bytes after the stream. So a stream that libdeflate
//    alone accepted would unwrap, not merely fail on its checksum.
#include <libdeflate.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/gzip.h"
#include "codec/gzip_reference.h"
#include "error/codec_error.h"
#include "fuzz_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kHeader[10] = {0x1F, 0x8B, 0x08, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0xFF};

// Most data either inflater may give here; both fail beyond it.
constexpr size_t kMaxData = size_t{1} << 21;

// One inflater's reading of raw DEFLATE data.
struct Reading {
  bool ok = false;
  Bytes data;
  size_t consumed = 0;  // bytes of the stream, when ok
};

Reading libdeflate_reading(std::span<const uint8_t> in) {
  static libdeflate_decompressor* const decompressor =
      libdeflate_alloc_decompressor();
  static Bytes room(kMaxData);
  FUZZ_CHECK(decompressor != nullptr);
  Reading r;
  size_t produced = 0;
  r.ok = libdeflate_deflate_decompress_ex(decompressor, in.data(), in.size(),
                                          room.data(), room.size(),
                                          &r.consumed, &produced) ==
         LIBDEFLATE_SUCCESS;
  if (r.ok) r.data.assign(room.begin(), room.begin() + produced);
  return r;
}

Reading zlib_reading(std::span<const uint8_t> in) {
  static Bytes room(kMaxData);
  z_stream s{};
  FUZZ_CHECK(inflateInit2(&s, -15) == Z_OK);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = room.data();
  s.avail_out = static_cast<uInt>(room.size());
  const int rc = inflate(&s, Z_FINISH);
  FUZZ_CHECK(rc == Z_STREAM_END || rc == Z_BUF_ERROR || rc == Z_DATA_ERROR);
  Reading r;
  r.ok = rc == Z_STREAM_END;
  if (r.ok) {
    r.data.assign(room.begin(), room.begin() + (room.size() - s.avail_out));
    r.consumed = in.size() - s.avail_in;
  }
  inflateEnd(&s);
  return r;
}

// gzip_unwrap and its zlib reading agree on `member`.
void check_same(std::span<const uint8_t> member) {
  const vonk::Result<vonk::ByteBuffer> fast = vonk::gzip_unwrap(member);
  const vonk::Result<vonk::ByteBuffer> zlib = vonk::gzip_unwrap_zlib(member);
  FUZZ_CHECK(fast.ok() == zlib.ok());
  if (fast.ok()) {
    FUZZ_CHECK(fast.value() == zlib.value());
  } else {
    FUZZ_CHECK(fast.error().kind() == zlib.error().kind());
    FUZZ_CHECK(fast.error().text() == zlib.error().text());
  }
}

void append_le32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void check_stream(std::span<const uint8_t> stream) {
  Bytes member(kHeader, kHeader + sizeof(kHeader));
  member.insert(member.end(), stream.begin(), stream.end());
  check_same(member);

  const Reading fast = libdeflate_reading(stream);
  const Reading zlib = zlib_reading(stream);
  FUZZ_CHECK(fast.ok == zlib.ok);
  if (!fast.ok) return;
  FUZZ_CHECK(fast.data == zlib.data);
  FUZZ_CHECK(fast.consumed == zlib.consumed);

  // The member of the stream with its right trailer, then with the bytes
  // that followed the stream after that trailer.
  member.resize(sizeof(kHeader) + fast.consumed);
  append_le32(&member, static_cast<uint32_t>(crc32_z(0, fast.data.data(),
                                                     fast.data.size())));
  append_le32(&member, static_cast<uint32_t>(fast.data.size()));
  const vonk::Result<vonk::ByteBuffer> unwrapped = vonk::gzip_unwrap(member);
  FUZZ_CHECK(unwrapped.ok() && unwrapped.value() == std::span<const uint8_t>(fast.data));
  check_same(member);
  if (fast.consumed < stream.size()) {
    member.insert(member.end(), stream.begin() + fast.consumed, stream.end());
    check_same(member);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  if (size > 0 && data[0] == 0x1F) {
    check_same(input);
  } else {
    check_stream(input);
  }
  return 0;
}
