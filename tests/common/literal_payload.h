// A literal reading and writing of the payload format, one byte at a time,
// with no shortcut: what the payload reader, the payload writer and the bulk
// varint reader must agree with. Header only, free of any test framework, so
// that the unit tests and the fuzz targets share it.
#ifndef VONK_TESTS_COMMON_LITERAL_PAYLOAD_H_
#define VONK_TESTS_COMMON_LITERAL_PAYLOAD_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace vonk::literal {

// Outcome of a literal reading: the ids, or the failure text the reader
// carries (empty on success; `ids` counts only then).
struct Outcome {
  std::vector<int32_t> ids;
  std::string failure;
  bool ok() const { return failure.empty(); }
};

inline int32_t unzigzag(uint64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>((v >> 1) ^ (0 - (v & 1))));
}

// Reads bytes, varints and field headers; each returns false after setting
// `*err` to the failure text.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> in) : in_(in) {}

  bool byte(uint8_t* out, std::string* err) {
    if (pos_ == in_.size()) return *err = "end of file", false;
    *out = in_[pos_++];
    return true;
  }
  // A varint of at most `limit` bytes; the byte after `limit` continuation
  // bytes is read before the varint is refused.
  bool varint(int limit, uint64_t* out, std::string* err) {
    uint64_t v = 0;
    for (int i = 0;; ++i) {
      uint8_t b;
      if (!byte(&b, err)) return false;
      if (i == limit) return *err = "transport error", false;
      v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) break;
    }
    *out = v;
    return true;
  }
  // A field header: its type (0 for the stop) and the id, as a delta on
  // `*id` or in the long form.
  bool field(int16_t* id, int* type, std::string* err) {
    uint8_t h;
    if (!byte(&h, err)) return false;
    *type = h & 0x0F;
    if (*type == 0) return true;
    if (*type >= 13) return *err = "bad data", false;
    if (h >> 4) {
      *id = static_cast<int16_t>(static_cast<uint16_t>(*id + (h >> 4)));
      return true;
    }
    uint64_t v;
    if (!varint(3, &v, err)) return false;
    *id = static_cast<int16_t>(static_cast<uint16_t>(unzigzag(v)));
    return true;
  }

 private:
  std::span<const uint8_t> in_;
  size_t pos_ = 0;
};

// Reads the plain payload `bytes`.
inline Outcome decode(std::span<const uint8_t> bytes) {
  ByteReader in(bytes);
  Outcome out;
  std::string& err = out.failure;
  int16_t id = 0;
  int type;
  if (!in.field(&id, &type, &err)) return out;
  if (type == 0) return err = "Payload missing tokens field", out;
  if (type != 9 || id != 1) return err = "Expected LIST field with id 1", out;
  uint8_t g;
  if (!in.byte(&g, &err)) return out;
  const int element = g & 0x0F;
  if (element == 2 || element >= 13) return err = "bad data", out;
  int64_t count = g >> 4;
  if (count == 15) {
    uint64_t v;
    if (!in.varint(5, &v, &err)) return out;
    count = static_cast<int32_t>(static_cast<uint32_t>(v));  // bits above 32 drop
  }
  if (count < 0) return err = "list size too large", out;
  if (element != 5) return err = "Expected I32 elements", out;
  for (int64_t i = 0; i < count; ++i) {
    uint64_t v;
    if (!in.varint(5, &v, &err)) return out;
    out.ids.push_back(unzigzag(v));
  }
  if (!in.field(&id, &type, &err)) return out;
  if (type != 0) return err = "Unexpected fields in payload", out;
  return out;
}

// The shortest-form plain payload of `ids`.
inline std::vector<uint8_t> encode(std::span<const int32_t> ids) {
  std::vector<uint8_t> out = {0x19};
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

// Varints of at most five bytes read from the start of `bytes`, until one is
// cut off or longer: each value and the offset just past it.
inline std::vector<std::pair<int32_t, size_t>> varints(std::span<const uint8_t> bytes) {
  std::vector<std::pair<int32_t, size_t>> out;
  size_t pos = 0;
  for (;;) {
    uint64_t v = 0;
    bool ended = false;
    for (int i = 0; i < 5 && pos < bytes.size() && !ended; ++i) {
      const uint8_t b = bytes[pos++];
      v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
      ended = !(b & 0x80);
    }
    if (!ended) return out;
    out.emplace_back(unzigzag(v), pos);
  }
}

}  // namespace vonk::literal

#endif  // VONK_TESTS_COMMON_LITERAL_PAYLOAD_H_
