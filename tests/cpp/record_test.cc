#include "mapping/record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data_sets.h"

namespace vonk {
namespace {

using namespace std::string_literals;

// One outcome of parsing a line, as comparable text: the record's fields
// (token bytes in hex, so that NUL and non-ASCII compare exactly) or the
// error's display text.
std::string hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string describe(const MappingEntry& e) {
  return "record token=" + hex(e.token) + " token_id=" +
         std::to_string(e.token_id) + " mapped_id=" +
         std::to_string(e.mapped_id) + " count=" +
         (e.count ? std::to_string(*e.count) : "none");
}

std::string describe(const Result<MappingEntry>& result) {
  return result.ok() ? describe(result.value())
                     : "error " + result.error().display();
}

// parse_mapping_entry with a scratch buffer that lives until the next call.
Result<MappingEntry> parse(std::string_view line) {
  static std::string scratch;
  return parse_mapping_entry(line, &scratch);
}

std::string outcome(std::string_view line) { return describe(parse(line)); }

std::string general_outcome(std::string_view line) {
  std::string scratch;
  return describe(parse_mapping_entry_general(line, &scratch));
}

// The fast parser's record, or nullopt when it declines the line.
std::optional<std::string> fast_outcome(std::string_view line) {
  std::string scratch;
  MappingEntry entry;
  if (!parse_mapping_entry_fast(line, &scratch, &entry)) return std::nullopt;
  return describe(entry);
}

// The line a case parses.
std::string_view line_of(const std::string& line) { return line; }
template <typename Case>
std::string_view line_of(const Case& c) {
  return c.line;
}

// A short name of a parametrised case: its index, then the first letters
// and digits of its line besides the four field names (the whole line is
// printed when the case fails).
template <typename Case>
std::string case_label(const ::testing::TestParamInfo<Case>& info) {
  std::string line(line_of(info.param));
  for (const char* key : {"\"token\"", "\"token_id\"", "\"mapped_id\"", "\"count\""}) {
    for (size_t at; (at = line.find(key)) != std::string::npos;) {
      line.erase(at, std::string_view(key).size());
    }
  }
  std::string label = "L" + std::to_string(info.index);
  bool gap = true;
  for (const char c : line) {
    if (label.size() >= 28) break;
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                       (c >= 'A' && c <= 'Z');
    if (alnum && gap) label += '_';
    if (alnum) label += c;
    gap = !alnum;
  }
  return label;
}

// ---------------------------------------------------------------------------
// Accepted records

struct RecordCase {
  std::string line;
  std::string token;
  uint32_t token_id;
  int32_t mapped_id;
  std::optional<uint32_t> count;
};

std::ostream& operator<<(std::ostream& os, const RecordCase& c) {
  return os << c.line;
}

class MappingEntryAcceptTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(MappingEntryAcceptTest, YieldsTheRecord) {
  const RecordCase& c = GetParam();
  const std::string expected =
      describe(MappingEntry{c.token, c.token_id, c.mapped_id, c.count});
  EXPECT_EQ(outcome(c.line), expected);
  // The general parser alone gives the same record.
  EXPECT_EQ(general_outcome(c.line), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Records, MappingEntryAcceptTest,
    ::testing::Values(
        // The stored layout, and the same record in other spellings.
        RecordCase{R"({"token": " the", "token_id": 279, "mapped_id": 0, "count": 54993})",
                   " the", 279, 0, 54993},
        RecordCase{R"({"count": 54993, "mapped_id": 0, "token_id": 279, "token": " the"})",
                   " the", 279, 0, 54993},
        RecordCase{R"({"token":" the","token_id":279,"mapped_id":0,"count":54993})",
                   " the", 279, 0, 54993},
        RecordCase{" \t{ \"token\" :\" the\" ,\r\n\"token_id\"\t: 279 , "
                   "\"mapped_id\":0,\"count\" : 54993 }\r\n ",
                   " the", 279, 0, 54993},
        RecordCase{R"([" the", 279, 0, 54993])", " the", 279, 0, 54993},
        RecordCase{R"([ " the" ,279,0 , 54993 ])", " the", 279, 0, 54993},
        // Count null or absent.
        RecordCase{R"({"token": "a", "token_id": 1, "mapped_id": -1, "count": null})",
                   "a", 1, -1, std::nullopt},
        RecordCase{R"({"token": "a", "token_id": 1, "mapped_id": -1})", "a", 1,
                   -1, std::nullopt},
        RecordCase{R"(["a", 1, -1, null])", "a", 1, -1, std::nullopt},
        // Range limits.
        RecordCase{R"({"token": "", "token_id": 0, "mapped_id": 0, "count": 0})",
                   "", 0, 0, 0},
        RecordCase{R"({"token": "x", "token_id": 4294967295, "mapped_id": -2147483648, "count": 4294967295})",
                   "x", 4294967295u, INT32_MIN, 4294967295u},
        RecordCase{R"({"token": "x", "token_id": 7, "mapped_id": 2147483647, "count": 1})",
                   "x", 7, INT32_MAX, 1},
        // Escapes of every kind and raw UTF-8.
        RecordCase{R"({"token": "\"\\\/\b\f\n\r\t", "token_id": 1, "mapped_id": 2})",
                   "\"\\/\b\f\n\r\t", 1, 2, std::nullopt},
        RecordCase{R"({"token": "a\u0000b", "token_id": 1, "mapped_id": 2})",
                   "a\0b"s, 1, 2, std::nullopt},
        RecordCase{R"({"token": "\u00e9\u20AC\u007f\ud7ff\ue000", "token_id": 1, "mapped_id": 2})",
                   "\xc3\xa9\xe2\x82\xac\x7f\xed\x9f\xbf\xee\x80\x80", 1, 2,
                   std::nullopt},
        RecordCase{R"({"token": "\ud83d\ude00 \uDBFF\uDFFF \ud800\udc00", "token_id": 1, "mapped_id": 2})",
                   "\xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf \xf0\x90\x80\x80", 1, 2,
                   std::nullopt},
        RecordCase{"{\"token\": \"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\", "
                   "\"token_id\": 1, \"mapped_id\": 2}",
                   "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f", 1, 2,
                   std::nullopt},
        // An escaped backslash followed by "udc00" is no surrogate escape.
        RecordCase{R"({"token": "\\udc00\\", "token_id": 1, "mapped_id": 2})",
                   "\\udc00\\", 1, 2, std::nullopt},
        // Keys are compared after unescaping, and case matters.
        RecordCase{R"({"tok\u0065n": "a", "token\u005fid": 1, "mapped\u005Fid": 2, "c\u006funt": 3})",
                   "a", 1, 2, 3},
        RecordCase{R"({"Token": 5, "token ": 5, "token\u0000": 5, "token": "a", "token_id": 1, "mapped_id": 2})",
                   "a", 1, 2, std::nullopt},
        // Unknown keys are skipped whatever their value, even when repeated
        // or when their value holds recognised keys or odd numbers.
        RecordCase{R"({"x": null, "y": true, "z": -1.5e3, "w": "s", "x": 0, "token": "a", )"
                   R"("v": [1, {"token": 5, "count": [[]]}], "u": {"token_id": "no"}, )"
                   R"("n": 123456789012345678901234567890, "m": -0, "token_id": 1, "mapped_id": 2})",
                   "a", 1, 2, std::nullopt},
        // Skipped numbers beyond the double range.
        RecordCase{R"({"x": 1e400, "token": "a", "token_id": 1, "mapped_id": 2})",
                   "a", 1, 2, std::nullopt},
        RecordCase{R"({"x": 0e999, "token": "a", "token_id": 1, "mapped_id": 2})",
                   "a", 1, 2, std::nullopt},
        RecordCase{R"({"x": 1e309, "token": "a", "token_id": 1, "mapped_id": 2})",
                   "a", 1, 2, std::nullopt},
        RecordCase{R"({"x": [-1e400, -1.5E+99999], "token": "a", "token_id": 1, "mapped_id": 2})",
                   "a", 1, 2, std::nullopt},
        RecordCase{"{\"x\": " + std::string(400, '9') +
                       ", \"token\": \"a\", \"token_id\": 1, \"mapped_id\": 2}",
                   "a", 1, 2, std::nullopt}),
    case_label<RecordCase>);

// ---------------------------------------------------------------------------
// Failures: each message with its column

struct FailureCase {
  std::string line;
  std::string message;  // the display text
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c) {
  return os << c.line;
}

class MappingEntryFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(MappingEntryFailureTest, GivesTheMessageAndColumn) {
  const FailureCase& c = GetParam();
  Result<MappingEntry> result = parse(c.line);
  ASSERT_FALSE(result.ok()) << "accepted: " << c.line;
  EXPECT_EQ(result.error().kind(), CodecError::Kind::kJsonError);
  EXPECT_EQ(result.error().number(), 1);  // the line
  EXPECT_EQ(result.error().display(), c.message);
}

std::vector<FailureCase> record_rule_failures() {
  const std::string p = "JSON parsing error: ";
  return {
      // Missing fields, checked at the closing brace in field order.
      {R"({"token_id": 1, "mapped_id": 2})",
       p + "missing field `token` at line 1 column 31"},
      {R"({"mapped_id": 1})", p + "missing field `token` at line 1 column 16"},
      {"{}", p + "missing field `token` at line 1 column 2"},
      {R"({"token": "a", "mapped_id": 2})",
       p + "missing field `token_id` at line 1 column 30"},
      {R"({"token": "a", "token_id": 1})",
       p + "missing field `mapped_id` at line 1 column 29"},
      {R"({"token": "a", "token_id": 1, "count": 3, "mapped_i": 2})",
       p + "missing field `mapped_id` at line 1 column 56"},
      // Duplicates, at the repeated key, before its value is looked at.
      {R"({"token": "a", "token": "b"})",
       p + "duplicate field `token` at line 1 column 22"},
      {R"({"token_id": 1, "token_id": 1})",
       p + "duplicate field `token_id` at line 1 column 26"},
      {R"({"mapped_id": 1, "mapped_id": 1})",
       p + "duplicate field `mapped_id` at line 1 column 28"},
      {R"({"count": null, "count": null})",
       p + "duplicate field `count` at line 1 column 23"},
      {R"({"count": 1, "count": })",
       p + "duplicate field `count` at line 1 column 20"},
      {R"({"token": "a", "tok\u0065n": "b"})",
       p + "duplicate field `token` at line 1 column 27"},
      // Wrong JSON types for a field.
      {R"({"token": 5})",
       p + "invalid type: integer `5`, expected a string at line 1 column 11"},
      {R"({"token": -12})",
       p + "invalid type: integer `-12`, expected a string at line 1 column 13"},
      {R"({"token": null})",
       p + "invalid type: null, expected a string at line 1 column 14"},
      {R"({"token": true})",
       p + "invalid type: boolean `true`, expected a string at line 1 column 14"},
      {R"({"token": false})",
       p + "invalid type: boolean `false`, expected a string at line 1 column 15"},
      {R"({"token": [1]})",
       p + "invalid type: sequence, expected a string at line 1 column 11"},
      {R"({"token": {"a": 1}})",
       p + "invalid type: map, expected a string at line 1 column 11"},
      {R"({"token": 1.5})",
       p + "invalid type: floating point `1.5`, expected a string at line 1 column 13"},
      {R"({"token_id": "7"})",
       p + "invalid type: string \"7\", expected u32 at line 1 column 16"},
      {R"({"token_id": "a\"b\u00e9"})",
       p + "invalid type: string \"a\"b\xc3\xa9\", expected u32 at line 1 column 25"},
      {R"({"token_id": null})",
       p + "invalid type: null, expected u32 at line 1 column 17"},
      {R"({"token_id": [})",
       p + "invalid type: sequence, expected u32 at line 1 column 14"},
      {R"({"mapped_id": "x"})",
       p + "invalid type: string \"x\", expected i32 at line 1 column 17"},
      {R"({"mapped_id": {}})",
       p + "invalid type: map, expected i32 at line 1 column 15"},
      {R"({"count": "5"})",
       p + "invalid type: string \"5\", expected u32 at line 1 column 13"},
      {R"({"count": false})",
       p + "invalid type: boolean `false`, expected u32 at line 1 column 15"},
      {R"({"count": {}})",
       p + "invalid type: map, expected u32 at line 1 column 11"},
      // Floating-point values: fraction, exponent, "-0", beyond 64 bits.
      {R"({"token_id": 1.0})",
       p + "invalid type: floating point `1.0`, expected u32 at line 1 column 16"},
      {R"({"token_id": 1e0})",
       p + "invalid type: floating point `1.0`, expected u32 at line 1 column 16"},
      {R"({"token_id": 1E+0})",
       p + "invalid type: floating point `1.0`, expected u32 at line 1 column 17"},
      {R"({"token_id": -0})",
       p + "invalid type: floating point `-0.0`, expected u32 at line 1 column 15"},
      {R"({"token_id": 0.5})",
       p + "invalid type: floating point `0.5`, expected u32 at line 1 column 16"},
      {R"({"token_id": 1e-7})",
       p + "invalid type: floating point `0.0000001`, expected u32 at line 1 column 17"},
      {R"({"token_id": 1e21})",
       p + "invalid type: floating point `1000000000000000000000.0`, expected u32 at line 1 column 17"},
      {R"({"token_id": -2.5e-3})",
       p + "invalid type: floating point `-0.0025`, expected u32 at line 1 column 20"},
      {R"({"token_id": 18446744073709551616})",
       p + "invalid type: floating point `18446744073709552000.0`, expected u32 at line 1 column 33"},
      {R"({"token_id": -9223372036854775809})",
       p + "invalid type: floating point `-9223372036854776000.0`, expected u32 at line 1 column 33"},
      {R"({"token": "a", "token_id": 1e400, "mapped_id": 2})",
       p + "invalid type: floating point `inf`, expected u32 at line 1 column 32"},
      {R"({"token_id": 1e-400})",
       p + "invalid type: floating point `0.0`, expected u32 at line 1 column 19"},
      {R"({"token_id": )" + std::string(400, '1') + "}",
       p + "invalid type: floating point `inf`, expected u32 at line 1 column 413"},
      {R"({"mapped_id": -1e400})",
       p + "invalid type: floating point `-inf`, expected i32 at line 1 column 20"},
      {R"({"mapped_id": 0e999})",
       p + "invalid type: floating point `0.0`, expected i32 at line 1 column 19"},
      {R"({"mapped_id": -0})",
       p + "invalid type: floating point `-0.0`, expected i32 at line 1 column 16"},
      {R"({"mapped_id": 2.0})",
       p + "invalid type: floating point `2.0`, expected i32 at line 1 column 17"},
      {R"({"count": 1.0})",
       p + "invalid type: floating point `1.0`, expected u32 at line 1 column 13"},
      {R"({"count": -0})",
       p + "invalid type: floating point `-0.0`, expected u32 at line 1 column 12"},
      // Integers out of range.
      {R"({"token_id": 4294967296})",
       p + "invalid value: integer `4294967296`, expected u32 at line 1 column 23"},
      {R"({"token_id": -1})",
       p + "invalid value: integer `-1`, expected u32 at line 1 column 15"},
      {R"({"token_id": 18446744073709551615})",
       p + "invalid value: integer `18446744073709551615`, expected u32 at line 1 column 33"},
      {R"({"token_id": -9223372036854775808})",
       p + "invalid value: integer `-9223372036854775808`, expected u32 at line 1 column 33"},
      {R"({"mapped_id": 2147483648})",
       p + "invalid value: integer `2147483648`, expected i32 at line 1 column 24"},
      {R"({"mapped_id": -2147483649})",
       p + "invalid value: integer `-2147483649`, expected i32 at line 1 column 25"},
      {R"({"count": -1})",
       p + "invalid value: integer `-1`, expected u32 at line 1 column 12"},
      {R"({"count": 4294967296})",
       p + "invalid value: integer `4294967296`, expected u32 at line 1 column 20"},
      // Array form.
      {"[]",
       p + "invalid length 0, expected struct MappingEntry with 4 elements at line 1 column 2"},
      {R"(["a"])",
       p + "invalid length 1, expected struct MappingEntry with 4 elements at line 1 column 5"},
      {R"(["a", 1, 2])",
       p + "invalid length 3, expected struct MappingEntry with 4 elements at line 1 column 11"},
      {R"(["a", 1, 2, null, 5])", p + "trailing characters at line 1 column 19"},
      {R"(["a", 1, 2, 3, [1, 2]])", p + "trailing characters at line 1 column 16"},
      {R"(["a", 1, 2, 3, 01])", p + "trailing characters at line 1 column 16"},
      {R"(["a", 1, 2, 3,)", p + "trailing characters at line 1 column 14"},
      {R"(["a", 1, 2, null,])", p + "trailing comma at line 1 column 18"},
      {R"(["a", 1, 2, null, ])", p + "trailing comma at line 1 column 19"},
      {R"(["a", 1,])", p + "trailing comma at line 1 column 9"},
      {R"([1, 2, 3, 4])",
       p + "invalid type: integer `1`, expected a string at line 1 column 2"},
      {R"([["a"], 1, 2, 3])",
       p + "invalid type: sequence, expected a string at line 1 column 2"},
      {R"(["a", "1", 2, 3])",
       p + "invalid type: string \"1\", expected u32 at line 1 column 9"},
      {R"(["a", 1, 2.5, 3])",
       p + "invalid type: floating point `2.5`, expected i32 at line 1 column 12"},
      {R"(["a", 1, null, 3])",
       p + "invalid type: null, expected i32 at line 1 column 13"},
      {R"(["a", 1, 2, "3"])",
       p + "invalid type: string \"3\", expected u32 at line 1 column 15"},
      {R"(["a", 1, 2, [3]])",
       p + "invalid type: sequence, expected u32 at line 1 column 13"},
      // Values that are neither object nor array.
      {R"("abc")",
       p + "invalid type: string \"abc\", expected struct MappingEntry at line 1 column 5"},
      {"5", p + "invalid type: integer `5`, expected struct MappingEntry at line 1 column 1"},
      {"-0",
       p + "invalid type: floating point `-0.0`, expected struct MappingEntry at line 1 column 2"},
      {"1.5",
       p + "invalid type: floating point `1.5`, expected struct MappingEntry at line 1 column 3"},
      {"1e400",
       p + "invalid type: floating point `inf`, expected struct MappingEntry at line 1 column 5"},
      {"true",
       p + "invalid type: boolean `true`, expected struct MappingEntry at line 1 column 4"},
      {"false",
       p + "invalid type: boolean `false`, expected struct MappingEntry at line 1 column 5"},
      {"null", p + "invalid type: null, expected struct MappingEntry at line 1 column 4"},
      // Anything after the value.
      {R"({"token": "a", "token_id": 1, "mapped_id": 2} x)",
       p + "trailing characters at line 1 column 47"},
      {R"({"token": "a", "token_id": 1, "mapped_id": 2}})",
       p + "trailing characters at line 1 column 46"},
      {R"({"token": "a", "token_id": 1, "mapped_id": 2}{})",
       p + "trailing characters at line 1 column 46"},
      {"{\"token\": \"a\", \"token_id\": 1, \"mapped_id\": 2}\0"s,
       p + "trailing characters at line 1 column 46"},
      {R"(["a", 1, 2, 3] 1)", p + "trailing characters at line 1 column 16"},
      // A comma directly before a closing brace or bracket, also in a
      // skipped value.
      {R"({"token": "a", "token_id": 1, "mapped_id": 2,})",
       p + "trailing comma at line 1 column 46"},
      {R"({"token": "a", "token_id": 1, "mapped_id": 2, })",
       p + "trailing comma at line 1 column 47"},
      {R"({"x": [1,]})", p + "trailing comma at line 1 column 10"},
      {R"({"x": {"a": 1,}})", p + "trailing comma at line 1 column 15"},
  };
}

