// The stored data sets, read from the source tree (VONK_SOURCE_DIR).
#ifndef VONK_TESTS_CPP_DATA_SETS_H_
#define VONK_TESTS_CPP_DATA_SETS_H_

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace vonk {

// kDataSets: the data sets, each stored as data/NAME.jsonl; kAliases: each
// further name with the data set it selects. Both come from the build's
// lists, so that the tests check the registry against what was declared.
#include "data_set_names.h"

// Every tokenizer name, in ascending byte order.
inline std::vector<std::string> tokenizer_names() {
  std::vector<std::string> names(std::begin(kDataSets), std::end(kDataSets));
  for (const auto& alias : kAliases) names.push_back(alias[0]);
  std::sort(names.begin(), names.end());
  return names;
}

// The data set that tokenizer `name` selects.
inline std::string data_set_of(const std::string& name) {
  for (const auto& alias : kAliases) {
    if (name == alias[0]) return alias[1];
  }
  return name;
}

// The names as the not-found error lists them.
inline std::string listed_names() {
  std::string out;
  for (const std::string& name : tokenizer_names()) {
    out += (out.empty() ? "" : ", ") + name;
  }
  return out;
}

// The bytes of data/NAME.jsonl; empty when the file cannot be read.
inline std::string read_data_set(const std::string& name) {
  std::ifstream in(std::string(VONK_SOURCE_DIR) + "/data/" + name + ".jsonl",
                   std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of `text`, without their line feeds.
inline std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    lines.push_back(text.substr(0, lf));
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

}  // namespace vonk

#endif  // VONK_TESTS_CPP_DATA_SETS_H_
