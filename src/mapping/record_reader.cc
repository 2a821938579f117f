#include "mapping/record_reader.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vonk {
namespace {

bool is_ascii_space(unsigned char c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// Length of the White_Space character that `s` starts with, or 0. The
// characters beyond ASCII, in UTF-8: U+0085 C2 85, U+00A0 C2 A0, U+1680
// E1 9A 80, U+2000..U+200A E2 80 80..8A, U+2028 E2 80 A8, U+2029 E2 80 A9,
// U+202F E2 80 AF, U+205F E2 81 9F, U+3000 E3 80 80.
size_t leading_space_length(const unsigned char* s, size_t n) {
  if (n == 0) return 0;
  const unsigned char c = s[0];
  if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
  if (c == 0xC2) return n >= 2 && (s[1] == 0x85 || s[1] == 0xA0) ? 2 : 0;
  if (n < 3) return 0;
  switch (c) {
    case 0xE1:
      return s[1] == 0x9A && s[2] == 0x80 ? 3 : 0;
    case 0xE2:
      if (s[1] == 0x80) {
        return (s[2] >= 0x80 && s[2] <= 0x8A) || s[2] == 0xA8 ||
                       s[2] == 0xA9 || s[2] == 0xAF
                   ? 3
                   : 0;
      }
      return s[1] == 0x81 && s[2] == 0x9F ? 3 : 0;
    case 0xE3:
      return s[1] == 0x80 && s[2] == 0x80 ? 3 : 0;
    default:
      return 0;
  }
}

// Length of the White_Space character that `s` ends with, or 0.
size_t trailing_space_length(const unsigned char* s, size_t n) {
  if (n == 0) return 0;
  const unsigned char c = s[n - 1];
  if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
  if (n >= 2 && s[n - 2] == 0xC2 && (c == 0x85 || c == 0xA0)) return 2;
  if (n >= 3 && leading_space_length(s + n - 3, 3) == 3) return 3;
  return 0;
}

// Whether `line` certainly needs no trimming: it is not empty and both its
// ends are ASCII characters that are not white space. Most lines are.
bool has_plain_ends(std::string_view line) {
  if (line.empty()) return false;
  const auto first = static_cast<unsigned char>(line.front());
  const auto last = static_cast<unsigned char>(line.back());
  return first > 0x20 && first < 0x80 && last > 0x20 && last < 0x80;
}

// The first LF in [p, end), or nullptr. Lines are short (most under 128
// bytes), so an inline scan beats a call to memchr per line.
const char* find_lf(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  while (end - p >= 32) {
    const auto low = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), lf)));
    const auto high = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), lf)));
    const unsigned mask = low | (high << 16);
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 32;
  }
#endif
  return static_cast<const char*>(
      std::memchr(p, '\n', static_cast<size_t>(end - p)));
}

}  // namespace

std::string_view trim_white_space(std::string_view line) {
  const auto* s = reinterpret_cast<const unsigned char*>(line.data());
  size_t begin = 0;
  size_t end = line.size();
  while (size_t n = leading_space_length(s + begin, end - begin)) begin += n;
  while (size_t n = trailing_space_length(s + begin, end - begin)) end -= n;
  return line.substr(begin, end - begin);
}

bool RecordReader::next_line(std::string_view* line) {
  while (!rest_.empty()) {
    const char* begin = rest_.data();
    const char* lf = find_lf(begin, begin + rest_.size());
    std::string_view piece;
    ++line_number_;
    if (lf != nullptr) {
      piece = std::string_view(begin, static_cast<size_t>(lf - begin));
      rest_.remove_prefix(piece.size() + 1);
    } else {
      piece = rest_;
      rest_ = std::string_view();
    }
    if (!has_plain_ends(piece)) {
      piece = trim_white_space(piece);
      if (piece.empty()) continue;
    }
    *line = piece;
    return true;
  }
  return false;
}

}  // namespace vonk
