// The stored data sets, read from the source tree (VONK_SOURCE_DIR).
#ifndef VONK_TESTS_CPP_DATA_SETS_H_
#define VONK_TESTS_CPP_DATA_SETS_H_

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace vonk {

// The data sets, each stored as data/NAME.jsonl.
inline const char* const kDataSets[] = {"cl100k_base", "o200k_base", "o200k_harmony",
                                        "p50k_base",   "p50k_edit",  "r50k_base"};

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
