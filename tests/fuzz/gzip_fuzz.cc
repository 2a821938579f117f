// Fuzz target of the gzip layer.
//
// Properties checked for every input:
//  - gzip_unwrap never crashes and fails only with InvalidPayload carrying
//    "Gzip decompression failed: " and one of its five reasons;
//  - it agrees with zlib's own gzip reader (inflate with window bits 16 + 15)
//    on the same input: both accept the first member with the same output,
//    or both reject it, for the same kind of reason;
//  - when it succeeds, the member's trailer (found where zlib's reading of
//    the member ends) holds the CRC-32 and the size of the output, bytes
//    after the member change nothing, and gzip_unwrap(gzip_wrap(out)) == out;
//  - gzip_wrap of the input itself is a member that zlib's gzip reader
//    inflates to the input.
// Inputs that start with a byte other than 0x1F describe a member instead
// (see build_member), so that valid members with optional header fields and
// single damaged bytes are reached without zlib's coverage.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "codec/byte_order.h"
#include "codec/gzip.h"
#include "common/zlib_gunzip.h"
#include "error/codec_error.h"
#include "fuzz_check.h"

namespace {

using vonk::CodecError;
using Bytes = std::vector<uint8_t>;

constexpr char kPrefix[] = "Gzip decompression failed: ";
constexpr char kEndOfFile[] = "unexpected end of file";
constexpr char kBadHeader[] = "invalid gzip header";
constexpr char kFieldTooLong[] = "gzip header field too long";
constexpr char kBadChecksum[] =
    "corrupt gzip stream does not have a matching checksum";
constexpr char kBadDeflate[] = "corrupt deflate stream";

// zlib's reading of the first member, and the reason it stopped in
// gzip_unwrap's words.
struct ZlibOutcome : vonk::ZlibReading {
  std::string reason;
};

ZlibOutcome zlib_outcome(std::span<const uint8_t> in) {
  ZlibOutcome outcome{vonk::zlib_gunzip(in), ""};
  const int rc = outcome.rc;
  FUZZ_CHECK(rc != Z_STREAM_ERROR && rc != Z_MEM_ERROR);
  if (rc == Z_BUF_ERROR) {
    outcome.reason = kEndOfFile;  // all input used, member not complete
  } else if (rc != Z_STREAM_END) {
    FUZZ_CHECK(rc == Z_DATA_ERROR);
    const std::string& msg = outcome.message;
    if (msg == "incorrect header check" ||
        msg == "unknown compression method" ||
        msg == "unknown header flags set") {
      outcome.reason = kBadHeader;
    } else if (msg == "header crc mismatch" ||
               msg == "incorrect data check" ||
               msg == "incorrect length check") {
      outcome.reason = kBadChecksum;
    } else {
      outcome.reason = kBadDeflate;
    }
  }
  return outcome;
}

std::string reason_of(const CodecError& error) {
  FUZZ_CHECK(error.kind() == CodecError::Kind::kInvalidPayload);
  const std::string& text = error.text();
  FUZZ_CHECK(text.rfind(kPrefix, 0) == 0);
  const std::string reason = text.substr(sizeof(kPrefix) - 1);
  FUZZ_CHECK(reason == kEndOfFile || reason == kBadHeader ||
             reason == kFieldTooLong || reason == kBadChecksum ||
             reason == kBadDeflate);
  return reason;
}

void check_unwrap(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  vonk::Result<vonk::ByteBuffer> unwrapped = vonk::gzip_unwrap(input);

  // Name and comment fields are capped at 65535 bytes here but not in zlib;
  // inputs that cannot hold such a field compare exactly.
  const bool comparable = size <= 65535 + 10;
  const ZlibOutcome zlib = zlib_outcome(input);

  if (!unwrapped.ok()) {
    const std::string reason = reason_of(unwrapped.error());
    if (size < 10) FUZZ_CHECK(reason == kEndOfFile);
    if (comparable) {
      FUZZ_CHECK(!zlib.ok());
      // zlib checks the magic bytes before it has read all ten, and the
      // trailer's CRC-32 before it has read ISIZE; gzip_unwrap reads all
      // ten and all eight bytes first.
      const bool crc_of_cut_trailer =
          zlib.message == "incorrect data check" && size - zlib.consumed < 8;
      if (size >= 10 && !(reason == kEndOfFile && crc_of_cut_trailer)) {
        FUZZ_CHECK(reason == zlib.reason);
      }
    }
    return;
  }

  const Bytes out(unwrapped.value().begin(), unwrapped.value().end());
  FUZZ_CHECK(zlib.ok());
  FUZZ_CHECK(zlib.data == out);

  // The member's trailer: CRC-32 and ISIZE of the output.
  FUZZ_CHECK(zlib.consumed >= 18 && zlib.consumed <= size);
  const uint8_t* trailer = data + zlib.consumed - 8;
  const uint32_t crc = static_cast<uint32_t>(
      crc32_z(0, reinterpret_cast<const Bytef*>(out.data()), out.size()));
  FUZZ_CHECK(vonk::load_le32(trailer) == crc);
  FUZZ_CHECK(vonk::load_le32(trailer + 4) == static_cast<uint32_t>(out.size()));

  // Whatever follows the member is not read.
  Bytes longer(data, data + zlib.consumed);
  longer.insert(longer.end(), {0x1F, 0x8B, 0xFF, 0x00});
  vonk::Result<vonk::ByteBuffer> again = vonk::gzip_unwrap(longer);
  FUZZ_CHECK(again.ok() && std::ranges::equal(again.value(), out));
  if (zlib.consumed < size) {
    const Bytes member(data, data + zlib.consumed);
    vonk::Result<vonk::ByteBuffer> alone = vonk::gzip_unwrap(member);
    FUZZ_CHECK(alone.ok() && std::ranges::equal(alone.value(), out));
  }

  // Our own member of the output unwraps to it.
  const vonk::ByteBuffer wrapped = vonk::gzip_wrap(out);
  FUZZ_CHECK(wrapped.size() >= 18);
  FUZZ_CHECK(std::memcmp(wrapped.data(),
                         "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10) == 0);
  vonk::Result<vonk::ByteBuffer> round = vonk::gzip_unwrap(wrapped);
  FUZZ_CHECK(round.ok() && std::ranges::equal(round.value(), out));
}

// gzip_wrap's member of arbitrary bytes: zlib inflates it to those bytes.
void check_wrap(const uint8_t* data, size_t size) {
  const vonk::ByteBuffer member = vonk::gzip_wrap(Bytes(data, data + size));
  const ZlibOutcome zlib = zlib_outcome(member);
  FUZZ_CHECK(zlib.ok());
  FUZZ_CHECK(zlib.consumed == member.size());
  FUZZ_CHECK(std::ranges::equal(zlib.data, std::span<const uint8_t>(data, size)));
}

// A member built from the input, for inputs that do not start like one:
// byte 1 chooses the optional header fields (FHCRC, FEXTRA, FNAME,
// FCOMMENT), byte 2 a byte of the member to flip (0: none), and the rest is
// the data; the optional fields are cut from its front. Without the flip the
// member is valid, so the checks reach the whole header and the trailer.
Bytes build_member(const uint8_t* data, size_t size) {
  const uint8_t flags = data[1] & 0x1E;
  const size_t flip = data[2];
  std::span<const uint8_t> rest(data + 3, size - 3);
  Bytes m = {0x1F, 0x8B, 0x08, flags, 0, 0, 0, 0, 0, 0xFF};
  auto take = [&rest](size_t n) {
    n = std::min(n, rest.size());
    std::span<const uint8_t> piece = rest.first(n);
    rest = rest.subspan(n);
    return piece;
  };
  if (flags & 0x04) {
    std::span<const uint8_t> extra = take(rest.empty() ? 0 : rest[0] % 16);
    m.push_back(static_cast<uint8_t>(extra.size()));
    m.push_back(0);
    m.insert(m.end(), extra.begin(), extra.end());
  }
  for (uint8_t text_flag : {uint8_t{0x08}, uint8_t{0x10}}) {
    if (flags & text_flag) {
      for (uint8_t b : take(rest.empty() ? 0 : rest[0] % 8)) {
        if (b != 0) m.push_back(b);
      }
      m.push_back(0);
    }
  }
  if (flags & 0x02) {
    const uint32_t crc =
        static_cast<uint32_t>(crc32_z(0, m.data(), m.size())) & 0xFFFF;
    m.push_back(static_cast<uint8_t>(crc));
    m.push_back(static_cast<uint8_t>(crc >> 8));
  }
  // gzip_wrap's member of the data, from its DEFLATE stream on.
  const vonk::ByteBuffer wrapped = vonk::gzip_wrap(Bytes(rest.begin(), rest.end()));
  m.insert(m.end(), wrapped.begin() + 10, wrapped.end());
  if (flip != 0) m[flip % m.size()] ^= static_cast<uint8_t>(flip | 1);
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 3 && data[0] != 0x1F) {
    const Bytes member = build_member(data, size);
    check_unwrap(member.data(), member.size());
  } else {
    check_unwrap(data, size);
  }
  check_wrap(data, size);
  return 0;
}
