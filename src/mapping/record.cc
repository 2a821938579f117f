#include "mapping/record.h"

#include "mapping/record_parser.h"

namespace vonk {

Result<MappingEntry> parse_mapping_entry(std::string_view line,
                                         std::string* scratch) {
  // Lines in the stored layout take the fast parser; anything else, and in
  // particular every line that fails, is judged by the general one.
  MappingEntry entry;
  if (parse_mapping_entry_fast(line, scratch, &entry)) return entry;
  return parse_mapping_entry_general(line, scratch);
}

}  // namespace vonk
