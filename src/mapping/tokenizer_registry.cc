#include "mapping/tokenizer_registry.h"

#include "mapping/tokenizer_table.h"  // generated

namespace vonk {

std::vector<std::string> TokenizerRegistry::list() {
  std::vector<std::string> names;
  names.reserve(std::size(kTokenizerTable));
  for (const TokenizerTableEntry& entry : kTokenizerTable) {
    names.emplace_back(entry.name);
  }
  return names;
}

std::optional<std::string_view> TokenizerRegistry::find(std::string_view name) {
  for (const TokenizerTableEntry& entry : kTokenizerTable) {
    if (entry.name == name) {
      return std::string_view(entry.begin,
                              static_cast<size_t>(entry.end - entry.begin));
    }
  }
  return std::nullopt;
}

}  // namespace vonk