std::vector<FailureCase> syntax_failures() {
  const std::string p = "JSON parsing error: ";
  return {
      // Malformed numbers.
      {R"({"token_id": 01})", p + "invalid number at line 1 column 15"},
      {R"({"token_id": -01})", p + "invalid number at line 1 column 16"},
      {R"({"x": 00})", p + "invalid number at line 1 column 8"},
      {"01", p + "invalid number at line 1 column 2"},
      {R"({"token_id": -})", p + "invalid number at line 1 column 15"},
      {R"({"token_id": 1.})", p + "invalid number at line 1 column 16"},
      {R"({"token_id": 1e})", p + "invalid number at line 1 column 16"},
      {R"({"token_id": 1e+})", p + "invalid number at line 1 column 17"},
      {"-", p + "invalid number at line 1 column 1"},
      {"1.", p + "invalid number at line 1 column 2"},
      {"1e", p + "invalid number at line 1 column 2"},
      {"[-]", p + "invalid number at line 1 column 3"},
      // The JSON reader's own wording.
      {"", p + "The document is empty. at line 1 column 0"},
      {R"({"token": "abc)",
       p + "Missing a closing quotation mark in string. at line 1 column 14"},
      {R"({"token" "a"})",
       p + "Missing a colon after a name of object member. at line 1 column 10"},
      {R"({"token": "a" "token_id": 1})",
       p + "Missing a comma or '}' after an object member. at line 1 column 15"},
      {R"(["a" 1])",
       p + "Missing a comma or ']' after an array element. at line 1 column 6"},
      {R"(["a", 1, 2, null x])",
       p + "Missing a comma or ']' after an array element. at line 1 column 18"},
      {R"({token: 1})", p + "Missing a name for object member. at line 1 column 2"},
      {R"({,})", p + "Missing a name for object member. at line 1 column 2"},
      {R"({"token": x})", p + "Invalid value. at line 1 column 11"},
      {R"({"token": "\x"})",
       p + "Invalid escape character in string. at line 1 column 12"},
      {R"({"token": "\u12g4"})",
       p + "Incorrect hex digit after \\u escape in string. at line 1 column 12"},
      // A byte order mark is no white space.
      {"\xef\xbb\xbf{\"token\": \"a\", \"token_id\": 1, \"mapped_id\": 2}",
       p + "Invalid value. at line 1 column 1"},
      // Control characters and NUL bytes.
      {"{\"token\": \"a\tb\"}",
       p + "Invalid escape character in string. at line 1 column 13"},
      {"{\"token\": \"a\0b\", \"token_id\": 1, \"mapped_id\": 2}"s,
       p + "Missing a closing quotation mark in string. at line 1 column 13"},
      {"{\"token\": \"a\", \"token_id\": 1, \"mapped_id\": 2\0}"s,
       p + "Missing a comma or '}' after an object member. at line 1 column 45"},
      // Invalid UTF-8 in strings: truncated, overlong, encoded surrogate,
      // beyond U+10FFFF, stray continuation byte, invalid lead byte.
      {"{\"token\": \"\xc3\"}", p + "Invalid encoding in string. at line 1 column 12"},
      {"{\"token\": \"\xe2\x82\"}", p + "Invalid encoding in string. at line 1 column 12"},
      {"{\"token\": \"\xc0\xaf\"}", p + "Invalid encoding in string. at line 1 column 12"},
      {"{\"token\": \"\xe0\x80\xaf\"}", p + "Invalid encoding in string. at line 1 column 12"},
      {"{\"token\": \"\xed\xa0\x80\"}", p + "Invalid encoding in string. at line 1 column 12"},
      {"{\"token\": \"\xf4\x90\x80\x80\"}", p + "Invalid encoding in string. at line 1 column 12"},
      {"{\"token\": \"ab\x80\"}", p + "Invalid encoding in string. at line 1 column 14"},
      {"{\"token\": \"\xf8\x88\x80\x80\x80\"}", p + "Invalid encoding in string. at line 1 column 12"},
      {"{\"x\xff\": 1}", p + "Invalid encoding in string. at line 1 column 4"},
      // Invalid UTF-8 outside strings.
      {"{\"token\": \xc3\xa9}", p + "Invalid value. at line 1 column 11"},
      // Surrogate escapes that do not pair, high or low, in every kind of
      // string; reported at the escape's backslash.
      {R"({"token": "\ud800"})",
       p + "The surrogate pair in string is invalid. at line 1 column 12"},
      {R"({"token": "\ud800\u0041"})",
       p + "The surrogate pair in string is invalid. at line 1 column 12"},
      {R"({"token": "\ud800\ud800"})",
       p + "The surrogate pair in string is invalid. at line 1 column 12"},
      {R"({"token": "\udc00"})",
       p + "The surrogate pair in string is invalid. at line 1 column 12"},
      {R"({"token": "ab\udfff", "token_id": 1, "mapped_id": 2})",
       p + "The surrogate pair in string is invalid. at line 1 column 14"},
      {R"({"token": "\ud83d\ude00\udc00"})",
       p + "The surrogate pair in string is invalid. at line 1 column 24"},
      {R"({"token": "\\\udc00"})",
       p + "The surrogate pair in string is invalid. at line 1 column 14"},
      {R"({"token": "\"\udc00"})",
       p + "The surrogate pair in string is invalid. at line 1 column 14"},
      {R"({"\udc00": 1})",
       p + "The surrogate pair in string is invalid. at line 1 column 3"},
      {R"({"token": "a", "token_id": 1, "mapped_id": 2, "x": ["\uDFFF"]})",
       p + "The surrogate pair in string is invalid. at line 1 column 54"},
      {R"("\udc00")",
       p + "The surrogate pair in string is invalid. at line 1 column 2"},
  };
}

