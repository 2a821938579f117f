// Tests of the gzip layer: the member gzip_wrap writes, and what gzip_unwrap
// accepts and rejects (hand-built headers, damaged trailers, truncations,
// DEFLATE data that only zlib refuses). Damaged and random members are
// checked against zlib's own gzip reader by the gzip fuzz target, and
// gzip_unwrap against its zlib reading by the differential one; both corpora
// replay in this suite.
#include "codec/gzip.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/gzip_reference.h"
#include "common/zlib_gunzip.h"
#include "error/codec_error.h"
#include "hex_bytes.h"
#include "memory_limits.h"

namespace vonk {
namespace {

constexpr char kPrefix[] = "Invalid payload: Gzip decompression failed: ";

Bytes random_bytes(std::mt19937_64& rng, size_t size, int alphabet = 256) {
  Bytes out(size);
  for (uint8_t& b : out) b = static_cast<uint8_t>(rng() % alphabet);
  return out;
}

// The data of an unwrap, as plain bytes.
Bytes data_of(const Result<ByteBuffer>& r) { return Bytes(r.value().begin(), r.value().end()); }

// The display text of a failed unwrap, or "ok" when it succeeded.
std::string outcome(const Bytes& input) {
  Result<ByteBuffer> r = gzip_unwrap(input);
  if (r.ok()) return "ok";
  EXPECT_EQ(r.error().kind(), CodecError::Kind::kInvalidPayload);
  return r.error().display();
}

std::string failure(const char* text) { return std::string(kPrefix) + text; }

// The DEFLATE data and trailer of a member, that is the member without its
// ten fixed header bytes.
Bytes body_of(const Bytes& data) {
  Bytes member = copy_of(gzip_wrap(data));
  return Bytes(member.begin() + 10, member.end());
}

uint16_t header_crc(const Bytes& header) {
  return static_cast<uint16_t>(crc32_z(0, header.data(), header.size()) &
                               0xFFFF);
}

// A member with the given FLG and optional fields, around `data`.
struct MemberFields {
  uint8_t flags = 0;
  Bytes extra;           // FEXTRA payload (flag 0x04)
  std::string name;      // FNAME (flag 0x08)
  std::string comment;   // FCOMMENT (flag 0x10)
  bool header_crc_ok = true;  // with flag 0x02
};

Bytes build_member(const MemberFields& fields, const Bytes& data) {
  Bytes out = {0x1F, 0x8B, 0x08, fields.flags, 0x12, 0x34, 0x56, 0x78, 0x02, 0x03};
  if (fields.flags & 0x04) {
    out.push_back(static_cast<uint8_t>(fields.extra.size()));
    out.push_back(static_cast<uint8_t>(fields.extra.size() >> 8));
    out.insert(out.end(), fields.extra.begin(), fields.extra.end());
  }
  if (fields.flags & 0x08) {
    out.insert(out.end(), fields.name.begin(), fields.name.end());
    out.push_back(0);
  }
  if (fields.flags & 0x10) {
    out.insert(out.end(), fields.comment.begin(), fields.comment.end());
    out.push_back(0);
  }
  if (fields.flags & 0x02) {
    uint16_t crc = header_crc(out);
    if (!fields.header_crc_ok) crc ^= 0x0100;
    out.push_back(static_cast<uint8_t>(crc));
    out.push_back(static_cast<uint8_t>(crc >> 8));
  }
  Bytes body = body_of(data);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// zlib's own gzip member of `data` at `level` (its header says OS 3).
Bytes zlib_gzip(const Bytes& data, int level) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&s, data.size()));
  s.next_in = const_cast<Bytef*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// ---- gzip_wrap -----------------------------------------------------------------

class GzipWrapSizes : public ::testing::TestWithParam<size_t> {};

TEST_P(GzipWrapSizes, GunzipsWithZlibAndUnwraps) {
  std::mt19937_64 rng(GetParam());
  // Low-entropy bytes, so that both literals and matches occur.
  const Bytes data = random_bytes(rng, GetParam(), 7);
  const Bytes member = copy_of(gzip_wrap(data));

  ASSERT_GE(member.size(), 18u);
  EXPECT_EQ(Bytes(member.begin(), member.begin() + 10),
            hex("1F 8B 08 00 00 00 00 00 00 FF"));

  const uint32_t crc = static_cast<uint32_t>(crc32_z(0, data.data(), data.size()));
  const uint32_t size = static_cast<uint32_t>(data.size());
  const Bytes trailer = {static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                         static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24),
                         static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                         static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)};
  EXPECT_EQ(Bytes(member.end() - 8, member.end()), trailer);

  const ZlibReading gunzipped = zlib_gunzip(member);
  ASSERT_TRUE(gunzipped.ok());
  EXPECT_EQ(gunzipped.data, data);

  Result<ByteBuffer> unwrapped = gzip_unwrap(member);
  ASSERT_TRUE(unwrapped.ok()) << unwrapped.error().display();
  EXPECT_EQ(data_of(unwrapped), data);

  // Members that zlib writes, at every level, unwrap to the same data.
  for (int level = 0; level <= 9; ++level) {
    Result<ByteBuffer> theirs = gzip_unwrap(zlib_gzip(data, level));
    ASSERT_TRUE(theirs.ok()) << "level " << level << ": " << theirs.error().display();
    EXPECT_EQ(data_of(theirs), data) << "level " << level;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, GzipWrapSizes,
                         ::testing::Values(0, 1, 3, 100, 32767, 32768, 32769,
                                           100000, 1 << 20));

