// Tests of the gzip layer: the member gzip_wrap writes, and what gzip_unwrap
// accepts and rejects (hand-built headers, damaged trailers, truncations).
// Damaged and random members are checked against zlib's own gzip reader by
// the gzip fuzz target, whose corpus replays in this suite.
#include "codec/gzip.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

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