INSTANTIATE_TEST_SUITE_P(RecordRules, MappingEntryFailureTest,
                         ::testing::ValuesIn(record_rule_failures()),
                         case_label<FailureCase>);
INSTANTIATE_TEST_SUITE_P(Syntax, MappingEntryFailureTest,
                         ::testing::ValuesIn(syntax_failures()),
                         case_label<FailureCase>);

// ---------------------------------------------------------------------------
// Deep nesting inside a skipped value

std::string nested(size_t depth, std::string_view open, std::string_view close,
                   std::string_view inner) {
  std::string out;
  out.reserve(depth * (open.size() + close.size()) + inner.size());
  for (size_t i = 0; i < depth; ++i) out += open;
  out += inner;
  for (size_t i = 0; i < depth; ++i) out += close;
  return out;
}

TEST(MappingEntryNestingTest, SkipsDeeplyNestedUnknownValues) {
  const std::string tail = R"(, "token": "a", "token_id": 1, "mapped_id": 2})";
  for (const std::string& value :
       {nested(100000, "[", "]", ""), nested(100000, "[", "]", R"({"token": 1})"),
        nested(100000, R"({"token": )", "}", "[]"),
        nested(50000, R"([{"a": )", "}]", "null")}) {
    const std::string line = R"({"x": )" + value + tail;
    Result<MappingEntry> result = parse(line);
    ASSERT_TRUE(result.ok()) << result.error().display();
    EXPECT_EQ(result.value(), (MappingEntry{"a", 1, 2, std::nullopt}));
  }
}