// ---- gzip_unwrap: table of hand-built inputs -----------------------------------------

struct UnwrapCase {
  const char* name;
  Bytes input;
  std::string expected;  // "ok" or the full display text
  Bytes data;            // expected output when "ok"
};

void PrintTo(const UnwrapCase& c, std::ostream* os) { *os << c.name; }

const Bytes kData = hex("19 35 00 02 01 00");

std::vector<UnwrapCase> unwrap_cases() {
  const Bytes member = copy_of(gzip_wrap(kData));
  const std::string long_text(65535, 'n');
  const std::string too_long_text(65536, 'n');
  Bytes bad_crc = member;
  bad_crc[bad_crc.size() - 8] ^= 0x01;
  Bytes bad_size = member;
  bad_size[bad_size.size() - 4] ^= 0x01;
  Bytes huge_size = member;
  for (size_t i = member.size() - 4; i < member.size(); ++i) huge_size[i] = 0xFF;
  Bytes altered_header = member;
  altered_header[3] = 0x01;  // FTEXT
  altered_header[9] = 0x03;  // OS: Unix
  altered_header[8] = 0x02;  // XFL

  std::vector<UnwrapCase> cases = {
      {"Empty", {}, failure("unexpected end of file"), {}},
      {"ThreeByteListPayload", hex("19 05 00"), failure("unexpected end of file"), {}},
      {"NineHeaderBytes", hex("1F 8B 08 00 00 00 00 00 00"),
       failure("unexpected end of file"), {}},
      {"ShortWithBadMagic", hex("00 01 02 03 04 05 06 07 08"),
       failure("unexpected end of file"), {}},
      {"ShortWithReservedFlag", hex("1F 8B 08 E0 00 00 00 00 00"),
       failure("unexpected end of file"), {}},
      {"HeaderOnly", hex("1F 8B 08 00 00 00 00 00 00 FF"),
       failure("unexpected end of file"), {}},
      {"TenNonGzipBytes", hex("19 0A 00 00 00 00 00 00 00 00"),
       failure("invalid gzip header"), {}},
      {"PlainPayloadOfTwelveBytes", hex("19 A5 00 02 01 04 03 06 05 08 07 00"),
       failure("invalid gzip header"), {}},
      {"WrongId1", concat({hex("1E"), Bytes(member.begin() + 1, member.end())}),
       failure("invalid gzip header"), {}},
      {"WrongId2", concat({hex("1F 8C"), Bytes(member.begin() + 2, member.end())}),
       failure("invalid gzip header"), {}},
      {"MethodNotDeflate", concat({hex("1F 8B 07"), Bytes(member.begin() + 3, member.end())}),
       failure("invalid gzip header"), {}},
      {"ReservedFlag20", build_member({.flags = 0x20}, kData),
       failure("invalid gzip header"), {}},
      {"ReservedFlag40", build_member({.flags = 0x40}, kData),
       failure("invalid gzip header"), {}},
      {"ReservedFlag80", build_member({.flags = 0x80}, kData),
       failure("invalid gzip header"), {}},
      {"OwnMember", member, "ok", kData},
      {"IgnoredHeaderFields", altered_header, "ok", kData},
      {"Extra", build_member({.flags = 0x04, .extra = hex("41 42 03 00 01 02 03")}, kData),
       "ok", kData},
      {"EmptyExtra", build_member({.flags = 0x04}, kData), "ok", kData},
      {"ExtraLengthCut", concat({hex("1F 8B 08 04 00 00 00 00 00 FF 05")}),
       failure("unexpected end of file"), {}},
      {"ExtraLongerThanInput", hex("1F 8B 08 04 00 00 00 00 00 FF 05 00 01 02 03 04"),
       failure("unexpected end of file"), {}},
      {"Name", build_member({.flags = 0x08, .name = "payload.bin"}, kData), "ok", kData},
      {"EmptyName", build_member({.flags = 0x08}, kData), "ok", kData},
      {"NameOf65535Bytes", build_member({.flags = 0x08, .name = long_text}, kData),
       "ok", kData},
      {"NameOf65536Bytes", build_member({.flags = 0x08, .name = too_long_text}, kData),
       failure("gzip header field too long"), {}},
      {"NameWithoutZero", concat({hex("1F 8B 08 08 00 00 00 00 00 FF 61 62 63")}),
       failure("unexpected end of file"), {}},
      {"NameOf65535BytesThenEnd",
       concat({hex("1F 8B 08 08 00 00 00 00 00 FF"), Bytes(65535, 'n')}),
       failure("unexpected end of file"), {}},
      {"NameOf65536BytesThenEnd",
       concat({hex("1F 8B 08 08 00 00 00 00 00 FF"), Bytes(65536, 'n')}),
       failure("gzip header field too long"), {}},
      {"Comment", build_member({.flags = 0x10, .comment = "a comment"}, kData), "ok", kData},
      {"CommentOf65535Bytes", build_member({.flags = 0x10, .comment = long_text}, kData),
       "ok", kData},
      {"CommentOf65536Bytes",
       build_member({.flags = 0x10, .comment = too_long_text}, kData),
       failure("gzip header field too long"), {}},
      {"NameAndCommentOf65535Bytes",
       build_member({.flags = 0x18, .name = long_text, .comment = long_text}, kData),
       "ok", kData},
      {"LongNameThenTooLongComment",
       build_member({.flags = 0x18, .name = long_text, .comment = too_long_text}, kData),
       failure("gzip header field too long"), {}},
      {"HeaderCrc", build_member({.flags = 0x02}, kData), "ok", kData},
      {"HeaderCrcWrong", build_member({.flags = 0x02, .header_crc_ok = false}, kData),
       failure("corrupt gzip stream does not have a matching checksum"), {}},
      {"HeaderCrcOverAllFields",
       build_member({.flags = 0x1F, .extra = hex("01 02"), .name = "n", .comment = "c"},
                    kData),
       "ok", kData},
      {"HeaderCrcOverAllFieldsWrong",
       build_member({.flags = 0x1F,
                     .extra = hex("01 02"),
                     .name = "n",
                     .comment = "c",
                     .header_crc_ok = false},
                    kData),
       failure("corrupt gzip stream does not have a matching checksum"), {}},
      {"HeaderCrcCut", hex("1F 8B 08 02 00 00 00 00 00 FF 12"),
       failure("unexpected end of file"), {}},
      {"TrailerCrcAltered", bad_crc,
       failure("corrupt gzip stream does not have a matching checksum"), {}},
      {"TrailerSizeAltered", bad_size,
       failure("corrupt gzip stream does not have a matching checksum"), {}},
      {"TrailerSizeHuge", huge_size,
       failure("corrupt gzip stream does not have a matching checksum"), {}},
      // BTYPE 11 is reserved.
      {"ReservedBlockType", hex("1F 8B 08 00 00 00 00 00 00 FF 07 00 00 00 00 00 00 00"),
       failure("corrupt deflate stream"), {}},
      // Stored block whose LEN and NLEN disagree.
      {"StoredLengthMismatch",
       hex("1F 8B 08 00 00 00 00 00 00 FF 01 03 00 00 00 19 05 00 00 00 00 00 00 00 00 00"),
       failure("corrupt deflate stream"), {}},
      // A stored final block holding 19 05 00, with its trailer.
      {"StoredBlock",
       hex("1F 8B 08 00 00 00 00 00 00 FF 01 03 00 FC FF 19 05 00 A8 B5 C1 91 03 00 00 00"),
       "ok", hex("19 05 00")},
      // A non-final empty stored block and no more data.
      {"NoFinalBlock", hex("1F 8B 08 00 00 00 00 00 00 FF 00 00 00 FF FF"),
       failure("unexpected end of file"), {}},
      {"TwoMembers", concat({member, copy_of(gzip_wrap(hex("19 15 02 00")))}), "ok", kData},
      {"TrailingJunk", concat({member, hex("00 01 02 FF FF FF FF")}), "ok", kData},
      {"TrailingJunkClaimingHugeSize", concat({member, Bytes(64, 0xFF)}), "ok", kData},
  };
  return cases;
}

