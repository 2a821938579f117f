#include "error/codec_error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data_sets.h"
#include "error/result.h"
#include "mapping/tokenizer_registry.h"

namespace vonk {
namespace {

using Kind = CodecError::Kind;

struct DisplayCase {
  CodecError error;
  Kind kind;
  std::string text;
};

TEST(CodecErrorTest, KindAndDisplayText) {
  const std::vector<DisplayCase> cases = {
      {CodecError::tokenizer_not_found("foo", TokenizerRegistry::list()),
       Kind::kTokenizerNotFound,
       "Mapping for tokenizer 'foo' not found. Available: " + listed_names()},
      {CodecError::tokenizer_not_found("", {"a"}), Kind::kTokenizerNotFound,
       "Mapping for tokenizer '' not found. Available: a"},
      {CodecError::tokenizer_not_found(" x'\n", {}), Kind::kTokenizerNotFound,
       "Mapping for tokenizer ' x'\n' not found. Available: "},
      {CodecError::invalid_payload("Expected I32 elements"),
       Kind::kInvalidPayload, "Invalid payload: Expected I32 elements"},
      {CodecError::json_error("trailing characters", 1, 70), Kind::kJsonError,
       "JSON parsing error: trailing characters at line 1 column 70"},
      {CodecError::json_error("EOF while parsing", 0, 0), Kind::kJsonError,
       "JSON parsing error: EOF while parsing"},
      {CodecError::token_id_not_found(4294967295u), Kind::kTokenIdNotFound,
       "Token ID 4294967295 not found in mapping"},
      {CodecError::token_id_not_found(0), Kind::kTokenIdNotFound,
       "Token ID 0 not found in mapping"},
      {CodecError::mapped_id_not_found(-7), Kind::kMappedIdNotFound,
       "Mapped ID -7 not found in reverse mapping"},
      {CodecError::mapped_id_not_found(-2147483647 - 1),
       Kind::kMappedIdNotFound,
       "Mapped ID -2147483648 not found in reverse mapping"},
      {CodecError::mapped_id_not_found(2147483647), Kind::kMappedIdNotFound,
       "Mapped ID 2147483647 not found in reverse mapping"},
      {CodecError::token_not_found(" the"), Kind::kTokenNotFound,
       "Token ' the' not found in mapping"},
      {CodecError::token_not_found(std::string("a\0'b", 4)),
       Kind::kTokenNotFound,
       std::string("Token 'a\0'b' not found in mapping", 33)},
  };
  for (const DisplayCase& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.display(), c.text);
  }
}

TEST(CodecErrorTest, CarriesCopiesOfItsValues) {
  std::string name = "nope";
  CodecError error = CodecError::tokenizer_not_found(name, {"x"});
  name[0] = 'N';
  EXPECT_EQ(error.text(), "nope");
  EXPECT_EQ(error.available(), std::vector<std::string>{"x"});
}

TEST(ResultTest, HoldsValueOrError) {
  Result<int> good = 5;
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value(), 5);
  Result<int> bad = CodecError::token_id_not_found(9);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), Kind::kTokenIdNotFound);
}

}  // namespace
}  // namespace vonk