TEST(MappingEntryNestingTest, FailsCleanlyOnUnclosedDeepNesting) {
  const std::string line = R"({"x": )" + std::string(100000, '[');
  Result<MappingEntry> result = parse(line);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().display(),
            "JSON parsing error: Invalid value. at line 1 column " +
                std::to_string(line.size()));

  const std::string closed_wrong =
      R"({"x": )" + std::string(100000, '[') + std::string(100000, '}');
  Result<MappingEntry> wrong = parse(closed_wrong);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().display(),
            "JSON parsing error: Invalid value. at line 1 column 100007");
}

// ---------------------------------------------------------------------------
// The fast parser

struct FastCase {
  std::string line;
  std::string token;
  uint32_t token_id;
  int32_t mapped_id;
  uint32_t count;
};

std::ostream& operator<<(std::ostream& os, const FastCase& c) {
  return os << c.line;
}

class MappingEntryFastAcceptTest : public ::testing::TestWithParam<FastCase> {};

TEST_P(MappingEntryFastAcceptTest, ReadsTheStoredLayout) {
  const FastCase& c = GetParam();
  std::string scratch;
  MappingEntry entry;
  ASSERT_TRUE(parse_mapping_entry_fast(c.line, &scratch, &entry));
  EXPECT_EQ(hex(entry.token), hex(c.token));
  EXPECT_EQ(entry.token_id, c.token_id);
  EXPECT_EQ(entry.mapped_id, c.mapped_id);
  EXPECT_EQ(entry.count, c.count);
  EXPECT_EQ(describe(entry), general_outcome(c.line));
}

