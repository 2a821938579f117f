#include "codec/payload.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "codec/byte_order.h"
#include "codec/gzip.h"
#include "codec/zigzag_run.h"
#include "error/codec_error.h"
#include "error/fatal_error.h"

namespace vonk {

namespace {

// Compact-protocol type codes used by the payload.
constexpr uint8_t kTypeStop = 0;
constexpr uint8_t kTypeI32 = 5;
constexpr uint8_t kTypeList = 9;

// Header byte of field 1 (delta 1 from the implicit previous id 0), LIST.
constexpr uint8_t kTokensFieldHeader = (1 << 4) | kTypeList;

// Byte limits of the varints the reader accepts.
constexpr int kFieldIdVarintLimit = 3;
constexpr int kCountVarintLimit = 5;
constexpr int kElementVarintLimit = 5;


// ---- Writing ----------------------------------------------------------------

// Zigzag form of `n`: 0, -1, 1, -2, 2 become 0, 1, 2, 3, 4.
inline uint32_t zigzag32(int32_t n) {
  return (static_cast<uint32_t>(n) << 1) ^ static_cast<uint32_t>(n >> 31);
}

// Writes `v` as a shortest-form unsigned varint at `p`; returns the end.
inline uint8_t* put_varint32(uint8_t* p, uint32_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<uint8_t>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<uint8_t>(v);
  return p;
}

// Bytes of the shortest varint of `v`.
inline size_t varint_length(uint32_t v) {
  return 1 + (v > 0x7F) + (v > 0x3FFF) + (v > 0x1FFFFF) + (v > 0xFFFFFFF);
}

// Exact size of the plain payload of `mapped_ids`: field header, list
// header, elements, stop.
size_t payload_size(std::span<const int32_t> mapped_ids) {
  const size_t count = mapped_ids.size();
  size_t size = 2 + 1;
  if (count > 14) size += varint_length(static_cast<uint32_t>(count));
  // Branch-free, so that it vectorises.
  for (const int32_t id : mapped_ids) size += varint_length(zigzag32(id));
  return size;
}

// Varint length and continuation bits of a nonzero 32-bit value, by its
// count of leading zero bits.
struct VarintShape {
  uint8_t length[32];
  uint64_t continuation[32];
  constexpr VarintShape() : length(), continuation() {
    for (int zeros = 0; zeros < 32; ++zeros) {
      const int bits = 32 - zeros;
      const int n = (bits + 6) / 7;
      length[zeros] = static_cast<uint8_t>(n);
      continuation[zeros] =
          0x8080808080ull & ((uint64_t{1} << (8 * (n - 1))) - 1);
    }
  }
};
constexpr VarintShape kVarintShape;

// Writes the zigzag varint of `n` at `p` as one 8-byte store (the bytes past
// the varint are scratch); returns the end of the varint.
inline uint8_t* put_zigzag_word(uint8_t* p, int32_t n) {
  const uint64_t z = zigzag32(n);
  uint64_t word = (z & 0x7F) | ((z << 1) & 0x7F00) | ((z << 2) & 0x7F0000) |
                  ((z << 3) & 0x7F000000) | ((z << 4) & 0xF00000000);
  // 0 and 1 both take one byte.
  const int zeros = std::countl_zero(static_cast<uint32_t>(z | 1));
  word |= kVarintShape.continuation[zeros];
  store_le64(p, word);
  return p + kVarintShape.length[zeros];
}

// ---- Reading ----------------------------------------------------------------

// The failure categories of the reader. Each maps to one fixed text.
enum class Fault : uint8_t {
  kNone,
  kEndOfFile,
  kTransport,
  kBadData,
  kMissingTokens,
  kExpectedList,
  kExpectedI32,
  kListTooLarge,
  kUnexpectedField,
};

const char* fault_text(Fault fault) {
  switch (fault) {
    case Fault::kEndOfFile:
      return "end of file";
    case Fault::kTransport:
      return "transport error";
    case Fault::kBadData:
      return "bad data";
    case Fault::kMissingTokens:
      return "Payload missing tokens field";
    case Fault::kExpectedList:
      return "Expected LIST field with id 1";
    case Fault::kExpectedI32:
      return "Expected I32 elements";
    case Fault::kListTooLarge:
      return "list size too large";
    case Fault::kUnexpectedField:
      return "Unexpected fields in payload";
    case Fault::kNone:
      break;
  }
  return "";
}

// Inverse zigzag of a field id varint, low 16 bits as signed 16-bit.
inline int16_t unzigzag16(uint64_t v) {
  return static_cast<int16_t>(static_cast<uint16_t>((v >> 1) ^ (0 - (v & 1))));
}

// Consumes the input strictly from the front.
class Reader {
 public:
  Reader(const uint8_t* begin, const uint8_t* end) : p_(begin), end_(end) {}

  size_t left() const { return static_cast<size_t>(end_ - p_); }
  const uint8_t* position() const { return p_; }

