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

// The two parsers behind parse_mapping_entry.
//
// Reads a line in exactly the layout that the stored texts use:
//   {"token": "<string>", "token_id": N, "mapped_id": N, "count": N}
// with the escapes of that layout (\" \\ \b \t \n \f \r \uXXXX, surrogate
// escapes paired) and plain printable ASCII in the string. Returns true and
// fills *entry when the line has that layout and every value is in range;
// the token then points into `line`, or into *scratch when it had escapes.
// Returns false, leaving *entry unspecified, on any other input: the caller
// must then use parse_mapping_entry_general, which decides the outcome.
// Invariant: whenever this returns true, parse_mapping_entry_general gives
// the same record (the record and jsonl fuzz targets check it).
bool parse_mapping_entry_fast(std::string_view line, std::string* scratch,
                              MappingEntry* entry);

// Reads any line with the full JSON reader and every record rule: object or
// array form, any key order, skipped unknown keys of any depth, and the
// record-level failure messages. The token always points into *scratch.
Result<MappingEntry> parse_mapping_entry_general(std::string_view line,
                                                 std::string* scratch);

// Parses one trimmed line holding one record in object or array form. A
// token with escapes is decoded into *scratch, which the next parse reuses.
// On failure returns a JsonError whose description is the record reader's
// message, at line 1 and the byte column within `line`. Lines in the stored
// layout take the fast parser; anything else, and in particular every line
// that fails, is judged by the general one.
inline Result<MappingEntry> parse_mapping_entry(std::string_view line,
                                                std::string* scratch) {
  MappingEntry entry;
  if (parse_mapping_entry_fast(line, scratch, &entry)) [[likely]] {
    return entry;
  }
  return parse_mapping_entry_general(line, scratch);
}

}  // namespace vonk

#endif  // VONK_MAPPING_RECORD_H_
