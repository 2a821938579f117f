#include "mapping/record_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data_sets.h"

namespace vonk {
namespace {

using namespace std::string_literals;

// ---------------------------------------------------------------------------
// trim_white_space

// Every White_Space character in UTF-8.
const std::vector<std::string> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xc2\x85",                              // U+0085
    "\xc2\xa0",                              // U+00A0
    "\xe1\x9a\x80",                          // U+1680
    "\xe2\x80\x80", "\xe2\x80\x81", "\xe2\x80\x82", "\xe2\x80\x83",
    "\xe2\x80\x84", "\xe2\x80\x85", "\xe2\x80\x86", "\xe2\x80\x87",
    "\xe2\x80\x88", "\xe2\x80\x89", "\xe2\x80\x8a",  // U+2000..U+200A
    "\xe2\x80\xa8",                          // U+2028
    "\xe2\x80\xa9",                          // U+2029
    "\xe2\x80\xaf",                          // U+202F
    "\xe2\x81\x9f",                          // U+205F
    "\xe3\x80\x80",                          // U+3000
};

// Characters that look like white space, or share bytes with it, but are
// not White_Space, and stray pieces of white space sequences.
const std::vector<std::string> kNotWhiteSpace = {
    "\xef\xbb\xbf",  // U+FEFF byte order mark
    "\xe2\x80\x8b",  // U+200B zero width space
    "\xe1\xa0\x8e",  // U+180E Mongolian vowel separator
    "\xe2\x80\x8c",  // U+200C
    "\xe2\x81\xa0",  // U+2060 word joiner
    "\xe2\x80\xa7",  // U+2027
    "\xe2\x80\xb0",  // U+2030
    "\xe3\x80\x81",  // U+3001
    "\xc2\xa1",      // U+00A1
    "\xc2\x84",      // U+0084
    "\x1c", "\x1f", "\x00"s, "\x7f",
    "\xa0", "\x85", "\xc2", "\xe2\x80", "\x80\x80",
};

TEST(RecordReaderTrimTest, RemovesEveryWhiteSpaceCharacterAtBothEnds) {
  for (const std::string& ws : kWhiteSpace) {
    SCOPED_TRACE(testing::PrintToString(ws));
    EXPECT_EQ(trim_white_space(ws + "x" + ws), "x");
    EXPECT_EQ(trim_white_space(ws + ws + "{a b}" + ws + " " + ws), "{a b}");
    EXPECT_EQ(trim_white_space("x" + ws + "y"), "x" + ws + "y");
    EXPECT_EQ(trim_white_space(ws), "");
  }
  std::string all;
  for (const std::string& ws : kWhiteSpace) all += ws;
  EXPECT_EQ(trim_white_space(all + "\xc3\xa9" + all), "\xc3\xa9");
  EXPECT_EQ(trim_white_space(all + all), "");
  EXPECT_EQ(trim_white_space(""), "");
}

TEST(RecordReaderTrimTest, KeepsCharactersThatAreNotWhiteSpace) {
  for (const std::string& other : kNotWhiteSpace) {
    SCOPED_TRACE(testing::PrintToString(other));
    EXPECT_EQ(trim_white_space(other + "x" + other), other + "x" + other);
    EXPECT_EQ(trim_white_space(" " + other + " "), other);
  }
}

TEST(RecordReaderTrimTest, ReturnsAViewIntoTheLine) {
  const std::string line = "\xc2\xa0 {} \r";
  const std::string_view trimmed = trim_white_space(line);
  EXPECT_EQ(trimmed, "{}");
  EXPECT_EQ(trimmed.data(), line.data() + 3);
}

// ---------------------------------------------------------------------------
// RecordReader

// One read of a text: the records as "token/id/mapped/count" and the error.
struct Reading {
  std::vector<std::string> records;
  std::optional<std::string> error;
};

Reading read_all(std::string_view text) {
  Reading out;
  RecordReader reader(text);
  for (;;) {
    Result<const MappingEntry*> next = reader.next();
    if (!next.ok()) {
      out.error = next.error().display();
      break;
    }
    if (next.value() == nullptr) break;
    const MappingEntry& entry = *next.value();
    out.records.push_back(std::string(entry.token) + "/" +
                          std::to_string(entry.token_id) + "/" +
                          std::to_string(entry.mapped_id) + "/" +
                          (entry.count ? std::to_string(*entry.count) : "-"));
  }
  // Once finished, the reader stays finished.
  Result<const MappingEntry*> after = reader.next();
  EXPECT_TRUE(after.ok() && after.value() == nullptr);
  return out;
}

const std::string kA =
    R"({"token": "a", "token_id": 1, "mapped_id": 0, "count": 9})";
const std::string kB =
    R"({"token": "b\n", "token_id": 2, "mapped_id": 1, "count": 8})";
const std::string kC = R"(["c", 3, -1, null])";
const std::vector<std::string> kABC = {"a/1/0/9", "b\n/2/1/8", "c/3/-1/-"};

struct SplitCase {
  std::string name;
  std::string text;
  std::vector<std::string> records;
};

std::ostream& operator<<(std::ostream& os, const SplitCase& c) {
  return os << c.name;
}

class RecordReaderSplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(RecordReaderSplitTest, DeliversTheRecordsInOrder) {
  const SplitCase& c = GetParam();
  const Reading reading = read_all(c.text);
  EXPECT_EQ(reading.error, std::nullopt);
  EXPECT_EQ(reading.records, c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RecordReaderSplitTest,
    ::testing::Values(
        SplitCase{"Empty", "", {}},
        SplitCase{"OnlyBlankLines", "\n\n \t\n\r\n\xc2\xa0\n   ", {}},
        SplitCase{"FinalLf", kA + "\n" + kB + "\n" + kC + "\n", kABC},
        SplitCase{"NoFinalLf", kA + "\n" + kB + "\n" + kC, kABC},
        SplitCase{"SingleLineNoLf", kA, {"a/1/0/9"}},
        SplitCase{"Crlf", kA + "\r\n" + kB + "\r\n" + kC + "\r\n", kABC},
        SplitCase{"CrlfNoFinalLf", kA + "\r\n" + kB + "\r\n" + kC + "\r", kABC},
        SplitCase{"BlankLinesBetween",
                  "\n\n" + kA + "\n\n  \n\t\t\n" + kB + "\n\r\n" + kC + "\n\n",
                  kABC},
        SplitCase{"SpacesAndTabsAround",
                  "  " + kA + "\t\n\t" + kB + " \n \t " + kC + " \t ", kABC},
        SplitCase{"UnicodeSpaceAround",
                  "\xc2\xa0" + kA + "\xe3\x80\x80\n\xe3\x80\x80" + kB +
                      "\xc2\xa0\xe2\x80\xa8\n\xe2\x80\x83" + kC + "\xc2\x85",
                  kABC}));

struct ReaderFailureCase {
  std::string name;
  std::string text;
  std::vector<std::string> records;  // delivered before the failure
  std::string error;
};

std::ostream& operator<<(std::ostream& os, const ReaderFailureCase& c) {
  return os << c.name;
}

class RecordReaderFailureTest : public ::testing::TestWithParam<ReaderFailureCase> {
};

TEST_P(RecordReaderFailureTest, StopsAtTheFirstFailingLine) {
  const ReaderFailureCase& c = GetParam();
  const Reading reading = read_all(c.text);
  EXPECT_EQ(reading.records, c.records);
  EXPECT_EQ(reading.error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RecordReaderFailureTest,
    ::testing::Values(
        // The byte order mark is kept, and fails.
        ReaderFailureCase{
            "ByteOrderMark", "\xef\xbb\xbf" + kA + "\n" + kB, {},
            "JSON parsing error: Invalid value. at line 1 column 1"},
        // The column counts from the trimmed line, and the line number is
        // always 1.
        ReaderFailureCase{
            "ThirdLine", kA + "\n" + kB + "\n\xc2\xa0  [\"c\", 3]  \n" + kC,
            {"a/1/0/9", "b\n/2/1/8"},
            "JSON parsing error: invalid length 2, expected struct "
            "MappingEntry with 4 elements at line 1 column 8"},
        ReaderFailureCase{"TrailingCharacters", kA + " x\n" + kB, {},
                          "JSON parsing error: trailing characters at line 1 "
                          "column 59"},
        // Only White_Space is trimmed: a zero width space is not, and a
        // lone CR inside a line is JSON white space.
        ReaderFailureCase{"ZeroWidthSpace", kA + "\n" + kB + "\xe2\x80\x8b",
                          {"a/1/0/9"},
                          "JSON parsing error: trailing characters at line 1 "
                          "column 60"},
        ReaderFailureCase{"LastLineWithoutLf", kA + "\n{}", {"a/1/0/9"},
                          "JSON parsing error: missing field `token` at line "
                          "1 column 2"}));

TEST(RecordReaderTest, CrInsideALineIsJsonWhiteSpace) {
  const Reading reading =
      read_all("{\"token\": \"a\",\r\"token_id\": 1,\r\r\"mapped_id\": 0}\r\n");
  EXPECT_EQ(reading.error, std::nullopt);
  EXPECT_EQ(reading.records, std::vector<std::string>{"a/1/0/-"});
}

TEST(RecordReaderTest, TokensStayValidUntilTheNextRecord) {
  // A plain token borrows from the text, an escaped one from the reader.
  const std::string text = kA + "\n" + kB + "\n";
  RecordReader reader(text);
  Result<const MappingEntry*> entry = reader.next();
  ASSERT_TRUE(entry.ok() && entry.value() != nullptr);
  EXPECT_EQ(entry.value()->token.data(), text.data() + 11);
  entry = reader.next();
  ASSERT_TRUE(entry.ok() && entry.value() != nullptr);
  EXPECT_EQ(entry.value()->token, "b\n");
  entry = reader.next();
  EXPECT_TRUE(entry.ok() && entry.value() == nullptr);
}

// ---------------------------------------------------------------------------
// The stored data sets

class RecordReaderDataSetTest : public ::testing::TestWithParam<const char*> {};

// Every line of a stored text is one record, delivered in text order: the
// record at position p carries the mapped id 0, 1, -1, 2, -2, ... of p, and
// the token ids are exactly 0 to N-1.
TEST_P(RecordReaderDataSetTest, ReadsOneRecordPerLineInOrder) {
  const std::string text = read_data_set(GetParam());
  const size_t lines =
      static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  RecordReader reader(text);
  std::vector<bool> seen_id;
  size_t position = 0;
  size_t bad_mapped_ids = 0;
  for (;;) {
    Result<const MappingEntry*> next = reader.next();
    ASSERT_TRUE(next.ok()) << next.error().display();
    if (next.value() == nullptr) break;
    const MappingEntry& entry = *next.value();
    const int64_t p = static_cast<int64_t>(position);
    const int64_t expected = p % 2 == 1 ? (p + 1) / 2 : -(p / 2);
    if (entry.mapped_id != expected) ++bad_mapped_ids;
    if (entry.token_id >= seen_id.size()) seen_id.resize(entry.token_id + 1);
    EXPECT_FALSE(seen_id[entry.token_id]) << entry.token_id;
    seen_id[entry.token_id] = true;
    ASSERT_TRUE(entry.count.has_value());
    ++position;
  }
  EXPECT_EQ(position, lines);
  EXPECT_EQ(seen_id.size(), lines);
  EXPECT_EQ(bad_mapped_ids, 0u);
}

INSTANTIATE_TEST_SUITE_P(DataSets, RecordReaderDataSetTest, ::testing::ValuesIn(kDataSets));

}  // namespace
}  // namespace vonk
