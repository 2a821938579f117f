// Hostile inputs to the payload decoder: sizes that a payload or a gzip
// member declares but does not back with data, maximal header fields, and a
// member that inflates a thousandfold. Each ends in a clear error or the
// right ids, and the memory a decode takes is bounded by what the input can
// really produce, never by what it declares.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "codec/gzip.h"
#include "codec/payload.h"
#include "error/codec_error.h"
#include "hex_bytes.h"
#include "memory_limits.h"

namespace vonk {
namespace {

using Ids = std::vector<int32_t>;

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kZeroMembersSize = 100 * kMiB;

// Peak resident memory of this process, measured from the moment of reset().
// Unavailable (and not checked) under AddressSanitizer, whose quarantine
// keeps freed blocks resident, or where the kernel refuses to reset the
// high-water mark.
class PeakMemory {
 public:
  // Resets the high-water mark to the current resident size.
  bool reset() {
#ifdef VONK_ASAN
    return false;
#else
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    if (!clear) return false;
    start_ = read_kib("VmHWM:");
    return start_ > 0;
#endif
  }

  // Growth of the high-water mark since reset(), in bytes.
  size_t growth() const {
    const size_t now = read_kib("VmHWM:");
    return now > start_ ? (now - start_) * 1024 : 0;
  }

 private:
  static size_t read_kib(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
      if (word == key) {
        size_t kib = 0;
        status >> kib;
        return kib;
      }
    }
    return 0;
  }

  size_t start_ = 0;
};

Bytes plain(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }

// The display text of a failed decode, or "" when it succeeded.
std::string outcome(const Result<PodBuffer<int32_t>>& r) { return r.ok() ? "" : r.error().display(); }

// A list header declaring 2^31 - 1 ids, and three one-byte ids behind it.
Bytes huge_count() { return plain({0x19, 0xF5, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x02, 0x04, 0x06}); }

// A member of the payload [1] whose trailer declares 4 GiB - 1 bytes.
Bytes huge_isize() {
  Bytes member = copy_of(gzip_wrap(plain({0x19, 0x15, 0x02, 0x00})));
  for (size_t i = member.size() - 4; i < member.size(); ++i) member[i] = 0xFF;
  return member;
}

// The member of the payload [0, 1, -1] with a name and a comment of 65535
// bytes each in its header.
Bytes longest_name_and_comment() {
  const Bytes member = copy_of(gzip_wrap(plain({0x19, 0x35, 0x00, 0x02, 0x01, 0x00})));
  Bytes out(member.begin(), member.begin() + 10);
  out[3] = 0x18;  // FNAME | FCOMMENT
  out.insert(out.end(), 65535, 'n');
  out.push_back(0);
  out.insert(out.end(), 65535, 'c');
  out.push_back(0);
  out.insert(out.end(), member.begin() + 10, member.end());
  return out;
}

// One member holding `prefix` and then `size` zero bytes, deflated
// piecewise so that the zeros never exist in memory at once.
Bytes zeros_member(size_t size, const Bytes& prefix = {}) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
  const Bytes piece(kMiB, 0);
  Bytes out;
  uint8_t buffer[1 << 16];
  s.next_in = const_cast<Bytef*>(prefix.data());
  s.avail_in = static_cast<uInt>(prefix.size());
  s.next_out = buffer;
  s.avail_out = sizeof(buffer);
  deflate(&s, Z_NO_FLUSH);  // takes a short prefix whole
  out.assign(buffer, buffer + (sizeof(buffer) - s.avail_out));
  size_t left = size;
  int flush = Z_NO_FLUSH;
  do {
    const size_t take = std::min(left, piece.size());
    s.next_in = const_cast<Bytef*>(piece.data());
    s.avail_in = static_cast<uInt>(take);
    left -= take;
    flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      s.next_out = buffer;
      s.avail_out = sizeof(buffer);
      deflate(&s, flush);
      out.insert(out.end(), buffer, buffer + (sizeof(buffer) - s.avail_out));
    } while (s.avail_out == 0);
  } while (flush != Z_FINISH);
  deflateEnd(&s);
  return out;
}

struct HostileCase {
  const char* name;
  std::function<Bytes()> input;
  bool gzip;
  std::string expected;  // full display text, or "" for success
  Ids ids;               // expected ids on success
  size_t max_growth;     // bound on the peak memory of the decode
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileInput : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInput, EndsCleanlyWithinItsMemoryBound) {
  const HostileCase& c = GetParam();
  const Bytes input = c.input();
  PeakMemory peak;
  const bool measured = peak.reset();
  const std::string result = outcome(decode_payload(input, c.gzip));
  const size_t growth = measured ? peak.growth() : 0;
  EXPECT_EQ(result, c.expected);
  if (c.expected.empty()) {
    Result<PodBuffer<int32_t>> again = decode_payload(input, c.gzip);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value(), c.ids);
  }
  if (measured) {
    EXPECT_LE(growth, c.max_growth) << "input of " << input.size() << " bytes";
    std::printf("[ measured ] %s: %zu input bytes, peak grew by %zu KiB\n", c.name,
                input.size(), growth / 1024);
  }
}

