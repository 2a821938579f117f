// The two parsers behind parse_mapping_entry. Internal to src/mapping (and
// its tests): callers use record.h.
#ifndef VONK_MAPPING_RECORD_PARSER_H_
#define VONK_MAPPING_RECORD_PARSER_H_

#include <string>
#include <string_view>

#include "error/result.h"
#include "mapping/record.h"

namespace vonk {

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
// Failures are JsonErrors at line 1.
Result<MappingEntry> parse_mapping_entry_general(std::string_view line,
                                                 std::string* scratch);

}  // namespace vonk

#endif  // VONK_MAPPING_RECORD_PARSER_H_
