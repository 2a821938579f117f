#include "codec/zigzag_run.h"

#include <bit>
#include <cstring>

#ifdef VONK_ZIGZAG_RUN_BMI2
#include <immintrin.h>
#endif

namespace vonk::zigzag_run {

namespace {

// Bit 7 of every byte of a word: set on varint bytes that continue.
constexpr uint64_t kContinueBits = 0x8080808080808080ull;

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

// The low `n` bits set, for n in 1 to 63.
inline uint64_t low_bits(int n) { return (uint64_t{1} << n) - 1; }

// The value of a varint of at most five bytes held in the low bytes of `y`
// (bytes past its end already cleared): the 7-bit groups packed together.
inline uint64_t gather7(uint64_t y) {
  return (y & 0x7F) | ((y >> 1) & (uint64_t{0x7F} << 7)) |
         ((y >> 2) & (uint64_t{0x7F} << 14)) |
         ((y >> 3) & (uint64_t{0x7F} << 21)) |
         ((y >> 4) & (uint64_t{0x7F} << 28));
}

}  // namespace

size_t read_run_portable(const uint8_t** pp, const uint8_t* end, size_t count,
                         int32_t* out) {
  const uint8_t* p = *pp;
  size_t i = 0;
  // Varint ends are the bytes with bit 7 clear. When four of them lie in the
  // next eight bytes, the four varints are taken together (none can exceed
  // five bytes then); otherwise one, if it ends within five bytes, so that
  // the last ids of the count are read here too.
  while (end - p >= 8 && i < count) {
    const uint64_t x = load_le64(p);
    const uint64_t s1 = ~x & kContinueBits;
    const uint64_t s2 = s1 & (s1 - 1);
    const uint64_t s3 = s2 & (s2 - 1);
    const uint64_t s4 = s3 & (s3 - 1);
    if (s4 != 0 && count - i >= 4) [[likely]] {
      // Bit positions just past each end.
      const int e1 = std::countr_zero(s1) + 1;
      const int e2 = std::countr_zero(s2) + 1;
      const int e3 = std::countr_zero(s3) + 1;
      const int e4 = std::countr_zero(s4) + 1;
      out[i] = unzigzag32(gather7(x & low_bits(e1)));
      out[i + 1] = unzigzag32(gather7((x >> e1) & low_bits(e2 - e1)));
      out[i + 2] = unzigzag32(gather7((x >> e2) & low_bits(e3 - e2)));
      out[i + 3] = unzigzag32(gather7((x >> e3) & low_bits(e4 - e3)));
      i += 4;
      p += e4 >> 3;
      continue;
    }
    const uint64_t first = s1 & 0x8080808080ull;
    if (first == 0) break;  // six bytes or more
    const int e = std::countr_zero(first) + 1;
    out[i++] = unzigzag32(gather7(x & low_bits(e)));
    p += e >> 3;
  }
  *pp = p;
  return i;
}

#ifdef VONK_ZIGZAG_RUN_BMI2

namespace {

// Bit j set when byte j of the 64 bytes at `p` continues its varint.
inline uint64_t continue_mask64(const uint8_t* p) {
  uint64_t mask = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i bytes =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    mask |= static_cast<uint64_t>(
                static_cast<uint16_t>(_mm_movemask_epi8(bytes)))
            << (16 * k);
  }
  return mask;
}

}  // namespace

__attribute__((target("bmi,bmi2"))) size_t read_run_bmi2(const uint8_t** pp,
                                                         const uint8_t* end,
                                                         size_t count,
                                                         int32_t* out) {
  const uint8_t* p = *pp;
  const uint8_t* base = p;
  size_t i = 0;
  // Walk the varint ends of one 64-byte block at a time. A varint that
  // starts in one block may end in the next; `p` is its start. Values are
  // loaded 8 bytes at a time from `p`, never past base + 71.
  while (i < count && end - base >= 72) {
    uint64_t ends = ~continue_mask64(base);
    while (ends != 0 && i < count) {
      const uint8_t* last = base + _tzcnt_u64(ends);
      ends = _blsr_u64(ends);
      const unsigned length = static_cast<unsigned>(last - p) + 1;
      if (length > 5) {
        *pp = p;
        return i;
      }
      uint64_t word;
      std::memcpy(&word, p, sizeof(word));
      const uint64_t groups = _bzhi_u64(0x7F7F7F7F7F7F7F7Full, 8 * length);
      out[i++] = unzigzag32(_pext_u64(word, groups));
      p = last + 1;
    }
    base += 64;
  }
  *pp = p;
  return i;
}

bool bmi2_usable() {
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("bmi") || !__builtin_cpu_supports("bmi2")) {
    return false;
  }
  // AMD families 15h and 17h run PEXT in microcode, far slower than the
  // portable reader.
  return !(__builtin_cpu_is("amdfam15h") || __builtin_cpu_is("amdfam17h"));
}

#endif  // VONK_ZIGZAG_RUN_BMI2

RunReader best_run_reader() {
#ifdef VONK_ZIGZAG_RUN_BMI2
  static const RunReader reader =
      bmi2_usable() ? &read_run_bmi2 : &read_run_portable;
  return reader;
#else
  return &read_run_portable;
#endif
}

}  // namespace vonk::zigzag_run
