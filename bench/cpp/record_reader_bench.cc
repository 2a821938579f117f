// Times the record readers over a stored mapping text: the whole
// RecordReader pass, the fast parser alone and the general parser alone,
// in ns per line (best of several rounds).
//   record_reader_bench [file]   (default: data/o200k_harmony.jsonl)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "mapping/record.h"
#include "mapping/record_reader.h"

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
    vonk::RecordReader r(text);
    for (;;) {
      vonk::Result<const vonk::MappingEntry*> next = r.next();
      if (!next.ok()) std::abort();
      if (next.value() == nullptr) break;
      sink += next.value()->token.size() + next.value()->token_id;
    }
  });
  std::string scratch;
  vonk::MappingEntry e;
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
      vonk::Result<vonk::MappingEntry> g =
          vonk::parse_mapping_entry_general(line, &scratch);
      if (!g.ok()) std::abort();
      sink += g.value().token.size() + g.value().token_id;
    }
  });
  std::printf("%s: %zu lines, %zu bytes, %zu in the fast layout\n",
              path.c_str(), lines.size(), text.size(), fast_lines);
  std::printf("RecordReader pass:   %8.3f ms  %6.1f ns/line\n", reader / 1e6,
              reader / n);
  std::printf("fast parser only:    %8.3f ms  %6.1f ns/line\n", fast / 1e6,
              fast / n);
  std::printf("general parser only: %8.3f ms  %6.1f ns/line\n", general / 1e6,
              general / n);
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sink));
  return 0;
}
