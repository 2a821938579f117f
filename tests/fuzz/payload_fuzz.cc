// Fuzz target of the payload reader and writer.
//
// The first input byte chooses the gzip flag (bit 0); the rest is the input.
// Properties checked:
//  - decode_payload never crashes; it fails only with InvalidPayload, and
//    without gzip its outcome (ids or failure text) equals a literal,
//    byte-at-a-time reading of the format written here;
//  - with gzip, decoding equals gzip_unwrap followed by a plain decode;
//  - a payload that decodes re-encodes, with and without gzip, to bytes that
//    decode to the same ids;
//  - for ids built from the input (4-byte little-endian chunks as i32),
//    encode_payload writes exactly the shortest-form bytes of a literal
//    writer, the gzip form is gzip_wrap of the plain form, and
//    decode_payload(encode_payload(ids, gz), gz) == ids;
//  - the bulk varint reader agrees with the literal reading.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "codec/gzip.h"
#include "codec/payload.h"
#include "codec/zigzag_run.h"
#include "error/codec_error.h"
#include "fuzz_check.h"

namespace {

using vonk::CodecError;
using Bytes = std::vector<uint8_t>;
using Ids = std::vector<int32_t>;

// Outcome of the literal reader: ids, or a failure text. `negative_count`
// marks a declared count of 2^31 or more, whose text the reader chooses.
struct Literal {
  Ids ids;
  std::string failure;
  bool negative_count = false;
};

class LiteralReader {
 public:
  explicit LiteralReader(std::span<const uint8_t> in) : in_(in) {}

  Literal read() {
    Literal out;
    out.failure = read_into(&out);
    if (!out.failure.empty()) out.ids.clear();
    return out;
  }

 private:
  // Returns "" on success, else the failure text.
  std::string read_into(Literal* out) {
    uint8_t h;
    if (!byte(&h)) return "end of file";
    uint8_t type = h & 0x0F;
    if (type == 0) return "Payload missing tokens field";
    if (type >= 13) return "bad data";
    int16_t id = 0;
    if ((h >> 4) != 0) {
      id = static_cast<int16_t>(h >> 4);
    } else {
      uint64_t v;
      if (std::string e = varint(3, &v); !e.empty()) return e;
      id = static_cast<int16_t>(static_cast<uint16_t>((v >> 1) ^ (0 - (v & 1))));
    }
    if (type != 9 || id != 1) return "Expected LIST field with id 1";

    uint8_t g;
    if (!byte(&g)) return "end of file";
    const uint8_t element = g & 0x0F;
    if (element == 2 || element >= 13) return "bad data";
    uint64_t count = g >> 4;
    if (count == 15) {
      uint64_t v;
      if (std::string e = varint(5, &v); !e.empty()) return e;
      count = v & 0xFFFFFFFFu;
    }
    if (count >= 0x80000000u) {
      out->negative_count = true;
      return "negative count";
    }
    if (element != 5) return "Expected I32 elements";
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t v;
      if (std::string e = varint(5, &v); !e.empty()) return e;
      out->ids.push_back(
          static_cast<int32_t>(static_cast<uint32_t>((v >> 1) ^ (0 - (v & 1)))));
    }

    if (!byte(&h)) return "end of file";
    type = h & 0x0F;
    if (type == 0) return "";
    if (type >= 13) return "bad data";
    if ((h >> 4) == 0) {
      uint64_t v;
      if (std::string e = varint(3, &v); !e.empty()) return e;
    }
    return "Unexpected fields in payload";
  }

  bool byte(uint8_t* b) {
    if (pos_ == in_.size()) return false;
    *b = in_[pos_++];
    return true;
  }

  std::string varint(int limit, uint64_t* out) {
    uint64_t v = 0;
    for (int i = 0; i < limit; ++i) {
      uint8_t b;
      if (!byte(&b)) return "end of file";
      v |= uint64_t{b & 0x7Fu} << (7 * i);
      if ((b & 0x80) == 0) {
        *out = v;
        return "";
      }
    }
    uint8_t b;
    if (!byte(&b)) return "end of file";
    return "transport error";
  }

  std::span<const uint8_t> in_;
  size_t pos_ = 0;
};

