// The fast record parser: reads the one layout that the stored texts use,
// with fixed-key compares, 16-byte string scans and 8-byte digit runs,
// without the JSON reader. It gives up (returns false) on any other input,
// including every malformed one, so all failures and every unusual
// spelling are judged by the general parser.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mapping/record.h"

namespace vonk {
namespace {

// Bytes that stand for themselves inside the token string: printable ASCII
// and DEL, except the quotation mark and the reverse solidus.
struct PlainTable {
  bool plain[256] = {};
  constexpr PlainTable() {
    for (int c = 0x20; c <= 0x7F; ++c) plain[c] = c != '"' && c != '\\';
  }
};
constexpr PlainTable kPlain;

// Hex digit values, or -1.
struct HexTable {
  int8_t value[256] = {};
  constexpr HexTable() {
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<int8_t>(c - 'A' + 10);
  }
};
constexpr HexTable kHex;

bool is_plain(char c) { return kPlain.plain[static_cast<unsigned char>(c)]; }

#if defined(__SSE2__)
// A bit per byte of v that is not plain: a quotation mark, a
// reverse solidus, or (signed compare) below 0x20 or at/above 0x80.
inline unsigned special_mask(__m128i v) {
  const __m128i special = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                   _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
      _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}
#endif

// The first byte at or after p, before end, that is not plain; end if none.
inline const char* skip_plain(const char* p, const char* end) {
#if defined(__SSE2__)
  while (end - p >= 16) {
    const unsigned mask = special_mask(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (mask != 0) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  while (p < end && is_plain(*p)) ++p;
  return p;
}

// The four hex digits at p as a code unit, or -1.
inline int32_t hex4(const char* p) {
  const int a = kHex.value[static_cast<unsigned char>(p[0])];
  const int b = kHex.value[static_cast<unsigned char>(p[1])];
  const int c = kHex.value[static_cast<unsigned char>(p[2])];
  const int d = kHex.value[static_cast<unsigned char>(p[3])];
  if ((a | b | c | d) < 0) return -1;
  return (a << 12) | (b << 8) | (c << 4) | d;
}

// Writes code point c (not a surrogate) as UTF-8. Always stores four bytes,
// of which the first 1 to 4 count; returns the end of those.
inline char* put_utf8(char* out, uint32_t c) {
  uint32_t word;
  size_t length;
  if (c < 0x10000) {
    // One branch-free choice among the BMP lengths: the code points of one
    // token mix lengths too unpredictably for branches.
    const uint32_t two = (0xC0 | (c >> 6)) | ((0x80 | (c & 0x3F)) << 8);
    const uint32_t three = (0xE0 | (c >> 12)) |
                           ((0x80 | ((c >> 6) & 0x3F)) << 8) |
                           ((0x80 | (c & 0x3F)) << 16);
    const uint32_t wide = 0u - (c >= 0x80);
    const uint32_t wider = 0u - (c >= 0x800);
    word = (c & ~wide) | (two & wide & ~wider) | (three & wider);
    length = 1 + (wide & 1) + (wider & 1);
  } else {
    word = (0xF0 | (c >> 18)) | ((0x80 | ((c >> 12) & 0x3F)) << 8) |
           ((0x80 | ((c >> 6) & 0x3F)) << 16) | ((0x80 | (c & 0x3F)) << 24);
    length = 4;
  }
  // The first UTF-8 byte is the word's lowest.
  const char bytes[4] = {static_cast<char>(word), static_cast<char>(word >> 8),
                         static_cast<char>(word >> 16),
                         static_cast<char>(word >> 24)};
  std::memcpy(out, bytes, 4);
  return out + length;
}

// Whether the N-1 bytes of `literal` (a string literal of 9 to 16
// characters) start at p; the caller guarantees that they are readable.
// Two overlapping 8-byte compares, without a loop.
template <size_t N>
inline bool starts_with(const char* p, const char (&literal)[N]) {
  constexpr size_t n = N - 1;
  static_assert(n > 8 && n <= 16);
  uint64_t head, tail, want_head, want_tail;
  std::memcpy(&head, p, 8);
  std::memcpy(&tail, p + n - 8, 8);
  std::memcpy(&want_head, literal, 8);
  std::memcpy(&want_tail, literal + n - 8, 8);
  return ((head ^ want_head) | (tail ^ want_tail)) == 0;
}

// Reads an unsigned decimal without sign or leading zero, of at most ten
// digits, at *p. Returns false when there is none; the caller checks what
// follows (a longer number or a leading zero then fails that check).
inline bool read_decimal(const char** p, const char* end, uint64_t* value) {
  const char* s = *p;
  if (std::endian::native == std::endian::little && end - s >= 8) {
    // Eight bytes at once: find the digits that lead them and convert them
    // without a loop. A byte is a digit when neither b - '0' nor b + 0x46
    // sets its top bit; borrows and carries only run upwards from bytes
    // that are no digits, so the first non-digit is found exactly.
    uint64_t bytes;
    std::memcpy(&bytes, s, 8);
    const uint64_t digits = bytes - 0x3030303030303030u;
    const uint64_t other =
        (digits | (bytes + 0x4646464646464646u)) & 0x8080808080808080u;
    const int count = other == 0 ? 8 : __builtin_ctzll(other) / 8;
    if (count == 0) return false;
    if (count < 8 || (end - s > 8 && static_cast<unsigned>(s[8] - '0') > 9)) {
      if (s[0] == '0') {
        *p = s + 1;
        *value = 0;
        return true;
      }
      // Leading zeros in the high bytes, the first digit lowest.
      uint64_t v = digits << (8 * (8 - count));
      v = v * 10 + (v >> 8);
      v = (((v & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
           (((v >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >>
          32;
      *p = s + count;
      *value = v;
      return true;
    }
  }
  if (s == end || static_cast<unsigned>(*s - '0') > 9) return false;
  uint64_t v = static_cast<unsigned>(*s++ - '0');
  if (v != 0) {
    const char* limit = end - s > 9 ? s + 9 : end;
    while (s < limit && static_cast<unsigned>(*s - '0') <= 9) {
      v = v * 10 + static_cast<unsigned>(*s++ - '0');
    }
  }
  *p = s;
  *value = v;
  return true;
}

// Copies the plain bytes from *s on to *out, up to the first byte that is
// not plain (or end), and advances both. May store up to 16 bytes beyond
// the copied ones.
inline void copy_plain(const char** s, const char* end, char** out) {
  const char* in = *s;
  char* to = *out;
#if defined(__SSE2__)
  while (end - in >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), v);
    const unsigned mask = special_mask(v);
    if (mask != 0) {
      const int n = __builtin_ctz(mask);
      *s = in + n;
      *out = to + n;
      return;
    }
    in += 16;
    to += 16;
  }
#endif
  while (in < end && is_plain(*in)) *to++ = *in++;
  *s = in;
  *out = to;
}

// Decodes the token string whose text starts at *p, and which has an
// escape, into *scratch. Stops at the closing quote, which *p then points
// at. Returns the decoded length, or -1 to give up.
int64_t decode_token(const char** p, const char* end, std::string* scratch) {
  const char* const begin = *p;
  // Decoding never lengthens the text: an escape of n bytes gives at most n
  // bytes of UTF-8; 16 more bytes take the wide stores of copy_plain and
  // put_utf8. The buffer only grows, so there is no per-line fill.
  const size_t bound = static_cast<size_t>(end - begin) + 16;
  if (scratch->size() < bound) scratch->resize(bound);
  char* const out_begin = scratch->data();
  char* out = out_begin;
  const char* s = begin;
  copy_plain(&s, end, &out);  // stops at the first escape
  for (;;) {
    // Here s is at a byte that is not plain: an escape, the closing quote,
    // or a byte that the stored layout does not use. Every escape needs six
    // readable bytes: a line in the layout has far more after its token.
    if (*s != '\\' || end - s < 6) {
      if (*s == '"') break;
      return -1;
    }
    if (s[1] == 'u') {
      int32_t unit = hex4(s + 2);
      if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return -1;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (end - s < 12 || s[6] != '\\' || s[7] != 'u') return -1;
        const int32_t low = hex4(s + 8);
        if (low < 0xDC00 || low > 0xDFFF) return -1;
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        s += 6;
      }
      out = put_utf8(out, static_cast<uint32_t>(unit));
      s += 6;
    } else {
      char c;
      switch (s[1]) {
        case '"':
          c = '"';
          break;
        case '\\':
          c = '\\';
          break;
        case 'b':
          c = '\b';
          break;
        case 't':
          c = '\t';
          break;
        case 'n':
          c = '\n';
          break;
        case 'f':
          c = '\f';
          break;
        case 'r':
          c = '\r';
          break;
        default:
          return -1;
      }
      *out++ = c;
      s += 2;
    }
    // Escapes mostly follow each other (runs of non-ASCII characters).
    if (s == end) return -1;
    if (is_plain(*s)) {
      copy_plain(&s, end, &out);
      if (s == end) return -1;
    }
  }
  *p = s;
  return out - out_begin;
}

}  // namespace

bool parse_mapping_entry_fast(std::string_view line, std::string* scratch,
                              MappingEntry* entry) {
  static constexpr char kHead[] = "{\"token\": \"";
  static constexpr char kTokenId[] = "\", \"token_id\": ";
  static constexpr char kMappedId[] = ", \"mapped_id\": ";
  static constexpr char kCount[] = ", \"count\": ";
  // The shortest record: empty token, one-digit numbers, closing brace.
  constexpr size_t kShortest = sizeof kHead - 1 + sizeof kTokenId - 1 + 1 +
                               sizeof kMappedId - 1 + 1 + sizeof kCount - 1 +
                               1 + 1;

  if (line.size() < kShortest) return false;
  const char* p = line.data();
  const char* const end = p + line.size();
  if (!starts_with(p, kHead)) return false;
  p += sizeof kHead - 1;

  // The token string, up to its closing quote.
  const char* const token_begin = p;
  p = skip_plain(p, end);
  if (p == end) return false;
  if (*p == '"') {
    entry->token = std::string_view(token_begin,
                                    static_cast<size_t>(p - token_begin));
  } else if (*p == '\\') {
    p = token_begin;
    const int64_t length = decode_token(&p, end, scratch);
    if (length < 0) return false;
    entry->token =
        std::string_view(scratch->data(), static_cast<size_t>(length));
  } else {
    return false;
  }

  // What remains from the closing quote on: the three keys, at least one
  // digit each, and the brace.
  constexpr size_t kTail = sizeof kTokenId - 1 + 1 + sizeof kMappedId - 1 +
                           1 + sizeof kCount - 1 + 1 + 1;
  if (static_cast<size_t>(end - p) < kTail || !starts_with(p, kTokenId)) {
    return false;
  }
  p += sizeof kTokenId - 1;
  uint64_t token_id;
  if (!read_decimal(&p, end, &token_id) || token_id > UINT32_MAX) {
    return false;
  }

  // The mapped id's key, a digit, the count's key, a digit, the brace.
  if (end - p < static_cast<ptrdiff_t>(sizeof kMappedId + sizeof kCount + 1) ||
      !starts_with(p, kMappedId)) {
    return false;
  }
  p += sizeof kMappedId - 1;
  // Mapped ids alternate in sign from line to line: no branch on it.
  const uint64_t negative = *p == '-';
  p += negative;
  uint64_t magnitude;
  if (!read_decimal(&p, end, &magnitude)) return false;
  // Up to 2^31 - 1, or 2^31 when negative; "-0" is a floating-point value,
  // which the general parser rejects.
  if (magnitude - negative > uint64_t{INT32_MAX}) return false;
  const int64_t mapped_id = negative ? -static_cast<int64_t>(magnitude)
                                     : static_cast<int64_t>(magnitude);

  // The count's key, a digit, the brace.
  if (end - p < static_cast<ptrdiff_t>(sizeof kCount + 1) ||
      !starts_with(p, kCount)) {
    return false;
  }
  p += sizeof kCount - 1;
  uint64_t count;
  if (!read_decimal(&p, end, &count) || count > UINT32_MAX) return false;
  if (end - p != 1 || *p != '}') return false;

  entry->token_id = static_cast<uint32_t>(token_id);
  entry->mapped_id = static_cast<int32_t>(mapped_id);
  entry->count = static_cast<uint32_t>(count);
  return true;
}

}  // namespace vonk
