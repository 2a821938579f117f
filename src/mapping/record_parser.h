// The two parsers behind parse_mapping_entry_view. Internal to src/mapping
// (and its tests): callers use mapping_entry.h.
#ifndef VONK_MAPPING_RECORD_PARSER_H_
#define VONK_MAPPING_RECORD_PARSER_H_

#include <optional>
#include <string>
#include <string_view>

#include "error/codec_error.h"
#include "mapping/mapping_entry.h"

namespace vonk {

// Reads a line in exactly the layout that the stored texts use:
//   {"token": "<string>", "token_id": N, "mapped_id": N, "count": N}
// with the escapes of that layout (\" \\ \b \t \n \f \r \uXXXX, surrogate
// escapes paired) and plain printable ASCII in the string. Returns true and
// fills *entry when the line has that layout and every value is in range;
// the token then points into `line`, or into *scratch when it had escapes.
// Returns false, leaving *entry unspecified, on any other input: the caller
// must then use parse_mapping_entry_general, which decides the outcome.
// Whenever this returns true, parse_mapping_entry_general gives the same
// record.
bool parse_mapping_entry_fast(std::string_view line, std::string* scratch,
                              MappingEntryView* entry);

// Reads any line with the full JSON reader and every record rule: object or
// array form, any key order, skipped unknown keys of any depth, and the
// record-level failure messages. The token always points into *scratch.
// Returns the failure, if any, as a JsonError at line 1.
std::optional<CodecError> parse_mapping_entry_general(std::string_view line,
                                                      std::string* scratch,
                                                      MappingEntryView* entry);

}  // namespace vonk

#endif  // VONK_MAPPING_RECORD_PARSER_H_