class GzipUnwrapTable : public ::testing::TestWithParam<UnwrapCase> {};

TEST_P(GzipUnwrapTable, GivesDataOrFailureText) {
  const UnwrapCase& c = GetParam();
  Result<ByteBuffer> r = gzip_unwrap(c.input);
  if (c.expected == "ok") {
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(data_of(r), c.data);
  } else {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), CodecError::Kind::kInvalidPayload);
    EXPECT_EQ(r.error().display(), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, GzipUnwrapTable, ::testing::ValuesIn(unwrap_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- gzip_unwrap: DEFLATE data that only zlib refuses --------------------------
//
// Streams that zlib refuses but a lenient inflater (libdeflate as released)
// reads to the data their trailer names: gzip_unwrap must give zlib's
// verdict, not that data. Most come with a twin, the nearest valid stream
// with the same data (so the same trailer), which must unwrap to it.

// Writes DEFLATE data, filling each byte from its least significant bit.
class BitWriter {
 public:
  // The low `count` bits of `value`, least significant first: header fields
  // and extra bits.
  void bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) put((value >> i) & 1);
  }
  // A Huffman codeword of `length` bits, most significant first.
  void code(uint32_t codeword, int length) {
    for (int i = length - 1; i >= 0; --i) put((codeword >> i) & 1);
  }
  // A non-final stored block holding `data`.
  void stored(const Bytes& data) {
    bits(0, 3);
    used_ = out_.size() * 8;
    const uint16_t len = static_cast<uint16_t>(data.size());
    for (uint16_t v : {len, static_cast<uint16_t>(~len)}) {
      out_.push_back(static_cast<uint8_t>(v));
      out_.push_back(static_cast<uint8_t>(v >> 8));
    }
    out_.insert(out_.end(), data.begin(), data.end());
    used_ = out_.size() * 8;
  }
  const Bytes& bytes() const { return out_; }

 private:
  void put(uint32_t bit) {
    if (used_ % 8 == 0) out_.push_back(0);
    out_.back() = static_cast<uint8_t>(out_.back() | (bit << (used_ % 8)));
    ++used_;
  }
  Bytes out_;
  size_t used_ = 0;
};