  Fault read_byte(uint8_t* out) {
    if (p_ == end_) return Fault::kEndOfFile;
    *out = *p_++;
    return Fault::kNone;
  }

  // Reads an unsigned varint of at most `limit` bytes into `out`. After
  // `limit` bytes that all continue, one further byte (if any) is consumed
  // and the read fails.
  Fault read_varint(int limit, uint64_t* out) {
    uint64_t v = 0;
    for (int i = 0; i < limit; ++i) {
      if (p_ == end_) return Fault::kEndOfFile;
      const uint8_t b = *p_++;
      v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) {
        *out = v;
        return Fault::kNone;
      }
    }
    if (p_ == end_) return Fault::kEndOfFile;
    ++p_;
    return Fault::kTransport;
  }

  // Reads a field header. `*type` is the type code; for a field other than
  // STOP, `*field_id` becomes its id (and the previous id for the next one).
  Fault read_field_header(int16_t* field_id, uint8_t* type) {
    uint8_t h;
    if (Fault f = read_byte(&h); f != Fault::kNone) return f;
    *type = h & 0x0F;
    if (*type == kTypeStop) return Fault::kNone;
    if (*type >= 13) return Fault::kBadData;
    const uint8_t delta = h >> 4;
    if (delta != 0) {
      *field_id = static_cast<int16_t>(
          static_cast<uint16_t>(static_cast<uint16_t>(*field_id) + delta));
      return Fault::kNone;
    }
    uint64_t v;
    if (Fault f = read_varint(kFieldIdVarintLimit, &v); f != Fault::kNone) {
      return f;
    }
    *field_id = unzigzag16(v);
    return Fault::kNone;
  }

  // Reads a list header: element code and count (low 32 bits, signed).
  Fault read_list_header(uint8_t* element_type, int32_t* count) {
    uint8_t g;
    if (Fault f = read_byte(&g); f != Fault::kNone) return f;
    *element_type = g & 0x0F;
    if (*element_type == 2 || *element_type >= 13) return Fault::kBadData;
    const uint8_t short_count = g >> 4;
    if (short_count != 15) {
      *count = short_count;
      return Fault::kNone;
    }
    uint64_t v;
    if (Fault f = read_varint(kCountVarintLimit, &v); f != Fault::kNone) {
      return f;
    }
    *count = static_cast<int32_t>(static_cast<uint32_t>(v));
    return Fault::kNone;
  }

  // Reads `count` zigzag elements into `out`, which has room for
  // min(count, left()) ids.
  Fault read_elements(size_t count, int32_t* out) {
    // The bulk of the elements in one fast pass, the last few (and any
    // malformed one) byte by byte.
    size_t i = zigzag_run::read_run(&p_, end_, count, out);
    for (; i < count; ++i) {
      uint64_t v;
      if (Fault f = read_varint(kElementVarintLimit, &v); f != Fault::kNone) {
        return f;
      }
      out[i] = zigzag_run::unzigzag32(v);
    }
    return Fault::kNone;
  }

 private:
  const uint8_t* p_;
  const uint8_t* const end_;
};

// Reads the field and list headers; on success `*count` is the declared
// count.
Fault read_headers(Reader* reader, size_t* count) {
  int16_t field_id = 0;
  uint8_t type = 0;
  if (Fault f = reader->read_field_header(&field_id, &type);
      f != Fault::kNone) {
    return f;
  }
  if (type == kTypeStop) return Fault::kMissingTokens;
  if (type != kTypeList || field_id != 1) return Fault::kExpectedList;

  uint8_t element_type = 0;
  int32_t declared = 0;
  if (Fault f = reader->read_list_header(&element_type, &declared);
      f != Fault::kNone) {
    return f;
  }
  if (declared < 0) return Fault::kListTooLarge;
  if (element_type != kTypeI32) return Fault::kExpectedI32;
  *count = static_cast<size_t>(declared);
  return Fault::kNone;
}

CodecError payload_error(Fault fault) {
  return CodecError::invalid_payload(fault_text(fault));
}

// The fault of a read or skip that stopped at `reader` with `f`, leaving
// `remaining` ids: once the last id is read, the stop byte must follow.
Fault check_stop(Reader* reader, Fault f, size_t remaining) {
  if (f != Fault::kNone || remaining != 0) return f;
  int16_t field_id = 0;
  uint8_t type = 0;
  f = reader->read_field_header(&field_id, &type);
  return f == Fault::kNone && type != kTypeStop ? Fault::kUnexpectedField : f;
}

}  // namespace