// The shortest-form plain payload of `ids`, one byte at a time.
Bytes literal_encode(const Ids& ids) {
  Bytes out = {0x19};
  auto varint = [&out](uint32_t v) {
    while (v >= 0x80) {
      out.push_back(static_cast<uint8_t>(v | 0x80));
      v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
  };
  if (ids.size() <= 14) {
    out.push_back(static_cast<uint8_t>(ids.size() * 16 + 5));
  } else {
    out.push_back(0xF5);
    varint(static_cast<uint32_t>(ids.size()));
  }
  for (int32_t id : ids) {
    varint((static_cast<uint32_t>(id) << 1) ^ static_cast<uint32_t>(id >> 31));
  }
  out.push_back(0x00);
  return out;
}

std::string carried(const CodecError& error) {
  FUZZ_CHECK(error.kind() == CodecError::Kind::kInvalidPayload);
  return error.text();
}

void check_reencodes(const Ids& ids) {
  for (bool gz : {false, true}) {
    const Bytes again = vonk::encode_payload(ids, gz);
    vonk::Result<Ids> back = vonk::decode_payload(again, gz);
    FUZZ_CHECK(back.ok());
    FUZZ_CHECK(back.value() == ids);
  }
}

// Decodes arbitrary bytes and checks the outcome.
void check_decode(std::span<const uint8_t> input, bool gzip) {
  vonk::Result<Ids> decoded = vonk::decode_payload(input, gzip);

  if (gzip) {
    vonk::Result<vonk::ByteBuffer> unwrapped = vonk::gzip_unwrap(input);
    if (!unwrapped.ok()) {
      FUZZ_CHECK(!decoded.ok());
      FUZZ_CHECK(carried(decoded.error()) == carried(unwrapped.error()));
      return;
    }
    vonk::Result<Ids> plain = vonk::decode_payload(unwrapped.value(), false);
    FUZZ_CHECK(plain.ok() == decoded.ok());
    if (plain.ok()) {
      FUZZ_CHECK(plain.value() == decoded.value());
    } else {
      FUZZ_CHECK(carried(plain.error()) == carried(decoded.error()));
    }
  } else {
    const Literal literal = LiteralReader(input).read();
    if (literal.negative_count) {
      FUZZ_CHECK(!decoded.ok());
      carried(decoded.error());
    } else if (literal.failure.empty()) {
      FUZZ_CHECK(decoded.ok());
      FUZZ_CHECK(decoded.value() == literal.ids);
    } else {
      FUZZ_CHECK(!decoded.ok());
      FUZZ_CHECK(carried(decoded.error()) == literal.failure);
    }
  }

  if (decoded.ok()) check_reencodes(decoded.value());
}

// Round trip of ids taken from the input.
void check_round_trip(std::span<const uint8_t> input, bool gzip) {
  Ids ids(input.size() / 4);
  for (size_t i = 0; i < ids.size(); ++i) {
    uint32_t v;
    std::memcpy(&v, input.data() + 4 * i, 4);  // little-endian host
    ids[i] = static_cast<int32_t>(v);
  }
  const Bytes plain = vonk::encode_payload(ids, false);
  FUZZ_CHECK(plain == literal_encode(ids));
  const Bytes encoded = vonk::encode_payload(ids, gzip);
  if (gzip) FUZZ_CHECK(encoded == vonk::gzip_wrap(plain));
  vonk::Result<Ids> back = vonk::decode_payload(encoded, gzip);
  FUZZ_CHECK(back.ok());
  FUZZ_CHECK(back.value() == ids);
}

// The bulk varint reader against the literal reading of the same bytes.
void check_run_reader(std::span<const uint8_t> input) {  // Literal varints of at most five bytes, with the offset after each.
  Ids values;
  std::vector<size_t> ends;
  size_t pos = 0;
  while (pos < input.size()) {
    uint64_t v = 0;
    size_t i = 0;
    bool done = false;
    while (i < 5 && pos + i < input.size()) {
      const uint8_t b = input[pos + i];
      v |= uint64_t{b & 0x7Fu} << (7 * i);
      ++i;
      if ((b & 0x80) == 0) {
        done = true;
        break;
      }
    }
    if (!done) break;
    values.push_back(vonk::zigzag_run::unzigzag32(v));
    pos += i;
    ends.push_back(pos);
  }
  // An exactly sized copy, so that any read past the end is caught.
  const Bytes copy(input.begin(), input.end());
  for (size_t count : {input.size(), input.size() / 3}) {
    Ids out(count < copy.size() ? count : copy.size());
    const uint8_t* p = copy.data();
    const size_t n =
        vonk::zigzag_run::read_run(&p, copy.data() + copy.size(), count, out.data());
    FUZZ_CHECK(n <= count && n <= values.size());
    for (size_t j = 0; j < n; ++j) FUZZ_CHECK(out[j] == values[j]);
    FUZZ_CHECK(static_cast<size_t>(p - copy.data()) ==
               (n == 0 ? 0 : ends[n - 1]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool gzip = (data[0] & 1) != 0;
  const std::span<const uint8_t> input(data + 1, size - 1);
  check_decode(input, gzip);
  check_round_trip(input, gzip);
  check_run_reader(input);
  return 0;
}
