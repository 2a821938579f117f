// MappingEntry: one record of a mapping text, and the parser of one line.
#ifndef VONK_MAPPING_MAPPING_ENTRY_H_
#define VONK_MAPPING_MAPPING_ENTRY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/result.h"

namespace vonk {

// One mapping record with an owned token text.
struct MappingEntry {
  std::string token;
  uint32_t token_id = 0;
  int32_t mapped_id = 0;
  std::optional<uint32_t> count;  // only orders the records; never stored

  bool operator==(const MappingEntry&) const = default;
};

// One mapping record whose token text is borrowed: it points into the line
// or into a scratch buffer and is valid until the next parse.
struct MappingEntryView {
  std::string_view token;
  uint32_t token_id = 0;
  int32_t mapped_id = 0;
  std::optional<uint32_t> count;
};

// Parses one trimmed line holding one record in object or array form.
// On failure returns a JsonError whose description is the record reader's
// message, at line 1 and the byte column within `line`.
Result<MappingEntry> parse_mapping_entry(std::string_view line);

// As parse_mapping_entry, without owning the token: unescaped text goes to
// *scratch when the line's token has escapes. Returns the error, if any.
std::optional<CodecError> parse_mapping_entry_view(std::string_view line,
                                                   std::string* scratch,
                                                   MappingEntryView* entry);

}  // namespace vonk

#endif  // VONK_MAPPING_MAPPING_ENTRY_H_
