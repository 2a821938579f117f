#include "codec/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "error/codec_error.h"
#include "error/fatal_error.h"

namespace vonk {

namespace {

constexpr uint8_t kHeader[10] = {0x1F, 0x8B, 0x08, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0xFF};
constexpr size_t kHeaderSize = sizeof(kHeader);
constexpr size_t kTrailerSize = 8;

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

// Output buffers grow by at least this much; the inflater's output starts at
// this size when nothing better is known.
constexpr size_t kMinGrowth = 32768;

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

uint32_t crc32_of(uint32_t crc, const uint8_t* data, size_t size) {
  return static_cast<uint32_t>(
      crc32_z(crc, reinterpret_cast<const Bytef*>(data), size));
}

uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void store_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

std::string zlib_failure(const char* prefix, int code, const z_stream& s) {
  std::string message(prefix);
  message += ": zlib error ";
  message += std::to_string(code);
  if (s.msg != nullptr) {
    message += " (";
    message += s.msg;
    message += ")";
  }
  return message;
}

// Owns a deflate stream for the length of one call.
class Deflater {
 public:
  Deflater() { std::memset(&s_, 0, sizeof(s_)); }
  ~Deflater() {
    if (live_) deflateEnd(&s_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  int init() {
    const int rc = deflateInit2(&s_, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    live_ = rc == Z_OK;
    return rc;
  }
  z_stream& stream() { return s_; }

 private:
  z_stream s_;
  bool live_ = false;
};

// Owns an inflate stream for the length of one call.
class Inflater {
 public:
  Inflater() { std::memset(&s_, 0, sizeof(s_)); }
  ~Inflater() {
    if (live_) inflateEnd(&s_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  int init() {
    const int rc = inflateInit2(&s_, -15);
    live_ = rc == Z_OK;
    return rc;
  }
  z_stream& stream() { return s_; }

 private:
  z_stream s_;
  bool live_ = false;
};

// Points the stream's output at the free part of `out`, short of its last
// `reserved` bytes and at most kMaxZlibChunk bytes long, after doubling what
// has been produced when nothing is free.
void give_room(std::vector<uint8_t>* out, z_stream* s, size_t reserved) {
  const size_t used = static_cast<size_t>(s->next_out - out->data());
  if (out->size() - reserved <= used) {
    out->resize(used + reserved + std::max(used, kMinGrowth));
  }
  s->next_out = out->data() + used;
  s->avail_out =
      static_cast<uInt>(std::min(out->size() - reserved - used, kMaxZlibChunk));
}

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
    const size_t extra = static_cast<size_t>(in[p]) | (size_t{in[p + 1]} << 8);
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
    const uint32_t expected =
        static_cast<uint32_t>(in[p]) | (static_cast<uint32_t>(in[p + 1]) << 8);
    if ((crc32_of(0, in.data(), p) & 0xFFFF) != expected) return kBadChecksum;
    p += 2;
  }
  *pos = p;
  return nullptr;
}

// Initial size of the inflater's output. A member that ends the input ends
// in its ISIZE; that value is believed only while it stays within a few times
// the input, so a forged trailer cannot force a large reservation. Otherwise
// the output starts small and doubles as it is produced.
size_t initial_inflate_room(std::span<const uint8_t> in, size_t data_start) {
  const size_t data = in.size() - data_start;
  if (data >= kTrailerSize) {
    const size_t hinted = load_le32(in.data() + in.size() - 4);
    // One spare byte lets the inflater see the end of the final block
    // without running out of room first.
    if (hinted < std::max(kMinGrowth, 4 * data)) return hinted + 1;
  }
  return kMinGrowth;
}

}  // namespace

std::vector<uint8_t> gzip_wrap(std::span<const uint8_t> bytes) {
  Deflater deflater;
  z_stream& s = deflater.stream();
  if (int rc = deflater.init(); rc != Z_OK) {
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    fatal_error(zlib_failure("Failed to write to gzip encoder", rc, s));
  }

  // Room for the whole member at once, trailer included; grown only if
  // zlib's bound were ever exceeded.
  const uLong bound = deflateBound(
      &s, static_cast<uLong>(std::min(bytes.size(), kMaxZlibChunk)));
  const size_t chunks = bytes.size() / kMaxZlibChunk + 1;
  std::vector<uint8_t> out(kHeaderSize + bound * chunks + kTrailerSize);
  std::memcpy(out.data(), kHeader, kHeaderSize);
  s.next_out = out.data() + kHeaderSize;
  s.avail_out = 0;

  // Feed the payload.
  const uint8_t* in = bytes.data();
  size_t in_left = bytes.size();
  while (in_left > 0) {
    const size_t piece = std::min(in_left, kMaxZlibChunk);
    s.next_in = const_cast<Bytef*>(in);
    s.avail_in = static_cast<uInt>(piece);
    while (s.avail_in > 0) {
      if (s.avail_out == 0) give_room(&out, &s, kTrailerSize);
      const int rc = deflate(&s, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_BUF_ERROR) {
        fatal_error(zlib_failure("Failed to write to gzip encoder", rc, s));
      }
    }
    in += piece;
    in_left -= piece;
  }

  // Finish the stream.
  for (;;) {
    if (s.avail_out == 0) give_room(&out, &s, kTrailerSize);
    const int rc = deflate(&s, Z_FINISH);
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      fatal_error(zlib_failure("Failed to finish gzip encoding", rc, s));
    }
  }

  const size_t size = static_cast<size_t>(s.next_out - out.data());
  out.resize(size + kTrailerSize);
  store_le32(out.data() + size, crc32_of(0, bytes.data(), bytes.size()));
  store_le32(out.data() + size + 4, static_cast<uint32_t>(bytes.size()));
  return out;
}

Result<std::vector<uint8_t>> gzip_unwrap(std::span<const uint8_t> bytes) {
  size_t pos = 0;
  if (const char* e = read_header(bytes, &pos)) return unwrap_error(e);

  Inflater inflater;
  z_stream& s = inflater.stream();
  if (int rc = inflater.init(); rc != Z_OK) {
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    fatal_error(zlib_failure("Failed to start gzip decoder", rc, s));
  }

  std::vector<uint8_t> out(initial_inflate_room(bytes, pos));
  s.next_out = out.data();
  s.avail_out = 0;
  const uint8_t* in = bytes.data() + pos;
  const uint8_t* const in_end = bytes.data() + bytes.size();

  for (;;) {
    if (s.avail_in == 0 && in != in_end) {
      const size_t piece =
          std::min(static_cast<size_t>(in_end - in), kMaxZlibChunk);
      s.next_in = const_cast<Bytef*>(in);
      s.avail_in = static_cast<uInt>(piece);
      in += piece;
    }
    // Grows with what has been produced, never from declared sizes.
    if (s.avail_out == 0) give_room(&out, &s, 0);
    const int rc = inflate(&s, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) break;
    if (rc == Z_OK) continue;
    if (rc == Z_BUF_ERROR) {
      // No progress was possible: out of room (given more above), or out of
      // input before the final block ended.
      if (s.avail_out == 0) continue;
      if (s.avail_in == 0 && in == in_end) return unwrap_error(kEndOfFile);
      return unwrap_error(kBadDeflate);
    }
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) {
      return unwrap_error(kBadDeflate);
    }
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    fatal_error(zlib_failure("Gzip decoder failed", rc, s));
  }

  const size_t size = static_cast<size_t>(s.next_out - out.data());
  out.resize(size);
  const uint8_t* trailer = s.next_in;
  if (static_cast<size_t>(in_end - trailer) < kTrailerSize) {
    return unwrap_error(kEndOfFile);
  }
  if (load_le32(trailer) != crc32_of(0, out.data(), size) ||
      load_le32(trailer + 4) != static_cast<uint32_t>(size)) {
    return unwrap_error(kBadChecksum);
  }
  // A size hint taken from bytes after the member may have been too large.
  if (out.capacity() - size > size + kMinGrowth) out.shrink_to_fit();
  return out;
}

}  // namespace vonk
