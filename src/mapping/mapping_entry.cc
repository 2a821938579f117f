#include "mapping/mapping_entry.h"

#include <utility>

#include "mapping/record_parser.h"

namespace vonk {

std::optional<CodecError> parse_mapping_entry_view(std::string_view line,
                                                   std::string* scratch,
                                                   MappingEntryView* entry) {
  // Lines in the stored layout take the fast parser; anything else, and in
  // particular every line that fails, is judged by the general one.
  if (parse_mapping_entry_fast(line, scratch, entry)) return std::nullopt;
  return parse_mapping_entry_general(line, scratch, entry);
}

Result<MappingEntry> parse_mapping_entry(std::string_view line) {
  std::string scratch;
  MappingEntryView view;
  if (std::optional<CodecError> error =
          parse_mapping_entry_view(line, &scratch, &view)) {
    return std::move(*error);
  }
  return MappingEntry{std::string(view.token), view.token_id, view.mapped_id,
                      view.count};
}

}  // namespace vonk
