// Tests of the payload writer and reader: exact bytes, every reader rule and
// failure text, each also checked against the literal byte-at-a-time reading
// of the format, and round trips with and without gzip. Random and damaged
// payloads meet the literal reading in the payload fuzz target, whose corpus
// replays in this suite.
#include "codec/payload.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "codec/gzip.h"
#include "codec/zigzag_run.h"
#include "common/literal_payload.h"
#include "error/codec_error.h"
#include "error/fatal_error.h"
#include "hex_bytes.h"
#include "memory_limits.h"

namespace vonk {
namespace {

using Ids = std::vector<int32_t>;

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

Ids iota_ids(int32_t n) {
  Ids ids(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) ids[static_cast<size_t>(i)] = i;
  return ids;
}

// Ids whose varints take 1 to 5 bytes, mostly short ones, as in real use.
Ids random_ids(std::mt19937_64& rng, size_t n) {
  static const int32_t edges[] = {0,      -1,      63,        -64,       64,       -65,
                                  8191,   -8192,   8192,      -8193,     1048575,  -1048576,
                                  1048576, -1048577, 134217727, -134217728, 134217728,
                                  -134217729, kMax, kMin};
  Ids ids(n);
  for (int32_t& id : ids) {
    const uint64_t r = rng();
    switch (r % 16) {
      case 0:
        id = edges[(r >> 8) % std::size(edges)];
        break;
      case 1:
        id = static_cast<int32_t>(static_cast<uint32_t>(r >> 16));
        break;
      case 2:
      case 3:
        id = static_cast<int32_t>((r >> 16) % 2000001) - 1000000;
        break;
      case 4:
      case 5:
      case 6:
      case 7:
        id = static_cast<int32_t>((r >> 16) % 16384) - 8192;
        break;
      default:
        id = static_cast<int32_t>((r >> 16) % 128) - 64;
    }
  }
  return ids;
}

std::string decode_text(std::span<const uint8_t> bytes, bool gzip = false) {
  Result<PodBuffer<int32_t>> r = decode_payload(bytes, gzip);
  if (r.ok()) return "ok";
  EXPECT_EQ(r.error().kind(), CodecError::Kind::kInvalidPayload);
  return r.error().display();
}

// Decodes `bytes` and requires the same outcome as the literal reading.
void expect_same_as_reference(const Bytes& bytes) {
  const literal::Outcome want = literal::decode(bytes);
  Result<PodBuffer<int32_t>> got = decode_payload(bytes, false);
  ASSERT_EQ(got.ok(), want.ok()) << to_hex(bytes) << "\n"
                                 << (got.ok() ? want.failure : got.error().display());
  if (want.ok()) {
    ASSERT_EQ(got.value(), want.ids) << to_hex(bytes);
  } else {
    ASSERT_EQ(got.error().display(), "Invalid payload: " + want.failure) << to_hex(bytes);
  }
}

// ---- encode_payload: exact bytes ---------------------------------------------------

struct EncodeCase {
  const char* name;
  Ids ids;
  std::string bytes;
};

void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

class PayloadEncodeTable : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(PayloadEncodeTable, WritesExactBytes) {
  EXPECT_EQ(to_hex(encode_payload(GetParam().ids, false)), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PayloadEncodeTable,
    ::testing::Values(
        EncodeCase{"Empty", {}, "19 05 00"},
        EncodeCase{"ZeroOneMinusOne", {0, 1, -1}, "19 35 00 02 01 00"},
        EncodeCase{"FourteenIds", iota_ids(14),
                   "19 E5 00 02 04 06 08 0A 0C 0E 10 12 14 16 18 1A 00"},
        EncodeCase{"FifteenIds", iota_ids(15),
                   "19 F5 0F 00 02 04 06 08 0A 0C 0E 10 12 14 16 18 1A 1C 00"},
        EncodeCase{"Max", {kMax}, "19 15 FE FF FF FF 0F 00"},
        EncodeCase{"Min", {kMin}, "19 15 FF FF FF FF 0F 00"},
        EncodeCase{"OneByteEdges", {63, -64}, "19 25 7E 7F 00"},
        EncodeCase{"TwoByteEdges", {64, -65, 300, 8191, -8192},
                   "19 55 80 01 81 01 D8 04 FE 7F FF 7F 00"},
        EncodeCase{"ThreeByteEdges", {8192, -8193, 1048575, -1048576},
                   "19 45 80 80 01 81 80 01 FE FF 7F FF FF 7F 00"},
        EncodeCase{"FourByteEdges", {1048576, -1048577, 134217727, -134217728},
                   "19 45 80 80 80 01 81 80 80 01 FE FF FF 7F FF FF FF 7F 00"},
        EncodeCase{"FiveByteEdges", {134217728, -134217729},
                   "19 25 80 80 80 80 01 81 80 80 80 01 00"},
        EncodeCase{"Duplicates", {5, 5, -3, 5}, "19 45 0A 0A 05 0A 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PayloadEncode, ListHeaderCounts) {
  struct {
    int32_t count;
    std::string header;
  } cases[] = {{127, "19 F5 7F"}, {128, "19 F5 80 01"}, {16383, "19 F5 FF 7F"},
               {16384, "19 F5 80 80 01"}, {2097152, "19 F5 80 80 80 01"}};
  for (const auto& c : cases) {
    const Ids ids(static_cast<size_t>(c.count), 1);
    const Bytes out = copy_of(encode_payload(ids, false));
    const Bytes header = hex(c.header);
    ASSERT_EQ(out.size(), header.size() + ids.size() + 1) << c.count;
    EXPECT_EQ(Bytes(out.begin(), out.begin() + header.size()), header) << c.count;
    EXPECT_EQ(out[header.size()], 0x02);
    EXPECT_EQ(out.back(), 0x00);
  }
}

TEST(PayloadEncode, WritesTheLiteralShortestForm) {
  std::mt19937_64 rng(1);
  for (size_t n : {0, 1, 7, 14, 15, 16, 200, 5000}) {
    const Ids ids = random_ids(rng, n);
    EXPECT_EQ(encode_payload(ids, false), literal::encode(ids)) << n;
  }
}

TEST(PayloadEncode, GzipFlagWrapsThePlainBytes) {
  std::mt19937_64 rng(2);
  for (size_t n : {0, 3, 1000}) {
    const Ids ids = random_ids(rng, n);
    const Bytes plain = copy_of(encode_payload(ids, false));
    const Bytes wrapped = copy_of(encode_payload(ids, true));
    EXPECT_EQ(wrapped, gzip_wrap(plain));
    Result<ByteBuffer> unwrapped = gzip_unwrap(wrapped);
    ASSERT_TRUE(unwrapped.ok());
    EXPECT_EQ(Bytes(unwrapped.value().begin(), unwrapped.value().end()), plain);
  }
}

TEST(PayloadEncode, EmptyListWithGzip) {
  const Bytes out = copy_of(encode_payload({}, true));
  ASSERT_GE(out.size(), 18u);
  EXPECT_EQ(to_hex(Bytes(out.begin(), out.begin() + 10)), "1F 8B 08 00 00 00 00 00 00 FF");
  EXPECT_EQ(to_hex(Bytes(out.end() - 8, out.end())), "A8 B5 C1 91 03 00 00 00");
}

TEST(PayloadEncode, ListLongerThanAHeaderCanHoldIsFatal) {
  // Address space only (never touched): one id more than a header can declare.
  const size_t count = kMaxPayloadIds + 1;
  const size_t size = count * sizeof(int32_t);
  void* region = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                      -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  const std::span<const int32_t> ids(static_cast<const int32_t*>(region), count);
  for (bool gzip : {false, true}) {
    try {
      (void)encode_payload(ids, gzip);
      ADD_FAILURE() << "no fatal error";
    } catch (const FatalError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Cannot encode a payload of 2147483648 ids: a list holds at most 2147483647");
    }
  }
  munmap(region, size);
}

// ---- decode_payload: table of inputs --------------------------------------------------

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::string expected;  // carried failure text, or "" for success
  Ids ids;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class PayloadDecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(PayloadDecodeTable, GivesIdsOrFailureText) {
  const DecodeCase& c = GetParam();
  Result<PodBuffer<int32_t>> r = decode_payload(hex(c.bytes), false);
  if (c.expected.empty()) {
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(r.value(), c.ids);
  } else {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), CodecError::Kind::kInvalidPayload);
    EXPECT_EQ(r.error().display(), "Invalid payload: " + c.expected);
  }
  // The literal reading agrees on every row.
  expect_same_as_reference(hex(c.bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PayloadDecodeTable,
    ::testing::Values(
        DecodeCase{"Empty", "", "end of file", {}},
        DecodeCase{"StopFirst", "00", "Payload missing tokens field", {}},
        DecodeCase{"StopWithNibble10", "10", "Payload missing tokens field", {}},
        DecodeCase{"StopWithNibbleF0", "F0", "Payload missing tokens field", {}},
        DecodeCase{"FieldHeaderOnly", "19", "end of file", {}},
        DecodeCase{"EmptyList", "19 05 00", "", {}},
        DecodeCase{"TrailingBytesIgnored", "19 05 00 FF FF", "", {}},
        DecodeCase{"LongFormFieldId", "09 02 05 00", "", {}},
        DecodeCase{"LongFormFieldIdOverlong", "09 82 80 00 05 00", "", {}},
        DecodeCase{"LongFormFieldIdZero", "09 00 05 00", "Expected LIST field with id 1", {}},
        DecodeCase{"LongFormFieldIdMinusOne", "09 01 05 00", "Expected LIST field with id 1", {}},
        DecodeCase{"LongFormFieldIdMissing", "09", "end of file", {}},
        DecodeCase{"LongFormFieldIdCut", "09 80 80", "end of file", {}},
        DecodeCase{"LongFormFieldIdFourBytes", "09 80 80 80", "end of file", {}},
        DecodeCase{"LongFormFieldIdTooLong", "09 80 80 80 01", "transport error", {}},
        DecodeCase{"LongFormFieldIdTooLongEndingByte", "09 80 80 80 00", "transport error", {}},
        // 2^16 + 1 as a zigzag varint: only the low 16 bits of the id count.
        DecodeCase{"LongFormFieldIdWraps", "09 82 80 08 05 00", "", {}},
        DecodeCase{"FieldTwo", "29 05 00", "Expected LIST field with id 1", {}},
        DecodeCase{"TypeSet", "1A 05 00", "Expected LIST field with id 1", {}},
        DecodeCase{"TypeI32", "15 05 00", "Expected LIST field with id 1", {}},
        DecodeCase{"TypeStruct", "1C", "Expected LIST field with id 1", {}},
        DecodeCase{"TypeCode13", "1D 05 00", "bad data", {}},
        DecodeCase{"TypeCode14", "1E", "bad data", {}},
        DecodeCase{"TypeCode15", "0F", "bad data", {}},
        DecodeCase{"GzipMagic", "1F 8B 08 00 00 00 00 00 00 FF", "bad data", {}},
        DecodeCase{"ElementsI64", "19 06 00", "Expected I32 elements", {}},
        DecodeCase{"ElementsBool", "19 01 00", "Expected I32 elements", {}},
        DecodeCase{"ElementsCodeZero", "19 00 00", "Expected I32 elements", {}},
        DecodeCase{"ElementsStruct", "19 0C 00", "Expected I32 elements", {}},
        DecodeCase{"ElementsCode2", "19 02 00", "bad data", {}},
        DecodeCase{"ElementsCode13", "19 0D 00", "bad data", {}},
        DecodeCase{"ElementsCode14", "19 0E 00", "bad data", {}},
        DecodeCase{"ElementsCode15", "19 0F 00", "bad data", {}},
        DecodeCase{"ElementsCode2BeforeCount", "19 F2", "bad data", {}},
        DecodeCase{"ListHeaderMissing", "19", "end of file", {}},
        DecodeCase{"CountMissing", "19 F6", "end of file", {}},
        DecodeCase{"CountMissingI32", "19 F5", "end of file", {}},
        DecodeCase{"CountTooLong", "19 F5 80 80 80 80 80 01", "transport error", {}},
        DecodeCase{"CountCut", "19 F5 80 80 80 80 80", "end of file", {}},
        DecodeCase{"CountBeforeElementCheck", "19 F6 80 80 80 80 80 01", "transport error", {}},
        DecodeCase{"LongCountZero", "19 F5 00 00", "", {}},
        DecodeCase{"LongCountOne", "19 F5 01 0A 00", "", {5}},
        // Bits above 32 of the count are dropped: 2^32 counts as 0.
        DecodeCase{"CountHighBitsDropped", "19 F5 80 80 80 80 10 00", "", {}},
        DecodeCase{"Count2Pow31", "19 F5 80 80 80 80 08 00", "list size too large", {}},
        DecodeCase{"CountAllOnes", "19 F5 FF FF FF FF 0F 00", "list size too large", {}},
        DecodeCase{"Count2Pow31WrongElements", "19 F6 80 80 80 80 08 00",
                   "list size too large", {}},
        DecodeCase{"ElementTooLong", "19 15 80 80 80 80 80 01", "transport error", {}},
        DecodeCase{"ElementTooLongEndingByte", "19 15 80 80 80 80 80 00 00", "transport error",
                   {}},
        DecodeCase{"ElementCut", "19 15 80 80 80 80 80", "end of file", {}},
        DecodeCase{"ElementMissing", "19 15", "end of file", {}},
        DecodeCase{"ElementBit32", "19 15 80 80 80 80 10 00", "", {kMin}},
        DecodeCase{"ElementBit32AndOne", "19 15 81 80 80 80 10 00", "", {kMax}},
        DecodeCase{"ElementAll35Bits", "19 15 FF FF FF FF 7F 00", "", {0}},
        DecodeCase{"ElementOverlongZero", "19 15 80 00 00", "", {0}},
        DecodeCase{"ElementMax", "19 15 FE FF FF FF 0F 00", "", {kMax}},
        DecodeCase{"ElementMin", "19 15 FF FF FF FF 0F 00", "", {kMin}},
        DecodeCase{"ThreeIds", "19 35 00 02 01 00", "", {0, 1, -1}},
        DecodeCase{"NoStop", "19 35 00 02 01", "end of file", {}},
        DecodeCase{"FurtherField", "19 05 15 00", "Unexpected fields in payload", {}},
        DecodeCase{"FurtherBoolField", "19 05 11", "Unexpected fields in payload", {}},
        DecodeCase{"FurtherLongFormField", "19 05 05 02", "Unexpected fields in payload", {}},
        DecodeCase{"FurtherLongFormFieldIdMissing", "19 05 05", "end of file", {}},
        DecodeCase{"FurtherLongFormFieldIdTooLong", "19 05 05 80 80 80 80",
                   "transport error", {}},
        DecodeCase{"FurtherFieldBadType", "19 05 1E", "bad data", {}},
        DecodeCase{"StopWithNibbleAfterList", "19 05 F0", "", {}},
        DecodeCase{"CountLargerThanElements", "19 25 00", "end of file", {}},
        DecodeCase{"CountHugeOneElement", "19 F5 FF FF FF FF 07 02", "end of file", {}},
        DecodeCase{"CountHugeThenTooLong", "19 F5 FF FF FF FF 07 02 80 80 80 80 80 80 80 80",
                   "transport error", {}},
        DecodeCase{"FifteenIds", "19 F5 0F 00 02 04 06 08 0A 0C 0E 10 12 14 16 18 1A 1C 00", "",
                   iota_ids(15)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PayloadDecode, GzipFlag) {
  const Ids ids = {0, 1, -1, kMax, kMin};
  Result<PodBuffer<int32_t>> r = decode_payload(encode_payload(ids, true), true);
  ASSERT_TRUE(r.ok()) << r.error().display();
  EXPECT_EQ(r.value(), ids);

  // Plain bytes read with the flag on fail in the gzip layer.
  EXPECT_EQ(decode_text(hex("19 05 00"), true),
            "Invalid payload: Gzip decompression failed: unexpected end of file");
  EXPECT_EQ(decode_text(hex("19 35 00 02 01 00 00 00 00 00 00"), true),
            "Invalid payload: Gzip decompression failed: invalid gzip header");
  Bytes damaged = copy_of(encode_payload(ids, true));
  damaged[damaged.size() - 5] ^= 0x40;
  EXPECT_EQ(decode_text(damaged, true),
            "Invalid payload: Gzip decompression failed: corrupt gzip stream does not have a "
            "matching checksum");
  // A member read with the flag off fails on its first byte.
  EXPECT_EQ(decode_text(encode_payload(ids, true), false), "Invalid payload: bad data");
  // A sound member around a broken payload fails in the payload reader.
  EXPECT_EQ(decode_text(gzip_wrap(hex("19 25 00")), true), "Invalid payload: end of file");
  EXPECT_EQ(decode_text(gzip_wrap(hex("19 05 15 00")), true),
            "Invalid payload: Unexpected fields in payload");
}

TEST(PayloadDecodeDeathTest, HugeCountDoesNotReserveMemory) {
#ifdef VONK_ASAN
  GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#else
  // Count 2^31 - 1 (8 GiB of ids) followed by 1000 one-byte ids, then the
  // input ends.
  Bytes input = hex("19 F5 FF FF FF FF 07");
  input.insert(input.end(), 1000, 0x02);
  EXPECT_EXIT(
      {
        const bool limited = limit_address_space(64u << 20);
        Result<PodBuffer<int32_t>> r = decode_payload(input, false);
        const bool eof = !r.ok() && r.error().display() == "Invalid payload: end of file";
        Result<PodBuffer<int32_t>> gz = decode_payload(gzip_wrap(input), true);
        const bool gz_eof = !gz.ok() && gz.error().display() == "Invalid payload: end of file";
        std::exit(limited && eof && gz_eof ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
#endif
}

// ---- Round trips ---------------------------------------------------------------------------

class PayloadRoundTrip : public ::testing::TestWithParam<size_t> {};

TEST_P(PayloadRoundTrip, RandomIds) {
  std::mt19937_64 rng(GetParam() * 7919 + 3);
  for (int rep = 0; rep < 4; ++rep) {
    const Ids ids = random_ids(rng, GetParam());
    for (bool gzip : {false, true}) {
      const Bytes bytes = copy_of(encode_payload(ids, gzip));
      Result<PodBuffer<int32_t>> r = decode_payload(bytes, gzip);
      ASSERT_TRUE(r.ok()) << r.error().display();
      ASSERT_EQ(r.value(), ids) << "gzip " << gzip;
    }
    // Trailing bytes after the stop are never read.
    Bytes bytes = copy_of(encode_payload(ids, false));
    bytes.insert(bytes.end(), {0x80, 0x80, 0x80, 0xFF});
    Result<PodBuffer<int32_t>> r = decode_payload(bytes, false);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.value(), ids);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, PayloadRoundTrip,
                         ::testing::Values(0, 1, 2, 3, 4, 5, 7, 8, 9, 13, 14, 15, 16, 17, 127,
                                           128, 129, 1000, 16384, 100000));

TEST(PayloadRoundTripExtremes, UniformLengthRuns) {
  // Runs of ids of one varint length, so that every length meets the
  // word-at-a-time reader at every alignment.
  const int32_t by_length[][2] = {{0, -1},          {63, -64},          {64, -8192},
                                  {8192, -1048576}, {1048576, -134217728}, {kMax, kMin}};
  for (const auto& pair : by_length) {
    for (size_t n : {1, 3, 4, 5, 8, 9, 31, 1001}) {
      Ids ids(n);
      for (size_t i = 0; i < n; ++i) ids[i] = pair[i % 2];
      Result<PodBuffer<int32_t>> r = decode_payload(encode_payload(ids, false), false);
      ASSERT_TRUE(r.ok());
      ASSERT_EQ(r.value(), ids) << pair[0] << " x" << n;
    }
  }
}

// ---- The bulk element reader -------------------------------------------------------

TEST(PayloadRunReader, AgreesWithLiteralReadingAndDoesTheBulk) {
  std::mt19937_64 rng(31337);
  for (int round = 0; round < 4000; ++round) {
    Bytes bytes;
    const int kind = round % 4;
    if (kind == 0) {
      const Bytes body = copy_of(encode_payload(random_ids(rng, rng() % 400), false));
      bytes.assign(body.begin() + 2, body.end());  // varints (and more) from byte 2 on
    } else if (kind == 1) {
      // Valid varints, with an over-long one or a cut somewhere.
      const Bytes body = copy_of(encode_payload(random_ids(rng, 1 + rng() % 300), false));
      bytes.assign(body.begin() + 2, body.end());
      const size_t at = rng() % bytes.size();
      if (rng() % 2) {
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), 5 + rng() % 70, 0x80);
      } else {
        bytes.resize(at);
      }
    } else {
      bytes.resize(rng() % 600);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(kind == 2 ? rng() : rng() | 0x80);
      if (kind == 3) {
        for (uint8_t& b : bytes) {
          if (rng() % 3 == 0) b &= 0x7F;
        }
      }
    }
    const auto want = literal::varints(bytes);
    const size_t count = rng() % 2 ? want.size() + rng() % 5 : rng() % (want.size() + 1);
    std::vector<int32_t> out(std::min(count, bytes.size()) + 1, 0x5A5A5A5A);
    const uint8_t* p = bytes.data();
    const size_t n = zigzag_run::read_run(&p, bytes.data() + bytes.size(), count, out.data());
    ASSERT_LE(n, count);
    ASSERT_LE(n, want.size()) << "round " << round;
    for (size_t j = 0; j < n; ++j) {
      ASSERT_EQ(out[j], want[j].first) << "round " << round << " id " << j;
    }
    // Nothing written past the ids returned.
    ASSERT_EQ(out[n], 0x5A5A5A5A);
    const size_t consumed = static_cast<size_t>(p - bytes.data());
    ASSERT_EQ(consumed, n == 0 ? 0 : want[n - 1].second) << "round " << round;
    // It stops only at the count, at a varint it must not read, or near the end.
    const bool at_count = n == count;
    const bool at_bad_varint = n == want.size();
    ASSERT_TRUE(at_count || at_bad_varint || bytes.size() - consumed < 8)
        << "round " << round << ": stopped at " << consumed << " of " << bytes.size();
  }
}


// ---- Skipping ids ------------------------------------------------------------------

// skip(k) then read() of the rest succeeds exactly when reading every id
// does, and then gives the same ids after the first k: on valid payloads,
// payloads with an over-long varint or a cut, and random bytes.
TEST(PayloadSkip, AgreesWithReadingEveryId) {
  std::mt19937_64 rng(4242);
  int skipped_valid = 0;
  for (int round = 0; round < 6000; ++round) {
    Bytes bytes = copy_of(encode_payload(random_ids(rng, rng() % 300), false));
    const int kind = round % 3;
    if (kind == 1 && bytes.size() > 3) {
      const size_t at = 3 + rng() % (bytes.size() - 3);
      if (rng() % 2) {
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), 4 + rng() % 12, 0x80);
      } else {
        bytes.resize(at);
      }
    } else if (kind == 2) {
      for (size_t i = 3; i < bytes.size(); ++i) {
        if (rng() % 8 == 0) bytes[i] = static_cast<uint8_t>(rng() | (rng() % 2 ? 0x80 : 0));
      }
    }
    const Result<PodBuffer<int32_t>> whole = decode_payload(bytes, false);
    Result<PayloadReader> reader = PayloadReader::open(bytes);
    if (!reader.ok() || reader.value().declared() > bytes.size()) continue;
    const size_t declared = reader.value().declared();
    const size_t k = rng() % (declared + 1);
    std::vector<int32_t> rest(declared - k);
    std::optional<CodecError> error = reader.value().skip(k);
    if (!error && (k < declared || rest.empty())) {
      if (k < declared) error = reader.value().read(rest);
    }
    ASSERT_EQ(!error, whole.ok()) << "round " << round << " skip " << k;
    if (whole.ok()) {
      skipped_valid += k > 16;
      for (size_t j = 0; j < rest.size(); ++j) {
        ASSERT_EQ(rest[j], whole.value().data()[k + j]) << "round " << round;
      }
    }
  }
  EXPECT_GT(skipped_valid, 1000);
}

}  // namespace
}  // namespace vonk
