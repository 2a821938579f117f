#include "mapping/token_mapping.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mapping/mapping_cache.h"

namespace vonk {
namespace {

std::shared_ptr<const TokenMapping> build(std::string_view text) {
  auto mapping = TokenMapping::from_jsonl(text);
  EXPECT_TRUE(mapping.ok()) << (mapping.ok() ? "" : mapping.error().display());
  return mapping.ok() ? mapping.value() : nullptr;
}

std::string line(std::string_view token, long long token_id,
                 long long mapped_id) {
  return "{\"token\": \"" + std::string(token) +
         "\", \"token_id\": " + std::to_string(token_id) +
         ", \"mapped_id\": " + std::to_string(mapped_id) + ", \"count\": 0}\n";
}

TEST(TokenMappingTest, TextsWithoutRecordsGiveEmptyTables) {
  for (std::string_view text : {"", "\n", "\n\n \t\r\n", "   "}) {
    auto mapping = build(text);
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping->token_count(), 0u);
    EXPECT_EQ(mapping->token_id_count(), 0u);
    EXPECT_EQ(mapping->mapped_id_count(), 0u);
    EXPECT_FALSE(mapping->mapped_id_for_token("a").ok());
    EXPECT_FALSE(mapping->token_for_mapped_id(0).ok());
  }
}

TEST(TokenMappingTest, FourLookupsAndTheirMisses) {
  auto mapping = build(line(" the", 279, 0) + "\r\n  " + line("the", 1820, -1) +
                       "\n" + line("\\u00e9", 2, 1));
  ASSERT_TRUE(mapping);
  EXPECT_EQ(mapping->mapped_id_for_token(" the").value(), 0);
  EXPECT_EQ(mapping->mapped_id_for_token("the").value(), -1);
  EXPECT_EQ(mapping->mapped_id_for_token("\xc3\xa9").value(), 1);
  EXPECT_EQ(mapping->mapped_id_for_token_id(1820).value(), -1);
  EXPECT_EQ(mapping->token_id_for_mapped_id(0).value(), 279u);
  EXPECT_EQ(mapping->token_for_mapped_id(-1).value(), "the");

  EXPECT_EQ(mapping->mapped_id_for_token("The").error().display(),
            "Token 'The' not found in mapping");
  EXPECT_EQ(mapping->mapped_id_for_token("the ").error().kind(),
            CodecError::Kind::kTokenNotFound);
  EXPECT_EQ(mapping->mapped_id_for_token_id(3).error().display(),
            "Token ID 3 not found in mapping");
  EXPECT_EQ(mapping->mapped_id_for_token_id(4294967295u).error().display(),
            "Token ID 4294967295 not found in mapping");
  EXPECT_EQ(mapping->token_id_for_mapped_id(-2).error().display(),
            "Mapped ID -2 not found in reverse mapping");
  EXPECT_EQ(mapping->token_for_mapped_id(2).error().display(),
            "Mapped ID 2 not found in reverse mapping");
}

TEST(TokenMappingTest, LaterRecordsReplaceEarlierOnesInEveryTable) {
  // Same token id twice, same text twice, same mapped id twice.
  auto mapping = build(line("a", 7, 10) + line("b", 7, 11) +
                       line("x", 1, 20) + line("x", 2, 21) +
                       line("p", 3, 30) + line("q", 4, 30));
  ASSERT_TRUE(mapping);
  EXPECT_EQ(mapping->mapped_id_for_token_id(7).value(), 11);
  EXPECT_EQ(mapping->token_id_for_mapped_id(10).value(), 7u);
  EXPECT_EQ(mapping->token_id_for_mapped_id(11).value(), 7u);
  EXPECT_EQ(mapping->mapped_id_for_token("x").value(), 21);
  EXPECT_EQ(mapping->token_for_mapped_id(20).value(), "x");
  EXPECT_EQ(mapping->token_for_mapped_id(30).value(), "q");
  EXPECT_EQ(mapping->token_id_for_mapped_id(30).value(), 4u);
  EXPECT_EQ(mapping->mapped_id_for_token("p").value(), 30);
  EXPECT_EQ(mapping->token_count(), 5u);     // a b x p q
  EXPECT_EQ(mapping->token_id_count(), 5u);  // 7 1 2 3 4
  EXPECT_EQ(mapping->mapped_id_count(), 5u);  // 10 11 20 21 30
}

TEST(TokenMappingTest, SparseAndExtremeKeys) {
  auto mapping = build(line("lo", 0, -2147483648LL) +
                       line("hi", 4294967295LL, 2147483647) +
                       line("mid", 65536, 0) + line("", 12, 5));
  ASSERT_TRUE(mapping);
  EXPECT_EQ(mapping->mapped_id_for_token_id(4294967295u).value(), 2147483647);
  EXPECT_EQ(mapping->mapped_id_for_token_id(0).value(), -2147483647 - 1);
  EXPECT_EQ(mapping->token_id_for_mapped_id(-2147483647 - 1).value(), 0u);
  EXPECT_EQ(mapping->token_for_mapped_id(2147483647).value(), "hi");
  EXPECT_EQ(mapping->mapped_id_for_token("").value(), 5);
  EXPECT_FALSE(mapping->mapped_id_for_token_id(65535).ok());
  EXPECT_FALSE(mapping->mapped_id_for_token_id(4294967294u).ok());
  EXPECT_FALSE(mapping->token_id_for_mapped_id(1).ok());
  EXPECT_FALSE(mapping->token_id_for_mapped_id(-2147483647).ok());
}

TEST(TokenMappingTest, ABadLineEndsTheBuildWithItsJsonError) {
  auto mapping = TokenMapping::from_jsonl(line("a", 0, 0) + line("b", 1, 1) +
                                          "{\"token\": \"c\"}\n" +
                                          line("d", 3, 2));
  ASSERT_FALSE(mapping.ok());
  EXPECT_EQ(mapping.error().kind(), CodecError::Kind::kJsonError);
  EXPECT_EQ(mapping.error().display().rfind(
                "JSON parsing error: missing field `token_id` at line 1 "
                "column ",
                0),
            0u)
      << mapping.error().display();
}

// Records of a stored data file, read with sscanf independently of the
// record reader; `raw` is the token as written between the quotes.
struct RawRecord {
  std::string raw;
  uint32_t token_id;
  int32_t mapped_id;
};

std::vector<RawRecord> read_raw(const std::string& name) {
  std::ifstream in(std::string(VONK_SOURCE_DIR) + "/data/" + name + ".jsonl");
  std::vector<RawRecord> records;
  std::string text;
  while (std::getline(in, text)) {
    size_t end = text.rfind("\", \"token_id\": ");
    RawRecord record;
    record.raw = text.substr(11, end - 11);
    long long token_id, mapped_id;
    if (std::sscanf(text.c_str() + end, "\", \"token_id\": %lld, \"mapped_id\": %lld",
                    &token_id, &mapped_id) != 2) {
      ADD_FAILURE() << "unexpected line " << text;
      break;
    }
    record.token_id = static_cast<uint32_t>(token_id);
    record.mapped_id = static_cast<int32_t>(mapped_id);
    records.push_back(std::move(record));
  }
  return records;
}

struct DataSetCase {
  const char* name;
  const char* file;
  size_t records;
  size_t texts;  // entries of token_to_mapped
};

class StoredDataSetTest : public testing::TestWithParam<DataSetCase> {};

TEST_P(StoredDataSetTest, TablesAgreeWithEveryRecord) {
  const DataSetCase& c = GetParam();
  auto loaded = load_mapping(c.name);
  ASSERT_TRUE(loaded.ok()) << loaded.error().display();
  const TokenMapping& mapping = *loaded.value();
  EXPECT_EQ(mapping.token_id_count(), c.records);
  EXPECT_EQ(mapping.mapped_id_count(), c.records);
  EXPECT_EQ(mapping.token_count(), c.texts);

  std::vector<RawRecord> records = read_raw(c.file);
  ASSERT_EQ(records.size(), c.records);
  int32_t last_replacement = 0;
  size_t replacements = 0;
  for (const RawRecord& r : records) {
    ASSERT_EQ(mapping.mapped_id_for_token_id(r.token_id).value(), r.mapped_id);
    ASSERT_EQ(mapping.token_id_for_mapped_id(r.mapped_id).value(), r.token_id);
    if (r.raw == "\\ufffd") {
      last_replacement = r.mapped_id;
      ++replacements;
    }
  }
  // Many byte tokens share the text U+FFFD; the last record decides.
  EXPECT_GT(replacements, 100u);
  EXPECT_EQ(mapping.mapped_id_for_token("\xef\xbf\xbd").value(),
            last_replacement);
  EXPECT_GT(mapping.memory_usage(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    AllNames, StoredDataSetTest,
    testing::Values(DataSetCase{"cl100k_base", "cl100k_base", 100277, 99578},
                    DataSetCase{"gpt2", "r50k_base", 50257, 49924},
                    DataSetCase{"r50k_base", "r50k_base", 50257, 49924},
                    DataSetCase{"o200k_base", "o200k_base", 200019, 198816},
                    DataSetCase{"o200k_harmony", "o200k_harmony", 201088,
                                199885},
                    DataSetCase{"p50k_base", "p50k_base", 50281, 49948},
                    DataSetCase{"p50k_edit", "p50k_edit", 50284, 49951}),
    [](const testing::TestParamInfo<DataSetCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace vonk