// A member that inflates to n bytes takes n bytes of memory, and the ids
// decoded take 4 bytes each; beyond that, less than 1 MiB.
constexpr size_t kZerosBound = kZeroMembersSize + kMiB;

// A list header declaring 2^24 ids, one id, and an over-long varint: room
// for the count would fit in the bytes that follow, but only one id is read.
Bytes count_then_transport_error() {
  Bytes input = plain({0x19, 0xF5, 0x80, 0x80, 0x80, 0x08, 0x02, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80});
  input.resize(input.size() + (size_t{1} << 24), 0x00);
  return input;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileInput,
    ::testing::Values(
        HostileCase{"HugeCountThreeBytes", huge_count, false, "Invalid payload: end of file", {},
                    kMiB},
        HostileCase{"HugeCountThreeBytesGzip", [] { return copy_of(gzip_wrap(huge_count())); }, true,
                    "Invalid payload: end of file", {}, kMiB},
        HostileCase{"HugeIsize", huge_isize, true,
                    "Invalid payload: Gzip decompression failed: corrupt gzip stream does not "
                    "have a matching checksum",
                    {}, kMiB},
        HostileCase{"LongestNameAndComment", longest_name_and_comment, true, "", {0, 1, -1},
                    kMiB},
        HostileCase{"HundredMiBOfZeros", [] { return zeros_member(kZeroMembersSize); }, true,
                    "Invalid payload: Payload missing tokens field", {}, kZerosBound},
        HostileCase{"HugeCountOverHundredMiBOfZeros",
                    [] { return zeros_member(kZeroMembersSize, huge_count()); }, true,
                    "Invalid payload: end of file", {}, kZerosBound},
        HostileCase{"CountWithinBytesThenTransportError", count_then_transport_error, false,
                    "Invalid payload: transport error", {}, kMiB}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HostileInputLimits, HundredMiBOfZerosUnwrapsExactly) {
  const Bytes member = zeros_member(kZeroMembersSize);
  ASSERT_LT(member.size(), kZeroMembersSize / 500);
  Result<ByteBuffer> r = gzip_unwrap(member);
  ASSERT_TRUE(r.ok()) << r.error().display();
  ASSERT_EQ(r.value().size(), kZeroMembersSize);
  EXPECT_TRUE(std::all_of(r.value().begin(), r.value().end(), [](uint8_t b) { return b == 0; }));
}

// Encoding holds at most the plain payload and its member beside its input:
// output room is neither reserved from the worst case of five bytes per id
// nor zero-filled beyond what is written.
class EncodeMemory : public ::testing::TestWithParam<std::tuple<int32_t, bool>> {};

TEST_P(EncodeMemory, StaysWithinPayloadAndMember) {
  const auto [id, gzip] = GetParam();
  const Ids ids(size_t{1} << 22, id);
  PeakMemory peak;
  if (!peak.reset()) GTEST_SKIP() << "peak memory not measurable here";
  const size_t size = encode_payload(ids, gzip).size();
  const size_t growth = peak.growth();
  const size_t plain_size = encode_payload(ids, false).size();
  EXPECT_LE(growth, plain_size + (gzip ? size : 0) + kMiB);
}

INSTANTIATE_TEST_SUITE_P(OneAndFiveByteIds, EncodeMemory,
                         ::testing::Combine(::testing::Values(0, 1 << 30), ::testing::Bool()));

// A count that promises more ids than there are bytes stores none of them:
// a large real payload whose count was raised reads every id present and
// then ends in "end of file".
TEST(HostileInputLimits, RaisedCountReservesOnlyForThePresentBytes) {
  Ids ids(100000);
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int32_t>(i * 37 % 5000) - 2500;
  Bytes payload = copy_of(encode_payload(ids, false));
  // 19 F5 <count varint of 100000: A0 8D 06> ...; declare 2^31 - 1 instead.
  ASSERT_EQ(payload[1], 0xF5);
  Bytes raised = {0x19, 0xF5, 0xFF, 0xFF, 0xFF, 0xFF, 0x07};
  raised.insert(raised.end(), payload.begin() + 5, payload.end());
  PeakMemory peak;
  const bool measured = peak.reset();
  Result<PodBuffer<int32_t>> r = decode_payload(raised, false);
  const size_t growth = measured ? peak.growth() : 0;
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "Invalid payload: end of file");
  // The ids present are read but none is stored.
  if (measured) EXPECT_LE(growth, kMiB);
}

}  // namespace
}  // namespace vonk
