#include "mapping/tokenizer_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_sets.h"

namespace vonk {
namespace {

const std::vector<std::string> kNames = tokenizer_names();

TEST(TokenizerRegistryTest, ListsTheNamesInOrderAsFreshCopies) {
  std::vector<std::string> first = TokenizerRegistry::list();
  EXPECT_EQ(first, kNames);
  first[0] = "changed";
  first.pop_back();
  EXPECT_EQ(TokenizerRegistry::list(), kNames);
}

TEST(TokenizerRegistryTest, EveryNameSelectsAWholeJsonLinesText) {
  for (const std::string& name : kNames) {
    auto text = TokenizerRegistry::find(name);
    ASSERT_TRUE(text.has_value()) << name;
    ASSERT_FALSE(text->empty()) << name;
    EXPECT_EQ(text->front(), '{') << name;
    EXPECT_EQ(text->back(), '\n') << name;
    // The zero byte placed after each text is not part of it.
    EXPECT_EQ(text->find('\0'), std::string_view::npos) << name;
  }
}

TEST(TokenizerRegistryTest, EmbeddedTextsEqualTheDataFiles) {
  for (const std::string& name : kNames) {
    const std::string file = data_set_of(name);
    const std::string bytes = read_data_set(file);
    ASSERT_FALSE(bytes.empty()) << file;
    auto text = TokenizerRegistry::find(name);
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(*text == bytes) << name << " differs from " << file;
  }
}

TEST(TokenizerRegistryTest, Gpt2SharesTheBytesOfR50kBase) {
  auto gpt2 = TokenizerRegistry::find("gpt2");
  auto r50k = TokenizerRegistry::find("r50k_base");
  ASSERT_TRUE(gpt2 && r50k);
  EXPECT_EQ(gpt2->data(), r50k->data());
  EXPECT_EQ(gpt2->size(), r50k->size());
  auto p50k = TokenizerRegistry::find("p50k_base");
  ASSERT_TRUE(p50k);
  EXPECT_NE(p50k->data(), r50k->data());
}

TEST(TokenizerRegistryTest, OnlyExactNamesMatch) {
  for (std::string_view name : std::initializer_list<std::string_view>{
           "", "CL100K_BASE", " cl100k_base", "cl100k_base ", "cl100k",
        "cl100k_base\n", "gpt", "gpt2x", "r50k_bas", "o200k_harmony2",
        std::string_view("gpt2\0", 5)}) {
    EXPECT_FALSE(TokenizerRegistry::find(name).has_value())
        << "[" << name << "]";
  }
}

}  // namespace
}  // namespace vonk
