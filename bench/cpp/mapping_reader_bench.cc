// Times the record readers over a stored mapping text: the whole
// MappingReader pass, the fast parser alone and the general parser alone,
// in ns per line (best of several rounds).
//   mapping_reader_bench [file]   (default: data/o200k_harmony.jsonl)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "mapping/mapping_reader.h"
#include "mapping/record_parser.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double best_ns(int rounds, F&& f) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    f();
    const auto stop = Clock::now();
    best = std::min(best,
                    std::chrono::duration<double, std::nano>(stop - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path =
      argc > 1 ? argv[1]
               : std::string(VONK_SOURCE_DIR) + "/data/o200k_harmony.jsonl";
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  std::vector<std::string_view> lines;
  for (std::string_view rest = text; !rest.empty();) {
    const size_t lf = rest.find('\n');
    lines.push_back(rest.substr(0, lf));
    if (lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
  }
  if (lines.empty()) {
    std::printf("%s: no lines\n", path.c_str());
    return 1;
  }
  const double n = static_cast<double>(lines.size());
  uint64_t sink = 0;

  const double reader = best_ns(20, [&] {
    vonk::MappingReader r(text);
    vonk::MappingEntryView e;
    while (r.next(&e)) sink += e.token.size() + e.token_id;
    if (r.error()) std::abort();
  });
  std::string scratch;
  vonk::MappingEntryView e;
  size_t fast_lines = 0;
  const double fast = best_ns(20, [&] {
    fast_lines = 0;
    for (std::string_view line : lines) {
      if (vonk::parse_mapping_entry_fast(line, &scratch, &e)) {
        ++fast_lines;
        sink += e.token.size() + e.token_id;
      }
    }
  });
  const double general = best_ns(3, [&] {
    for (std::string_view line : lines) {
      if (vonk::parse_mapping_entry_general(line, &scratch, &e)) std::abort();
      sink += e.token.size() + e.token_id;
    }
  });
  std::printf("%s: %zu lines, %zu bytes, %zu in the fast layout\n",
              path.c_str(), lines.size(), text.size(), fast_lines);
  std::printf("MappingReader pass:  %8.3f ms  %6.1f ns/line\n", reader / 1e6,
              reader / n);
  std::printf("fast parser only:    %8.3f ms  %6.1f ns/line\n", fast / 1e6,
              fast / n);
  std::printf("general parser only: %8.3f ms  %6.1f ns/line\n", general / 1e6,
              general / n);
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sink));
  return 0;
}
