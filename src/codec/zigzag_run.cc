#include "codec/zigzag_run.h"

#include <bit>

#include "codec/byte_order.h"

namespace vonk::zigzag_run {

namespace {

// Bit 7 of every byte of a word: set on varint bytes that continue.
constexpr uint64_t kContinueBits = 0x8080808080808080ull;

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

size_t read_run(const uint8_t** pp, const uint8_t* end, size_t count,
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

}  // namespace vonk::zigzag_run
