// FxHash: the fast, unseeded hash of every mapping table and of the mapping
// cache. Lookups never depend on its values beyond speed; nothing exposes
// iteration order.
#ifndef VONK_MAPPING_FX_HASH_H_
#define VONK_MAPPING_FX_HASH_H_

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vonk {

inline constexpr uint64_t kFxSeed = 0x517cc1b727220a95ULL;

inline uint64_t fx_add(uint64_t state, uint64_t word) {
  return (std::rotl(state, 5) ^ word) * kFxSeed;
}

// Hash of a byte string: 8-byte little-endian words, then a 4-, a 2- and a
// 1-byte word as far as bytes remain, then the byte 0xFF.
inline uint64_t fx_hash(std::string_view bytes) {
  const char* p = bytes.data();
  size_t n = bytes.size();
  uint64_t state = 0;
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    state = fx_add(state, w);
    p += 8;
    n -= 8;
  }
  if (n >= 4) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    state = fx_add(state, w);
    p += 4;
    n -= 4;
  }
  if (n >= 2) {
    uint16_t w;
    std::memcpy(&w, p, 2);
    state = fx_add(state, w);
    p += 2;
    n -= 2;
  }
  if (n >= 1) state = fx_add(state, static_cast<uint8_t>(*p));
  return fx_add(state, 0xFF);
}

// Hash of a 32-bit key, widened without sign extension.
inline uint64_t fx_hash(uint32_t key) { return uint64_t{key} * kFxSeed; }

// Adapter for std::unordered_map and friends.
struct FxHasher {
  using is_transparent = void;
  size_t operator()(std::string_view key) const { return fx_hash(key); }
  size_t operator()(uint32_t key) const { return fx_hash(key); }
};

}  // namespace vonk

#endif  // VONK_MAPPING_FX_HASH_H_