// A canonical Huffman code given by its codeword lengths (0: no codeword).
struct HuffmanCode {
  std::vector<int> lengths;
  std::vector<uint32_t> codewords;

  explicit HuffmanCode(std::vector<int> lens) : lengths(std::move(lens)) {
    int count[16] = {};
    for (int len : lengths) ++count[len];
    count[0] = 0;
    uint32_t next[16] = {};
    uint32_t code = 0;
    for (int len = 1; len < 16; ++len) {
      code = (code + count[len - 1]) << 1;
      next[len] = code;
    }
    for (int len : lengths) codewords.push_back(len == 0 ? 0 : next[len]++);
  }
  void put(BitWriter* w, int symbol) const {
    w->code(codewords.at(symbol), lengths.at(symbol));
  }
};

const HuffmanCode& fixed_litlen() {
  static const HuffmanCode code([] {
    std::vector<int> lens(288, 8);
    std::fill(lens.begin() + 144, lens.begin() + 256, 9);
    std::fill(lens.begin() + 256, lens.begin() + 280, 7);
    return lens;
  }());
  return code;
}

const HuffmanCode& fixed_distance() {
  static const HuffmanCode code(std::vector<int>(32, 5));
  return code;
}

// One code-length symbol of a dynamic block header, with its extra bits.
struct LengthSymbol {
  int symbol;
  uint32_t extra = 0;
};