INSTANTIATE_TEST_SUITE_P(
    Layout, MappingEntryFastAcceptTest,
    ::testing::Values(
        FastCase{R"({"token": " the", "token_id": 279, "mapped_id": 0, "count": 54993})",
                 " the", 279, 0, 54993},
        FastCase{R"({"token": "", "token_id": 0, "mapped_id": -1, "count": 0})",
                 "", 0, -1, 0},
        FastCase{R"({"token": "<|reserved_201087|>", "token_id": 201087, "mapped_id": 100544, "count": 0})",
                 "<|reserved_201087|>", 201087, 100544, 0},
        FastCase{R"({"token": "x", "token_id": 4294967295, "mapped_id": -2147483648, "count": 4294967295})",
                 "x", 4294967295u, INT32_MIN, 4294967295u},
        FastCase{R"({"token": "x", "token_id": 1, "mapped_id": 2147483647, "count": 1})",
                 "x", 1, INT32_MAX, 1},
        FastCase{R"({"token": "a\"b\\c\bd\te\nf\fg\rh", "token_id": 1, "mapped_id": 2, "count": 3})",
                 "a\"b\\c\bd\te\nf\fg\rh", 1, 2, 3},
        FastCase{R"({"token": "\u0000\u001f\u007f\u00e9\ufffd\u20AC", "token_id": 1, "mapped_id": 2, "count": 3})",
                 "\0\x1f\x7f\xc3\xa9\xef\xbf\xbd\xe2\x82\xac"s, 1, 2, 3},
        FastCase{R"({"token": " \ud83d\ude00\udbff\udfff!", "token_id": 1, "mapped_id": 2, "count": 3})",
                 " \xf0\x9f\x98\x80\xf4\x8f\xbf\xbf!", 1, 2, 3},
        FastCase{"{\"token\": \"\x7f/\", \"token_id\": 1, \"mapped_id\": 2, "
                 "\"count\": 3}",
                 "\x7f/", 1, 2, 3}),
    case_label<FastCase>);

