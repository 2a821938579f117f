// TokenizerRegistry: the fixed table of tokenizer names and the embedded
// mapping text each name selects. The table is generated at build time from
// the data-set list in CMakeLists.txt.
#ifndef VONK_MAPPING_TOKENIZER_REGISTRY_H_
#define VONK_MAPPING_TOKENIZER_REGISTRY_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vonk {

class TokenizerRegistry {
 public:
  // The tokenizer names in their fixed order, as a new list.
  static std::vector<std::string> list();

  // The mapping text selected by `name`, compared byte for byte over its
  // whole length; absent for any other string. The text is read-only data
  // that lives as long as the process.
  static std::optional<std::string_view> find(std::string_view name);
};

}  // namespace vonk

#endif  // VONK_MAPPING_TOKENIZER_REGISTRY_H_