// Each length as its own code-length symbol.
std::vector<LengthSymbol> spelled_out(const std::vector<int>& lengths) {
  std::vector<LengthSymbol> out;
  for (int len : lengths) out.push_back({len});
  return out;
}

// A complete code-length code: 4 bits for symbols 0 to 12, 5 for 13 to 18.
std::vector<int> full_length_code() {
  std::vector<int> lens(19, 4);
  std::fill(lens.begin() + 13, lens.end(), 5);
  return lens;
}

// A final dynamic block's header declaring `litlen` and `distance` lengths
// (their counts give HLIT and HDIST), sent as `symbols` (default: spelled
// out) in the code-length code `length_code` (19 lengths in symbol order,
// all sent).
struct DynamicHeader {
  std::vector<int> litlen;
  std::vector<int> distance;
  std::optional<std::vector<LengthSymbol>> symbols;
  std::vector<int> length_code = full_length_code();

  void write(BitWriter* w) const {
    static constexpr int kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    w->bits(1, 1);  // BFINAL
    w->bits(2, 2);  // BTYPE: dynamic Huffman codes
    w->bits(static_cast<uint32_t>(litlen.size() - 257), 5);
    w->bits(static_cast<uint32_t>(distance.size() - 1), 5);
    w->bits(19 - 4, 4);
    for (int symbol : kOrder) w->bits(static_cast<uint32_t>(length_code[symbol]), 3);
    std::vector<int> all = litlen;
    all.insert(all.end(), distance.begin(), distance.end());
    const HuffmanCode code(length_code);
    for (const LengthSymbol& s : symbols ? *symbols : spelled_out(all)) {
      code.put(w, s.symbol);
      if (s.symbol == 16) w->bits(s.extra, 2);
      if (s.symbol == 17) w->bits(s.extra, 3);
      if (s.symbol == 18) w->bits(s.extra, 7);
    }
  }
};

// `lengths` padded with zeros to `count`.
std::vector<int> padded(std::vector<int> lengths, size_t count) {
  lengths.resize(count, 0);
  return lengths;
}

// Litlen lengths for 'a', 'b', the end of block and length 3 (symbol 257),
// two bits each.
std::vector<int> small_litlen() {
  std::vector<int> lens(258, 0);
  lens['a'] = lens['b'] = lens[256] = lens[257] = 2;
  return lens;
}

// The final dynamic block of `header` holding "ab", a match of length 3 at
// distance 2 (distance symbol 1) and the end of block: "ababa".
Bytes ababa_block(const DynamicHeader& header) {
  BitWriter w;
  header.write(&w);
  const HuffmanCode lit(header.litlen), dist(header.distance);
  lit.put(&w, 'a');
  lit.put(&w, 'b');
  lit.put(&w, 257);
  dist.put(&w, 1);
  lit.put(&w, 256);
  return w.bytes();
}

// The final dynamic block of `header` holding "a", a match of length 3 whose
// distance is the raw bit `distance_bit` (a lenient inflater reads distance
// 1: "aaaa"), and the end of block.
Bytes aaaa_block(const DynamicHeader& header, uint32_t distance_bit) {
  BitWriter w;
  header.write(&w);
  const HuffmanCode lit(header.litlen);
  lit.put(&w, 'a');
  lit.put(&w, 257);
  w.bits(distance_bit, 1);
  lit.put(&w, 256);
  return w.bytes();
}

// A stored block of "abc", then a final dynamic block whose one litlen
// codeword (one bit) is the end of block, ended by the raw bit `eob_bit`.
Bytes abc_then_lone_end_of_block(uint32_t eob_bit) {
  BitWriter w;
  w.stored(hex("61 62 63"));
  std::vector<int> litlen(257, 0);
  litlen[256] = 1;
  DynamicHeader{.litlen = litlen, .distance = {0}}.write(&w);
  w.bits(eob_bit, 1);
  return w.bytes();
}