class MappingEntryFastDeclineTest : public ::testing::TestWithParam<std::string> {};

// Every deviation from the stored layout is left to the general parser,
// whether the line is valid or not.
TEST_P(MappingEntryFastDeclineTest, LeavesOtherSpellingsToTheGeneralParser) {
  const std::string& line = GetParam();
  std::string scratch;
  MappingEntry entry;
  EXPECT_FALSE(parse_mapping_entry_fast(line, &scratch, &entry));
  EXPECT_EQ(outcome(line), general_outcome(line));
}

INSTANTIATE_TEST_SUITE_P(
    Deviations, MappingEntryFastDeclineTest,
    ::testing::Values(
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": 3} )",
        R"( {"token": "a", "token_id": 1, "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": 3}})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": 3)",
        R"({"token": "a", "token_id": 1, "mapped_id": 2,  "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": null})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": 3, "x": 4})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2})",
        R"({"token": "a", "mapped_id": 2, "token_id": 1, "count": 3})",
        R"({"tok\u0065n": "a", "token_id": 1, "mapped_id": 2, "count": 3})",
        R"(["a", 1, 2, 3])",
        R"({"token": "\/", "token_id": 1, "mapped_id": 2, "count": 3})",
        R"({"token": "\x", "token_id": 1, "mapped_id": 2, "count": 3})",
        R"({"token": "\u12g4", "token_id": 1, "mapped_id": 2, "count": 3})",
        R"({"token": "\ud800", "token_id": 1, "mapped_id": 2, "count": 3})",
        R"({"token": "\ud800\u0041", "token_id": 1, "mapped_id": 2, "count": 3})",
        R"({"token": "\udc00", "token_id": 1, "mapped_id": 2, "count": 3})",
        "{\"token\": \"\xc3\xa9\", \"token_id\": 1, \"mapped_id\": 2, \"count\": 3}",
        "{\"token\": \"a\tb\", \"token_id\": 1, \"mapped_id\": 2, \"count\": 3}",
        "{\"token\": \"a\0b\", \"token_id\": 1, \"mapped_id\": 2, \"count\": 3}"s,
        R"({"token": "a", "token_id": 01, "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": 02, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": -02, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": 03})",
        R"({"token": "a", "token_id": 1, "mapped_id": -0, "count": 3})",
        R"({"token": "a", "token_id": -1, "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": +1, "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": 1.0, "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": 1e0, "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": 3.5})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": 3e1})",
        R"({"token": "a", "token_id": 4294967296, "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": 10000000000, "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2147483648, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": -2147483649, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": 4294967296})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": -1})",
        R"({"token": "a", "token_id": , "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": -, "count": 3})",
        R"({"token": "a, "token_id": 1, "mapped_id": 2, "count": 3})",
        R"({"token": "a\", "token_id": 1, "mapped_id": 2, "count": 3})",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": })",
        R"({"token": "a", "token_id": 1, "mapped_id": 2, "count": 3})"
        "\n",
        R"({"token": "a", "token_id": 1)", ""),
    case_label<std::string>);

