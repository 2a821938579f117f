// Prints how long turning each embedded mapping text into its tables takes
// in a warm process, split into reading the records and building the
// tables, and how much memory the tables hold.
//
//   mapping_bench [RUNS]
//
// A warm process has the text paged in and the allocator primed, so this is
// the parsing and building alone; `bench/run.py --only load` measures the
// first load of a fresh Python process, page faults and all. Each figure is
// the median of RUNS runs (default 5).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "mapping/record_reader.h"
#include "mapping/token_mapping.h"
#include "mapping/tokenizer_registry.h"

namespace {

// Median wall time of `runs` calls of `f`, in ms.
template <typename F>
double median_ms(int runs, F&& f) {
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    times.push_back(std::chrono::duration<double, std::milli>(
                        std::chrono::steady_clock::now() - start)
                        .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  if (runs < 1) {
    std::fprintf(stderr, "usage: %s [RUNS], RUNS a positive count (5)\n", argv[0]);
    return 2;
  }
  std::printf("median of %d runs in one warm process\n", runs);
  std::printf("%-14s %8s %8s %9s %9s %9s %9s %9s\n", "tokenizer", "MB text", "records",
              "read ms", "load ms", "read ns", "load ns", "table MB");
  for (const std::string& name : vonk::TokenizerRegistry::list()) {
    const std::string_view text = *vonk::TokenizerRegistry::find(name);
    size_t records = 0, table_bytes = 0;
    const double read = median_ms(runs, [&] {
      vonk::RecordReader reader(text);
      records = 0;
      for (auto next = reader.next(); next.ok() && next.value() != nullptr; next = reader.next()) {
        ++records;
      }
    });
    // Every run's tables are kept until all are timed: freeing is not timed.
    std::vector<std::shared_ptr<const vonk::TokenMapping>> kept;
    const double load = median_ms(runs, [&] {
      auto mapping = vonk::TokenMapping::from_jsonl(text);
      if (!mapping.ok()) {
        std::fprintf(stderr, "%s: %s\n", name.c_str(), mapping.error().display().c_str());
        std::exit(1);
      }
      kept.push_back(mapping.value());
    });
    table_bytes = kept.back()->memory_usage();
    std::printf("%-14s %8.2f %8zu %9.2f %9.2f %9.1f %9.1f %9.2f\n", name.c_str(),
                text.size() / 1e6, records, read, load, read * 1e6 / records,
                load * 1e6 / records, table_bytes / 1048576.0);
  }
  return 0;
}
