// RecordReader: walks the records of a mapping text (JSON Lines) in order.
#ifndef VONK_MAPPING_RECORD_READER_H_
#define VONK_MAPPING_RECORD_READER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "error/result.h"
#include "mapping/record.h"

namespace vonk {

// Splits a text at LF, trims Unicode White_Space from both ends of each
// line, skips lines left empty and parses the others. The text is borrowed
// and must outlive the reader.
class RecordReader {
 public:
  explicit RecordReader(std::string_view text) : rest_(text) {}

  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // The next record, or nullptr at the end of the text; the JsonError of
  // the first line that fails, after which the reader is at the end. The
  // record lives in the reader and stays valid, its token too, until the
  // next call. Defined here so that the table builder's loop inlines it.
  Result<const MappingEntry*> next() {
    std::string_view line;
    if (!next_line(&line)) return nullptr;
    Result<MappingEntry> entry = parse_mapping_entry(line, &scratch_);
    if (!entry.ok()) [[unlikely]] {
      rest_ = std::string_view();
      return std::move(entry).error();
    }
    entry_ = entry.value();
    return &entry_;
  }

  // The line of the text (from 1) of the last record read, or of the line
  // that failed.
  uint64_t line_number() const { return line_number_; }

 private:
  // Stores the next line that is not empty after trimming and returns
  // true, or returns false at the end of the text.
  bool next_line(std::string_view* line);

  std::string_view rest_;
  uint64_t line_number_ = 0;
  std::string scratch_;
  MappingEntry entry_;
};

// Removes Unicode White_Space characters (U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000)
// from both ends of `line`. U+FEFF is not white space.
std::string_view trim_white_space(std::string_view line);

}  // namespace vonk

#endif  // VONK_MAPPING_RECORD_READER_H_