TEST(MappingEntryBorrowTest, BorrowsThePlainTokenAndDecodesEscapedOnesToScratch) {
  std::string scratch;
  const std::string plain =
      R"({"token": "hello", "token_id": 1, "mapped_id": 2, "count": 3})";
  Result<MappingEntry> entry = parse_mapping_entry(plain, &scratch);
  ASSERT_TRUE(entry.ok());
  EXPECT_EQ(entry.value().token, "hello");
  EXPECT_EQ(entry.value().token.data(), plain.data() + 11);

  const std::string escaped =
      R"({"token": "h\u00e9llo\n", "token_id": 1, "mapped_id": 2, "count": 3})";
  entry = parse_mapping_entry(escaped, &scratch);
  ASSERT_TRUE(entry.ok());
  EXPECT_EQ(entry.value().token, "h\xc3\xa9llo\n");
  EXPECT_EQ(entry.value().token.data(), scratch.data());

  const std::string general = R"(["x\ty", 1, 2, null])";
  entry = parse_mapping_entry(general, &scratch);
  ASSERT_TRUE(entry.ok());
  EXPECT_EQ(entry.value().token, "x\ty");
  EXPECT_EQ(entry.value().count, std::nullopt);
}

// ---------------------------------------------------------------------------
// Differential: fast and general parsers agree on real and mutated lines

// Tallies of one differential run.
struct Agreement {
  size_t lines = 0;
  size_t fast_accepted = 0;
  size_t general_accepted = 0;
};

// The fast parser may decline any line, but a record it accepts must be the
// general parser's record; and the combined parser must give exactly the
// general parser's outcome. Returns a description of any disagreement.
std::string disagreement(std::string_view line, Agreement* tally) {
  const std::string general = general_outcome(line);
  const std::optional<std::string> fast = fast_outcome(line);
  const std::string combined = outcome(line);
  ++tally->lines;
  if (general.rfind("record", 0) == 0) ++tally->general_accepted;
  std::string out;
  if (fast) {
    ++tally->fast_accepted;
    if (*fast != general) out += "fast: " + *fast + "\n";
  }
  if (combined != general) out += "combined: " + combined + "\n";
  if (!out.empty()) out = "line: " + std::string(line) + "\n" + out + "general: " + general;
  return out;
}

TEST(MappingEntryDifferentialTest, FastAndGeneralAgreeOnEveryStoredLine) {
  for (const char* name : kDataSets) {
    const std::string text = read_data_set(name);
    Agreement tally;
    for (std::string_view line : split_lines(text)) {
      const std::string general = general_outcome(line);
      const std::optional<std::string> fast = fast_outcome(line);
      ++tally.lines;
      // Every stored line is in the fast layout and is a valid record.
      ASSERT_TRUE(fast.has_value()) << name << ": " << line;
      ASSERT_EQ(*fast, general) << name << ": " << line;
    }
    // An empty placeholder file has no lines; a generated one has many.
    EXPECT_TRUE(text.empty() || tally.lines > 50000) << name;
  }
}

