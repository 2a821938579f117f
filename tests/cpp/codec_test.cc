#include "codec/codec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "data_sets.h"
#include "hex_bytes.h"

namespace vonk {
namespace {


Codec open_or_die(std::string_view name) {
  auto codec = Codec::open(name);
  if (!codec.ok()) ADD_FAILURE() << codec.error().display();
  return std::move(codec).value();
}

TEST(CodecTest, OpenKeepsTheNameAsGivenAndRejectsUnknownNames) {
  EXPECT_EQ(open_or_die("gpt2").tokenizer_name(), "gpt2");
  auto missing = Codec::open("nope");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), CodecError::Kind::kTokenizerNotFound);
}

class CodecRoundTripTest : public testing::TestWithParam<std::string> {};

TEST_P(CodecRoundTripTest, EveryOperationRoundTrips) {
  const std::string& name = GetParam();
  // One record per line, for the token ids 0 to records - 1.
  const uint32_t records = static_cast<uint32_t>(
      split_lines(read_data_set(data_set_of(name))).size());
  ASSERT_GT(records, 0u) << name;
  Codec codec = open_or_die(name);
  std::mt19937 rng(records);
  std::vector<uint32_t> ids(5000);
  for (uint32_t& id : ids) id = rng() % records;
  ids.push_back(0);
  ids.push_back(records - 1);

  for (bool gzip : {false, true}) {
    auto payload = codec.encode_token_ids(ids, gzip);
    ASSERT_TRUE(payload.ok());
    auto back = codec.decode_token_ids(payload.value(), gzip);
    ASSERT_TRUE(back.ok()) << back.error().display();
    EXPECT_EQ(back.value(), ids);

    auto mapped = codec.token_id_to_mapped_id(ids);
    ASSERT_TRUE(mapped.ok());
    EXPECT_EQ(codec.encode_mapped_ids(mapped.value(), gzip), payload.value());
    EXPECT_EQ(codec.decode_mapped_ids(payload.value(), gzip).value(),
              mapped.value());
    EXPECT_EQ(codec.mapped_id_to_token_id(mapped.value()).value(), ids);

    // Token texts: decoding gives texts whose encoding decodes to the same
    // texts (several ids may share a text, so the ids need not come back).
    auto tokens = codec.decode_tokens(payload.value(), gzip);
    ASSERT_TRUE(tokens.ok());
    auto again = codec.encode_tokens(tokens.value(), gzip);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(codec.decode_tokens(again.value(), gzip).value(), tokens.value());
  }
}

INSTANTIATE_TEST_SUITE_P(AllNames, CodecRoundTripTest,
                         testing::ValuesIn(tokenizer_names()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

TEST(CodecTest, EmptyInputs) {
  Codec codec = open_or_die("cl100k_base");
  const Bytes empty_payload = {0x19, 0x05, 0x00};
  EXPECT_EQ(codec.encode_token_ids({}, false).value(), empty_payload);
  EXPECT_EQ(codec.encode_tokens({}, false).value(), empty_payload);
  EXPECT_EQ(codec.encode_mapped_ids({}, false), empty_payload);
  EXPECT_EQ(codec.encode_raw_token_ids({}, false), empty_payload);
  EXPECT_TRUE(codec.decode_token_ids(empty_payload, false).value().empty());
  EXPECT_TRUE(codec.token_id_to_mapped_id({}).value().empty());
  EXPECT_TRUE(codec.mapped_id_to_token_id({}).value().empty());
  for (bool gzip : {false, true}) {
    auto failed = codec.decode_tokens(Bytes{}, gzip);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind(), CodecError::Kind::kInvalidPayload);
  }
}

TEST(CodecTest, FirstMissWinsAndNothingPartialIsReturned) {
  Codec codec = open_or_die("cl100k_base");
  std::string_view tokens[] = {"a", "no such token", "b", "another miss"};
  auto failed = codec.encode_tokens(tokens, false);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().display(),
            "Token 'no such token' not found in mapping");

  uint32_t ids[] = {1, 100277, 4294967295u};
  EXPECT_EQ(codec.encode_token_ids(ids, true).error().display(),
            "Token ID 100277 not found in mapping");
  EXPECT_EQ(codec.token_id_to_mapped_id(ids).error().display(),
            "Token ID 100277 not found in mapping");

  int32_t mapped[] = {0, 50139, -50139};
  EXPECT_EQ(codec.mapped_id_to_token_id(mapped).error().display(),
            "Mapped ID 50139 not found in reverse mapping");
  Bytes payload = copy_of(codec.encode_mapped_ids(mapped, false));
  EXPECT_EQ(codec.decode_tokens(payload, false).error().display(),
            "Mapped ID 50139 not found in reverse mapping");
  EXPECT_EQ(codec.decode_token_ids(payload, false).error().display(),
            "Mapped ID 50139 not found in reverse mapping");
  EXPECT_EQ(codec.decode_mapped_ids(payload, false).value(),
            std::vector<int32_t>(std::begin(mapped), std::end(mapped)));
}

TEST(CodecTest, RawTokenIdsAreReinterpretedAsSignedValues) {
  Codec codec = open_or_die("gpt2");
  uint32_t raw[] = {4294967295u, 2147483648u, 7};
  int32_t as_signed[] = {-1, -2147483647 - 1, 7};
  EXPECT_EQ(codec.encode_raw_token_ids(raw, true),
            codec.encode_mapped_ids(as_signed, true));
  EXPECT_EQ(
      codec.decode_mapped_ids(codec.encode_raw_token_ids(raw, false), false)
          .value(),
      std::vector<int32_t>(std::begin(as_signed), std::end(as_signed)));
}

TEST(CodecTest, TheGzipFlagMustMatch) {
  Codec codec = open_or_die("p50k_edit");
  uint32_t ids[] = {1, 2, 3};
  Bytes plain = copy_of(codec.encode_token_ids(ids, false).value());
  Bytes wrapped = copy_of(codec.encode_token_ids(ids, true).value());
  EXPECT_EQ(codec.decode_token_ids(wrapped, false).error().display(),
            "Invalid payload: bad data");
  EXPECT_EQ(codec.decode_token_ids(plain, true).error().display(),
            "Invalid payload: Gzip decompression failed: unexpected end of "
            "file");
}

TEST(CodecTest, Gpt2TranslatesLikeR50kBase) {
  Codec gpt2 = open_or_die("gpt2");
  Codec r50k = open_or_die("r50k_base");
  std::vector<uint32_t> ids(50257);
  for (uint32_t i = 0; i < ids.size(); ++i) ids[i] = i;
  EXPECT_EQ(gpt2.token_id_to_mapped_id(ids).value(),
            r50k.token_id_to_mapped_id(ids).value());
}

}  // namespace
}  // namespace vonk
