// MappingReader: walks the records of a mapping text (JSON Lines) in order.
#ifndef VONK_MAPPING_MAPPING_READER_H_
#define VONK_MAPPING_MAPPING_READER_H_

#include <optional>
#include <string>
#include <string_view>

#include "error/codec_error.h"
#include "mapping/mapping_entry.h"

namespace vonk {

// Splits a text at LF, trims Unicode White_Space from both ends of each
// line, skips lines left empty and parses the others. The text is borrowed
// and must outlive the reader.
class MappingReader {
 public:
  explicit MappingReader(std::string_view text);

  MappingReader(const MappingReader&) = delete;
  MappingReader& operator=(const MappingReader&) = delete;

  // Reads the next record into *entry and returns true. Returns false at the
  // end of the text or at the first line that fails; error() tells which.
  // entry->token stays valid until the next call.
  bool next(MappingEntryView* entry);

  // The failure that stopped reading, if any.
  const std::optional<CodecError>& error() const { return error_; }

 private:
  std::string_view rest_;
  std::string scratch_;
  std::optional<CodecError> error_;
};

// Removes Unicode White_Space characters (U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000)
// from both ends of `line`. U+FEFF is not white space.
std::string_view trim_white_space(std::string_view line);

}  // namespace vonk

#endif  // VONK_MAPPING_MAPPING_READER_H_