// A final fixed-code block: "a", a match of 258 at distance 1 (symbol 285)
// `runs` times, then a match of `length_symbol` (length 3 for 257, 258 for
// 285 to 287 as a lenient inflater reads them) at distance code
// `distance_symbol` with 13 zero extra bits if it has them (24577 for codes
// 28 to 31 as a lenient inflater reads them).
Bytes fixed_block(int runs, int length_symbol, int distance_symbol) {
  BitWriter w;
  w.bits(1, 1);  // BFINAL
  w.bits(1, 2);  // BTYPE: fixed Huffman codes
  fixed_litlen().put(&w, 'a');
  for (int i = 0; i < runs; ++i) {
    fixed_litlen().put(&w, 285);
    fixed_distance().put(&w, 0);
  }
  fixed_litlen().put(&w, length_symbol);
  fixed_distance().put(&w, distance_symbol);
  if (distance_symbol >= 28) w.bits(0, 13);
  fixed_litlen().put(&w, 256);
  return w.bytes();
}

// The member of DEFLATE data `deflate` with the trailer of `data`.
Bytes member_of(const Bytes& deflate, const Bytes& data) {
  const uint32_t crc = static_cast<uint32_t>(crc32_z(0, data.data(), data.size()));
  const uint32_t size = static_cast<uint32_t>(data.size());
  Bytes out = hex("1F 8B 08 00 00 00 00 00 00 FF");
  out.insert(out.end(), deflate.begin(), deflate.end());
  for (uint32_t v : {crc, size}) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return out;
}

struct StrictCase {
  const char* name;
  Bytes member;               // zlib refuses its DEFLATE data
  std::optional<Bytes> twin;  // valid, with the same data
  Bytes data;                 // what a lenient inflater reads from `member`
};

void PrintTo(const StrictCase& c, std::ostream* os) { *os << c.name; }

std::vector<StrictCase> strict_cases() {
  const Bytes ababa = {'a', 'b', 'a', 'b', 'a'};
  const Bytes aaaa(4, 'a');
  const Bytes a259(259, 'a');
  const Bytes far(1 + 96 * 258 + 3, 'a');
  // Distance lengths spelled out with a zero run that overruns them.
  std::vector<LengthSymbol> overrun = spelled_out(small_litlen());
  overrun.insert(overrun.end(), {{1}, {1}, {17, 0}});  // three zeros, two left
  // A code-length code of one codeword: zero runs only, no end of block.
  std::vector<int> lone_length_code(19, 0);
  lone_length_code[18] = 1;

  return {
      // More than 286 litlen or 30 distance lengths declared (HLIT or HDIST
      // above 29).
      {"TooManyLitlenLengths",
       member_of(ababa_block({.litlen = padded(small_litlen(), 287), .distance = {1, 1}}),
                 ababa),
       member_of(ababa_block({.litlen = padded(small_litlen(), 286), .distance = {1, 1}}),
                 ababa),
       ababa},
      {"TooManyDistanceLengths",
       member_of(ababa_block({.litlen = small_litlen(), .distance = padded({1, 1}, 31)}),
                 ababa),
       member_of(ababa_block({.litlen = small_litlen(), .distance = padded({1, 1}, 30)}),
                 ababa),
       ababa},
      // A zero run past the last length.
      {"LengthRunPastTheEnd",
       member_of(ababa_block({.litlen = small_litlen(),
                              .distance = {1, 1, 0, 0},
                              .symbols = overrun}),
                 ababa),
       member_of(ababa_block({.litlen = small_litlen(), .distance = {1, 1, 0, 0}}), ababa),
       ababa},
      // An incomplete code-length code; lenient inflaters refuse it too, for
      // want of an end of block.
      {"IncompleteLengthCode",
       member_of(ababa_block({.litlen = small_litlen(),
                              .distance = {1, 1},
                              .symbols = std::vector<LengthSymbol>{{18, 127}, {18, 111}},
                              .length_code = lone_length_code}),
                 ababa),
       std::nullopt, ababa},
      // Codeword 1 of a one-codeword code.
      {"UnusedDistanceCodeword",
       member_of(aaaa_block({.litlen = small_litlen(), .distance = {1}}, 1), aaaa),
       member_of(aaaa_block({.litlen = small_litlen(), .distance = {1}}, 0), aaaa), aaaa},
      {"UnusedLitlenCodeword", member_of(abc_then_lone_end_of_block(1), hex("61 62 63")),
       member_of(abc_then_lone_end_of_block(0), hex("61 62 63")), hex("61 62 63")},
      // A match in a block whose distance code is empty.
      {"EmptyDistanceCodeUsed",
       member_of(aaaa_block({.litlen = small_litlen(), .distance = {0}}, 0), aaaa),
       member_of(aaaa_block({.litlen = small_litlen(), .distance = {1}}, 0), aaaa), aaaa},
      // Fixed codes: "a", then litlen symbol 287 or 286 (285: length 258) at
      // distance 1.
      {"FixedLitlen287", hex("1f8b08000000000000ff4b1c070056fac23403010000"),
       hex("1f8b08000000000000ff4b1c050056fac23403010000"), a259},
      {"FixedLitlen286", member_of(fixed_block(0, 286, 0), a259),
       member_of(fixed_block(0, 285, 0), a259), a259},
      // Fixed codes: distance codes 30 and 31 (29: 24577 and up) after
      // 24769 bytes.
      {"FixedDistance30", member_of(fixed_block(96, 257, 30), far),
       member_of(fixed_block(96, 257, 29), far), far},
      {"FixedDistance31", member_of(fixed_block(96, 257, 31), far),
       member_of(fixed_block(96, 257, 29), far), far},
  };
}

