// Little-endian loads and stores of unsigned integers at unaligned
// addresses, whatever the byte order of the host.
#ifndef VONK_CODEC_BYTE_ORDER_H_
#define VONK_CODEC_BYTE_ORDER_H_

#include <bit>
#include <cstdint>
#include <cstring>

namespace vonk {

// The two bytes at `p`, least significant first.
inline uint16_t load_le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The four bytes at `p`, least significant first.
inline uint32_t load_le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// The eight bytes at `p`, least significant first.
inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// Stores `v` at `p` as four bytes, least significant first.
inline void store_le32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof(v));
}

// Stores `v` at `p` as eight bytes, least significant first.
inline void store_le64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof(v));
}

}  // namespace vonk

#endif  // VONK_CODEC_BYTE_ORDER_H_
