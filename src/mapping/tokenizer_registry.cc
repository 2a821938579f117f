#include "mapping/tokenizer_registry.h"

#include <array>

// Bounds of the embedded mapping texts (see embedded_data.S.in).
#define VONK_DECLARE_TEXT(name)                  \
  extern "C" const char vonk_data_##name##_begin[]; \
  extern "C" const char vonk_data_##name##_end[];
VONK_DECLARE_TEXT(cl100k_base)
VONK_DECLARE_TEXT(o200k_base)
VONK_DECLARE_TEXT(o200k_harmony)
VONK_DECLARE_TEXT(p50k_base)
VONK_DECLARE_TEXT(p50k_edit)
VONK_DECLARE_TEXT(r50k_base)
#undef VONK_DECLARE_TEXT

namespace vonk {
namespace {

struct Entry {
  std::string_view name;
  const char* begin;
  const char* end;
};

#define VONK_TEXT(name) vonk_data_##name##_begin, vonk_data_##name##_end

// In ascending byte order; `gpt2` shares the bytes of `r50k_base`.
constexpr std::array<Entry, TokenizerRegistry::kNameCount> kEntries = {{
    {"cl100k_base", VONK_TEXT(cl100k_base)},
    {"gpt2", VONK_TEXT(r50k_base)},
    {"o200k_base", VONK_TEXT(o200k_base)},
    {"o200k_harmony", VONK_TEXT(o200k_harmony)},
    {"p50k_base", VONK_TEXT(p50k_base)},
    {"p50k_edit", VONK_TEXT(p50k_edit)},
    {"r50k_base", VONK_TEXT(r50k_base)},
}};

#undef VONK_TEXT

}  // namespace

std::vector<std::string> TokenizerRegistry::list() {
  std::vector<std::string> names;
  names.reserve(kEntries.size());
  for (const Entry& entry : kEntries) names.emplace_back(entry.name);
  return names;
}

std::string_view TokenizerRegistry::name_at(size_t index) {
  return kEntries[index].name;
}

std::optional<std::string_view> TokenizerRegistry::find(std::string_view name) {
  for (const Entry& entry : kEntries) {
    if (entry.name == name) {
      return std::string_view(entry.begin,
                              static_cast<size_t>(entry.end - entry.begin));
    }
  }
  return std::nullopt;
}

}  // namespace vonk