ByteBuffer encode_payload(std::span<const int32_t> mapped_ids, bool gzip) {
  const size_t count = mapped_ids.size();
  if (count > kMaxPayloadIds) {
    fatal_error("Cannot encode a payload of " + std::to_string(count) +
                " ids: a list holds at most " +
                std::to_string(kMaxPayloadIds));
  }
  // The 8-byte store of the last id starts at its varint and may run up to
  // 6 bytes past the stop byte.
  const size_t size = payload_size(mapped_ids);
  ByteBuffer out;
  out.resize(size + 6);
  uint8_t* p = out.data();
  *p++ = kTokensFieldHeader;
  if (count <= 14) {
    *p++ = static_cast<uint8_t>((count << 4) | kTypeI32);
  } else {
    *p++ = 0xF0 | kTypeI32;
    p = put_varint32(p, static_cast<uint32_t>(count));
  }
  // Branch-free: lengths of neighbouring ids vary unpredictably.
  for (const int32_t id : mapped_ids) p = put_zigzag_word(p, id);
  *p++ = kTypeStop;
  out.resize(size);
  if (gzip) return gzip_wrap(std::span<const uint8_t>(out.data(), size));
  return out;
}

Result<PayloadReader> PayloadReader::open(std::span<const uint8_t> bytes) {
  Reader reader(bytes.data(), bytes.data() + bytes.size());
  size_t count = 0;
  if (Fault f = read_headers(&reader, &count); f != Fault::kNone) {
    return payload_error(f);
  }
  return PayloadReader(reader.position(), bytes.data() + bytes.size(), count);
}

std::optional<CodecError> PayloadReader::read(std::span<int32_t> out) {
  if (out.size() > remaining_) {
    fatal_error("PayloadReader::read: " + std::to_string(out.size()) +
                " ids asked for, " + std::to_string(remaining_) + " left");
  }
  Reader reader(p_, end_);
  Fault f = reader.read_elements(out.size(), out.data());
  remaining_ -= out.size();
  f = check_stop(&reader, f, remaining_);
  p_ = reader.position();
  if (f != Fault::kNone) {
    remaining_ = 0;
    p_ = end_;
    return payload_error(f);
  }
  return std::nullopt;
}

std::optional<CodecError> PayloadReader::skip(size_t count) {
  if (count > remaining_) {
    fatal_error("PayloadReader::skip: " + std::to_string(count) +
                " ids asked for, " + std::to_string(remaining_) + " left");
  }
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  const uint8_t* p = p_;
  size_t left = count;
  int run = 0;  // continuation bytes since the last varint's end
  Fault f = Fault::kNone;
  // Whole words while they end fewer varints than are left to pass (the
  // word that ends the last one is read byte by byte, to stop right
  // after it).
  while (end_ - p >= 8) {
    const uint64_t word = load_le64(p);
    const uint64_t ends = ~word & kHighBits;
    const auto ended = static_cast<size_t>(std::popcount(ends));
    if (ended >= left || ends == 0) break;
    // Continuation bytes before the first end, five in a row inside the
    // word, and after the last end (carried into the next word).
    const uint64_t more = word & kHighBits;
    const int first = std::countr_zero(ends) / 8;
    if (run + first > kElementVarintLimit - 1 ||
        (more & (more >> 8) & (more >> 16) & (more >> 24) & (more >> 32)) != 0) {
      break;  // the byte loop finds the fault
    }
    run = 7 - (63 - std::countl_zero(ends)) / 8;
    left -= ended;
    p += 8;
  }
  // The rest byte by byte, as the varint reader takes them.
  while (left != 0) {
    if (p == end_) {
      f = Fault::kEndOfFile;
      break;
    }
    if ((*p++ & 0x80) == 0) {
      run = 0;
      --left;
    } else if (++run == kElementVarintLimit) {
      f = p == end_ ? Fault::kEndOfFile : Fault::kTransport;
      break;
    }
  }
  remaining_ -= count;
  Reader reader(p, end_);
  f = check_stop(&reader, f, remaining_);
  p_ = reader.position();
  if (f != Fault::kNone) {
    remaining_ = 0;
    p_ = end_;
    return payload_error(f);
  }
  return std::nullopt;
}

Result<std::span<const uint8_t>> plain_payload(std::span<const uint8_t> bytes,
                                               bool gzip, ByteBuffer* inflated) {
  if (!gzip) return bytes;
  Result<ByteBuffer> member = gzip_unwrap(bytes);
  if (!member.ok()) return std::move(member).error();
  *inflated = std::move(member).value();
  return std::span<const uint8_t>(inflated->data(), inflated->size());
}

Result<PodBuffer<int32_t>> decode_payload(std::span<const uint8_t> bytes,
                                          bool gzip) {
  ByteBuffer inflated;
  Result<std::span<const uint8_t>> plain = plain_payload(bytes, gzip, &inflated);
  if (!plain.ok()) return std::move(plain).error();
  Result<PayloadReader> reader = PayloadReader::open(plain.value());
  if (!reader.ok()) return std::move(reader).error();
  PodBuffer<int32_t> ids;
  if (auto error = append_all(&reader.value(), &ids)) return *std::move(error);
  return ids;
}

}  // namespace vonk
