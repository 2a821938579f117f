#include "mapping/mapping_cache.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "data_sets.h"

namespace vonk {
namespace {

TEST(MappingCacheTest, SecondLoadReturnsTheSameMapping) {
  auto first = load_mapping("p50k_base");
  auto second = load_mapping("p50k_base");
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.value().get(), second.value().get());
}

TEST(MappingCacheTest, Gpt2AndR50kBaseAreSeparateEntriesWithEqualAnswers) {
  auto gpt2 = load_mapping("gpt2");
  auto r50k = load_mapping("r50k_base");
  ASSERT_TRUE(gpt2.ok() && r50k.ok());
  EXPECT_NE(gpt2.value().get(), r50k.value().get());
  for (uint32_t id = 0; id < 50257; id += 97) {
    EXPECT_EQ(gpt2.value()->mapped_id_for_token_id(id).value(),
              r50k.value()->mapped_id_for_token_id(id).value());
  }
}

TEST(MappingCacheTest, UnknownNamesFailEveryTimeAndLeaveTheCacheUsable) {
  for (std::string_view name : {"nope", "", "GPT2", "gpt2 ", "cl100k"}) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto failed = load_mapping(name);
      ASSERT_FALSE(failed.ok());
      EXPECT_EQ(failed.error().kind(), CodecError::Kind::kTokenizerNotFound);
      EXPECT_EQ(failed.error().display(),
                "Mapping for tokenizer '" + std::string(name) +
                    "' not found. Available: " + listed_names());
    }
  }
  EXPECT_TRUE(load_mapping("p50k_edit").ok());
}

TEST(MappingCacheTest, ConcurrentFirstLoadsAllSucceed) {
  std::vector<std::shared_ptr<const TokenMapping>> seen(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([i, &seen] {
      auto loaded = load_mapping("cl100k_base");
      if (loaded.ok()) seen[i] = loaded.value();
    });
  }
  for (std::thread& t : threads) t.join();
  for (const auto& mapping : seen) {
    ASSERT_TRUE(mapping);
    EXPECT_TRUE(mapping->mapped_id_for_token_id(100276).ok());
  }
  // Afterwards the cache hands out one mapping.
  auto a = load_mapping("cl100k_base");
  auto b = load_mapping("cl100k_base");
  EXPECT_EQ(a.value().get(), b.value().get());
}

}  // namespace
}  // namespace vonk