// The members of a stored line, in order, as raw JSON texts: the token's
// string and the three numbers.
std::array<std::string, 4> stored_members(std::string_view line) {
  const size_t id_key = line.rfind(R"(, "token_id": )");
  const size_t mapped_key = line.rfind(R"(, "mapped_id": )");
  const size_t count_key = line.rfind(R"(, "count": )");
  const size_t token_start = std::string_view(R"({"token": )").size();
  return {
      std::string(line.substr(token_start, id_key - token_start)),
      std::string(line.substr(id_key + 14, mapped_key - id_key - 14)),
      std::string(line.substr(mapped_key + 15, count_key - mapped_key - 15)),
      std::string(line.substr(count_key + 11, line.size() - count_key - 12)),
  };
}

// Byte-level mutations of `line`, deterministic: every byte replaced by a
// set of syntax-relevant bytes, deleted, or preceded by an inserted byte.
std::vector<std::string> byte_mutations(std::string_view line) {
  static const std::string kReplacements = "\"\\,: 09-}]{[e.u\x80\xff\x00n"s;
  static const std::string kInsertions = " ,\"0\t5"s;
  std::vector<std::string> out;
  for (size_t i = 0; i < line.size(); ++i) {
    for (char r : kReplacements) {
      if (line[i] == r) continue;
      std::string m(line);
      m[i] = r;
      out.push_back(std::move(m));
    }
    std::string deleted(line);
    deleted.erase(i, 1);
    out.push_back(std::move(deleted));
    for (char c : kInsertions) {
      std::string m(line);
      m.insert(m.begin() + static_cast<ptrdiff_t>(i), c);
      out.push_back(std::move(m));
    }
  }
  for (char c : kInsertions) out.push_back(std::string(line) + c);
  out.push_back(std::string(line.substr(0, line.size() / 2)));
  return out;
}

// The same record spelled in other valid ways: the keys in every order,
// compact, and in array form.
std::vector<std::string> respellings(std::string_view line) {
  const std::array<std::string, 4> values = stored_members(line);
  const std::array<std::string, 4> keys = {"token", "token_id", "mapped_id",
                                           "count"};
  std::vector<std::string> out;
  std::array<int, 4> order = {0, 1, 2, 3};
  do {
    std::string object = "{";
    for (int k : order) {
      if (object.size() > 1) object += ", ";
      object += "\"" + keys[k] + "\": " + values[k];
    }
    out.push_back(object + "}");
  } while (std::next_permutation(order.begin(), order.end()));
  out.push_back("{\"token\":" + values[0] + ",\"token_id\":" + values[1] +
                ",\"mapped_id\":" + values[2] + ",\"count\":" + values[3] +
                "}");
  out.push_back("[" + values[0] + ", " + values[1] + ", " + values[2] + ", " +
                values[3] + "]");
  return out;
}

TEST(MappingEntryDifferentialTest, RespelledStoredLinesGiveTheSameRecord) {
  size_t checked = 0;
  for (const char* name : kDataSets) {
    const std::string text = read_data_set(name);
    const std::vector<std::string_view> lines = split_lines(text);
    for (size_t i = 0; i < lines.size(); i += 997) {
      const std::optional<std::string> stored = fast_outcome(lines[i]);
      ASSERT_TRUE(stored.has_value()) << lines[i];
      for (const std::string& other : respellings(lines[i])) {
        EXPECT_EQ(outcome(other), *stored) << other;
        ++checked;
      }
    }
    EXPECT_TRUE(lines.empty() || checked > 0);
  }
}

// Lines worth mutating: the first ones of each data set, and every line
// whose token has escapes or long texts, thinned out evenly.
std::vector<std::string_view> mutation_sample(std::string_view text) {
  std::vector<std::string_view> lines = split_lines(text);
  std::vector<std::string_view> sample;
  for (size_t i = 0; i < lines.size(); ++i) {
    const bool escaped = lines[i].find('\\') != std::string_view::npos;
    if (i < 20 || i % 4001 == 0 || (escaped && i % 503 == 0)) {
      sample.push_back(lines[i]);
    }
  }
  return sample;
}

TEST(MappingEntryDifferentialTest, FastAndGeneralAgreeOnMutatedLines) {
  Agreement tally;
  // Hand-written seeds keep the test meaningful while the data files are
  // still empty placeholders.
  std::vector<std::string> seeds = {
      R"({"token": " the", "token_id": 279, "mapped_id": 0, "count": 54993})",
      R"({"token": "\u00e9\ud83d\ude00\"\\\n", "token_id": 4294967295, "mapped_id": -2147483648, "count": 7})",
  };
  for (const char* name : kDataSets) {
    const std::string text = read_data_set(name);
    for (std::string_view line : mutation_sample(text)) {
      seeds.emplace_back(line);
    }
  }
  size_t disagreements = 0;
  for (const std::string& seed : seeds) {
    for (const std::string& mutant : byte_mutations(seed)) {
      const std::string report = disagreement(mutant, &tally);
      if (!report.empty() && ++disagreements <= 10) ADD_FAILURE() << report;
    }
  }
  EXPECT_EQ(disagreements, 0u);
  // The mutations reach both outcomes of both parsers.
  EXPECT_GT(tally.fast_accepted, 0u);
  EXPECT_GT(tally.general_accepted, tally.fast_accepted);
  EXPECT_LT(tally.general_accepted, tally.lines);
  RecordProperty("mutants", static_cast<int>(tally.lines));
  RecordProperty("fast_accepted", static_cast<int>(tally.fast_accepted));
  RecordProperty("general_accepted", static_cast<int>(tally.general_accepted));
}

}  // namespace
}  // namespace vonk
