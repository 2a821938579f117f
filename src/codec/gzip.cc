#include "codec/gzip.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "codec/byte_order.h"
#include "codec/gzip_reference.h"
#include "error/codec_error.h"
#include "error/fatal_error.h"

namespace vonk {

namespace {

// Size of the fixed part of a member header.
constexpr size_t kHeaderSize = 10;
constexpr size_t kTrailerSize = 8;
constexpr int kLevel = 6;

// FLG bits.
constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kFlagReserved = 0xE0;

// Longest file name or comment accepted, terminating zero not counted.
constexpr size_t kMaxHeaderText = 65535;

// Largest piece handed to zlib at once (its counters are 32-bit).
constexpr size_t kMaxZlibChunk = size_t{1} << 30;

// Smallest room given to the inflater when its input gives no better hint.
constexpr size_t kMinRoom = 32768;

// Room libdeflate gets beyond the declared size of the data: its fast loop
// stops this close to the end of its room (a match and two literals, plus
// the overrun of its word-sized copies), and the generic loop that ends the
// data is slower. Never written beyond a few words past the data.
constexpr size_t kSpareRoom = 300;

constexpr char kEndOfFile[] = "unexpected end of file";
constexpr char kBadHeader[] = "invalid gzip header";
constexpr char kFieldTooLong[] = "gzip header field too long";
constexpr char kBadChecksum[] =
    "corrupt gzip stream does not have a matching checksum";
constexpr char kBadDeflate[] = "corrupt deflate stream";

CodecError unwrap_error(const char* text) {
  return CodecError::invalid_payload(
      std::string("Gzip decompression failed: ") + text);
}

// The gzip (and zlib) CRC-32 of `size` bytes at `data`, continuing `crc`.
uint32_t crc32_of(uint32_t crc, const uint8_t* data, size_t size) {
  return libdeflate_crc32(crc, data, size);
}

// Owns a zlib raw inflate stream for the length of one call.
class Inflater {
 public:
  Inflater() {
    std::memset(&s_, 0, sizeof(s_));
    const int rc = inflateInit2(&s_, -15);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK) {
      fatal_error("Failed to start gzip decoder: zlib error " +
                  std::to_string(rc));
    }
  }
  ~Inflater() { inflateEnd(&s_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  z_stream& stream() { return s_; }

 private:
  z_stream s_;
};

// Skips a zero-terminated header text at `*pos`.
const char* skip_header_text(std::span<const uint8_t> in, size_t* pos) {
  const size_t left = in.size() - *pos;
  const size_t window = std::min(left, kMaxHeaderText + 1);
  const void* zero = std::memchr(in.data() + *pos, 0, window);
  if (zero != nullptr) {
    const auto* at = static_cast<const uint8_t*>(zero);
    *pos = static_cast<size_t>(at - in.data()) + 1;
    return nullptr;
  }
  // No zero among the first 65536 bytes: the 65536th is a further text byte.
  return left > kMaxHeaderText ? kFieldTooLong : kEndOfFile;
}

// Reads the member header; on success `*pos` is where the DEFLATE data
// starts.
const char* read_header(std::span<const uint8_t> in, size_t* pos) {
  if (in.size() < kHeaderSize) return kEndOfFile;
  const uint8_t flags = in[3];
  if (in[0] != 0x1F || in[1] != 0x8B || in[2] != 8 ||
      (flags & kFlagReserved) != 0) {
    return kBadHeader;
  }
  size_t p = kHeaderSize;
  if (flags & kFlagExtra) {
    if (in.size() - p < 2) return kEndOfFile;
    const size_t extra = load_le16(in.data() + p);
    p += 2;
    if (in.size() - p < extra) return kEndOfFile;
    p += extra;
  }
  if (flags & kFlagName) {
    if (const char* e = skip_header_text(in, &p)) return e;
  }
  if (flags & kFlagComment) {
    if (const char* e = skip_header_text(in, &p)) return e;
  }
  if (flags & kFlagHeaderCrc) {
    if (in.size() - p < 2) return kEndOfFile;
    const uint32_t expected = load_le16(in.data() + p);
    if ((crc32_of(0, in.data(), p) & 0xFFFF) != expected) return kBadChecksum;
    p += 2;
  }
  *pos = p;
  return nullptr;
}

// Most bytes one byte of DEFLATE data can inflate to: a match of 258
// bytes takes at least two bits (a one-bit length code and a one-bit
// distance code).
constexpr size_t kMaxInflateRatio = 1032;

// Room that is surely enough for the data of a stream of `data` bytes, with
// one spare byte: inflation ends once it has seen the end of the final
// block, which it can do only with room left.
size_t largest_room(size_t data) {
  if (data > (SIZE_MAX - 1) / kMaxInflateRatio) return SIZE_MAX;
  return kMaxInflateRatio * data + 1;
}

// Whether a member that ends `in` and whose DEFLATE data starts at
// `data_start` may declare `size` bytes of data in its ISIZE, that is could
// inflate to that many.
bool believable_size(std::span<const uint8_t> in, size_t data_start,
                     size_t size) {
  return size < largest_room(in.size() - data_start);
}

// First room for the inflated data of the stream of `in` from `data_start`.
// A member that ends the input ends in its ISIZE; that value is believed
// when the data could inflate to that size, so a forged trailer cannot
// force a reservation larger than the data could fill. Otherwise the room
// starts at a few times the data and, when that proves too little, the
// inflation starts over in room for the largest possible output (room that
// is reserved, but written only as far as data is produced).
size_t first_room(std::span<const uint8_t> in, size_t data_start) {
  const size_t data = in.size() - data_start;
  const size_t largest = largest_room(data);
  if (data >= kTrailerSize) {
    const size_t hinted = load_le32(in.data() + in.size() - 4);
    if (believable_size(in, data_start, hinted)) return hinted + 1;
  }
  return std::min(largest, std::max(kMinRoom, 4 * data));
}

// How one attempt to inflate into fixed room ended.
enum class Inflated { kDone, kNoRoom, kEndOfFile, kBadDeflate };

// Inflates the raw DEFLATE stream at the front of `in` into the `room` bytes
// at `out`, writing nothing past what it produces. On kDone, `*produced` is
// the size of the data and `*consumed` the length of the stream.
Inflated inflate_into(z_stream* s, std::span<const uint8_t> in, uint8_t* out,
                      size_t room, size_t* produced, size_t* consumed) {
  if (inflateReset(s) != Z_OK) fatal_error("Gzip decoder failed: reset");
  const uint8_t* in_next = in.data();
  const uint8_t* const in_end = in.data() + in.size();
  uint8_t* out_next = out;
  uint8_t* const out_end = out + room;
  s->avail_in = 0;
  s->avail_out = 0;
  for (;;) {
    if (s->avail_in == 0 && in_next != in_end) {
      const size_t piece =
          std::min(static_cast<size_t>(in_end - in_next), kMaxZlibChunk);
      s->next_in = const_cast<Bytef*>(in_next);
      s->avail_in = static_cast<uInt>(piece);
      in_next += piece;
    }
    if (s->avail_out == 0 && out_next != out_end) {
      const size_t piece =
          std::min(static_cast<size_t>(out_end - out_next), kMaxZlibChunk);
      s->next_out = out_next;
      s->avail_out = static_cast<uInt>(piece);
      out_next += piece;
    }
    const int rc = inflate(s, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      *produced = static_cast<size_t>(s->next_out - out);
      *consumed = static_cast<size_t>(s->next_in - in.data());
      return Inflated::kDone;
    }
    if (rc == Z_OK) continue;
    if (rc == Z_BUF_ERROR) {
      // No progress was possible: out of room, or out of input before the
      // final block ended.
      if (s->avail_out == 0) {
        if (out_next == out_end) return Inflated::kNoRoom;
        continue;
      }
      if (s->avail_in == 0 && in_next == in_end) return Inflated::kEndOfFile;
      return Inflated::kBadDeflate;
    }
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) return Inflated::kBadDeflate;
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    fatal_error("Gzip decoder failed: zlib error " + std::to_string(rc));
  }
}

// One libdeflate decompressor for each thread that unwraps, made on first
// use and freed when the thread ends: making one costs more than inflating
// a short payload. It holds only decode tables, which every call rebuilds as
// it needs them.
libdeflate_decompressor* thread_decompressor() {
  struct Owner {
    libdeflate_decompressor* decompressor = nullptr;
    ~Owner() { libdeflate_free_decompressor(decompressor); }
  };
  thread_local Owner owner;
  if (owner.decompressor == nullptr) {
    owner.decompressor = libdeflate_alloc_decompressor();
    if (owner.decompressor == nullptr) throw std::bad_alloc();
  }
  return owner.decompressor;
}

// The fast reading of the member of `in` whose DEFLATE data starts at
// `data_start`: libdeflate inflates in one call into room for the size the
// input's last four bytes declare (the member's ISIZE when it ends the
// input), and the trailer after the stream must match the data. Gives
// nothing when anything is amiss: a size the data could not reach, a stream
// libdeflate refuses, room too small, a missing or mismatched trailer. The
// caller then reads the member with zlib, whose reading is authoritative.
// So this reading needs to be right only when it gives data: the vendored
// libdeflate refuses every stream zlib refuses (see
// third_party/libdeflate/README.vonk), and on a stream both accept they give
// the same data and end at the same byte. Room that proves too small is
// never grown: libdeflate cannot resume, and starting it over costs nearly
// as much as zlib's reading.
std::optional<ByteBuffer> inflate_fast(std::span<const uint8_t> in,
                                       size_t data_start) {
  const std::span<const uint8_t> stream = in.subspan(data_start);
  if (stream.size() < kTrailerSize) return std::nullopt;
  const size_t declared = load_le32(in.data() + in.size() - 4);
  if (!believable_size(in, data_start, declared) ||
      declared > SIZE_MAX - kSpareRoom) {
    return std::nullopt;
  }
  ByteBuffer out;
  out.resize(declared + kSpareRoom);
  size_t consumed = 0;
  size_t produced = 0;
  const libdeflate_result r = libdeflate_deflate_decompress_ex(
      thread_decompressor(), stream.data(), stream.size(), out.data(),
      out.size(), &consumed, &produced);
  if (r != LIBDEFLATE_SUCCESS || stream.size() - consumed < kTrailerSize) {
    return std::nullopt;
  }
  const uint8_t* trailer = stream.data() + consumed;
  if (load_le32(trailer + 4) != static_cast<uint32_t>(produced) ||
      load_le32(trailer) != crc32_of(0, out.data(), produced)) {
    return std::nullopt;
  }
  out.resize(produced);
  return out;
}

// zlib's reading of the member of `in` whose DEFLATE data starts at
// `data_start`: the data, or the failure of the DEFLATE data or trailer.
Result<ByteBuffer> inflate_with_zlib(std::span<const uint8_t> in,
                                     size_t data_start) {
  const std::span<const uint8_t> stream = in.subspan(data_start);
  Inflater inflater;
  ByteBuffer out;
  size_t room = first_room(in, data_start);
  size_t produced = 0;
  size_t consumed = 0;
  for (;;) {
    // The old room is freed before the new one is taken.
    out = ByteBuffer();
    out.resize(room);
    const Inflated r = inflate_into(&inflater.stream(), stream, out.data(),
                                    room, &produced, &consumed);
    if (r == Inflated::kDone) break;
    if (r == Inflated::kEndOfFile) return unwrap_error(kEndOfFile);
    if (r == Inflated::kBadDeflate) return unwrap_error(kBadDeflate);
    room = std::max(largest_room(stream.size()),
                    room > SIZE_MAX / 2 ? SIZE_MAX : 2 * room);
  }
  out.resize(produced);

  if (stream.size() - consumed < kTrailerSize) return unwrap_error(kEndOfFile);
  const uint8_t* trailer = stream.data() + consumed;
  if (load_le32(trailer) != crc32_of(0, out.data(), produced) ||
      load_le32(trailer + 4) != static_cast<uint32_t>(produced)) {
    return unwrap_error(kBadChecksum);
  }
  return out;
}

}  // namespace

GzipWriter::GzipWriter() : compressor_(libdeflate_alloc_compressor(kLevel)) {
  if (compressor_ == nullptr) {
    fatal_error(
        "Failed to write to gzip encoder: no level 6 compressor could be "
        "made");
  }
}

GzipWriter::~GzipWriter() { libdeflate_free_compressor(compressor_); }

ByteBuffer GzipWriter::wrap(std::span<const uint8_t> bytes) {
  const size_t bound =
      libdeflate_gzip_compress_bound(compressor_, bytes.size());
  ByteBuffer member;
  member.resize(bound);
  // Never a null pointer, even for no bytes: libdeflate adds the size to it.
  static constexpr uint8_t kNoBytes[1] = {};
  const uint8_t* in = bytes.empty() ? kNoBytes : bytes.data();
  const size_t written = libdeflate_gzip_compress(compressor_, in, bytes.size(),
                                                  member.data(), bound);
  if (written == 0) {
    fatal_error("Failed to finish gzip encoding: the stream did not fit in " +
                std::to_string(bound) + " bytes");
  }
  member.resize(written);
  return member;
}

ByteBuffer gzip_wrap(std::span<const uint8_t> bytes) {
  return GzipWriter().wrap(bytes);
}

Result<ByteBuffer> gzip_unwrap(std::span<const uint8_t> bytes) {
  size_t pos = 0;
  if (const char* e = read_header(bytes, &pos)) return unwrap_error(e);
  if (std::optional<ByteBuffer> out = inflate_fast(bytes, pos)) {
    return std::move(*out);
  }
  return inflate_with_zlib(bytes, pos);
}

Result<ByteBuffer> gzip_unwrap_zlib(std::span<const uint8_t> bytes) {
  size_t pos = 0;
  if (const char* e = read_header(bytes, &pos)) return unwrap_error(e);
  return inflate_with_zlib(bytes, pos);
}

}  // namespace vonk