class GzipStrictDeflate : public ::testing::TestWithParam<StrictCase> {};

TEST_P(GzipStrictDeflate, GivesZlibsVerdict) {
  const StrictCase& c = GetParam();
  EXPECT_EQ(outcome(c.member), failure("corrupt deflate stream"));
  Result<ByteBuffer> zlib = gzip_unwrap_zlib(c.member);
  ASSERT_FALSE(zlib.ok());
  EXPECT_EQ(zlib.error().display(), failure("corrupt deflate stream"));
  if (c.twin) {
    Result<ByteBuffer> twin = gzip_unwrap(*c.twin);
    ASSERT_TRUE(twin.ok()) << twin.error().display();
    EXPECT_EQ(data_of(twin), c.data);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, GzipStrictDeflate, ::testing::ValuesIn(strict_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- gzip_unwrap: truncation and size ---------------------------------------------

TEST(GzipUnwrap, EveryTruncationIsEndOfFile) {
  std::mt19937_64 rng(7);
  for (const Bytes& data : {Bytes{}, hex("19 05 00"), random_bytes(rng, 5000, 20),
                            random_bytes(rng, 70000, 256)}) {
    const Bytes member = copy_of(gzip_wrap(data));
    const size_t step = member.size() > 2000 ? 97 : 1;
    for (size_t cut = 0; cut < member.size(); cut += step) {
      const Bytes prefix(member.begin(), member.begin() + cut);
      ASSERT_EQ(outcome(prefix), failure("unexpected end of file"))
          << "data size " << data.size() << ", cut at " << cut;
    }
    // The last bytes of the trailer one by one.
    for (size_t cut = member.size() - 8; cut < member.size(); ++cut) {
      const Bytes prefix(member.begin(), member.begin() + cut);
      ASSERT_EQ(outcome(prefix), failure("unexpected end of file")) << cut;
    }
  }
}

TEST(GzipUnwrap, HighlyCompressedDataGrowsPastEveryGuess) {
  // 16 MiB of one byte value compresses about a thousandfold, far beyond the
  // guesses made from the input size.
  const Bytes data(16u << 20, 0x05);
  const Bytes member = copy_of(gzip_wrap(data));
  ASSERT_LT(member.size(), data.size() / 500);
  Result<ByteBuffer> r = gzip_unwrap(member);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(data_of(r), data);
}

TEST(GzipUnwrapDeathTest, ForgedSizesDoNotReserveMemory) {
#ifdef VONK_ASAN
  GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#else
  const Bytes member = copy_of(gzip_wrap(kData));
  Bytes forged = member;
  for (size_t i = forged.size() - 4; i < forged.size(); ++i) forged[i] = 0xFF;
  const Bytes junk_after = concat({member, Bytes(4, 0xFF)});
  EXPECT_EXIT(
      {
        const bool limited = limit_address_space(64u << 20);
        const bool forged_rejected = !gzip_unwrap(forged).ok();
        const bool junk_ok = gzip_unwrap(junk_after).ok();
        std::exit(limited && forged_rejected && junk_ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
}  // namespace vonk
