// MappingEntry: one record of a mapping text, and the parser of one line.
#ifndef VONK_MAPPING_RECORD_H_
#define VONK_MAPPING_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/result.h"

namespace vonk {

// One mapping record. The token text is borrowed: it points into the parsed
// line or into the caller's scratch buffer, and is valid as long as both
// are unchanged.
struct MappingEntry {
  std::string_view token;
  uint32_t token_id = 0;
  int32_t mapped_id = 0;
  std::optional<uint32_t> count;  // only orders the records; never stored

  bool operator==(const MappingEntry&) const = default;
};

// Parses one trimmed line holding one record in object or array form. A
// token with escapes is decoded into *scratch, which the next parse reuses.
// On failure returns a JsonError whose description is the record reader's
// message, at line 1 and the byte column within `line`.
Result<MappingEntry> parse_mapping_entry(std::string_view line,
                                         std::string* scratch);

}  // namespace vonk

#endif  // VONK_MAPPING_RECORD_H_
