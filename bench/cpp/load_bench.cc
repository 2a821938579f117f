// Prints how long the first load of each tokenizer's mapping takes and how
// much memory the loaded tables hold.
//
//   load_bench [RUNS]
//
// Each first load is measured in a fresh process (this program runs itself
// with --child NAME), as a Python process would see it; the median of RUNS
// processes is printed, beside the median of repeated loads in one warm
// process and the tables' own byte count and the resident-set growth.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "mapping/mapping_cache.h"
#include "mapping/token_mapping.h"
#include "mapping/tokenizer_registry.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

long resident_bytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  long pages_total = 0, pages_resident = 0;
  if (f != nullptr) {
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) {
      pages_resident = 0;
    }
    std::fclose(f);
  }
  return pages_resident * sysconf(_SC_PAGESIZE);
}

// One first load in this process: prints milliseconds, RSS growth, table
// bytes.
int child(const char* name) {
  long before = resident_bytes();
  auto start = Clock::now();
  auto mapping = vonk::load_mapping(name);
  double ms =
      std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!mapping.ok()) {
    std::fprintf(stderr, "%s\n", mapping.error().display().c_str());
    return 1;
  }
  long grown = resident_bytes() - before;
  std::printf("%.4f %ld %zu\n", ms, grown, mapping.value()->memory_usage());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return child(argv[2]);
  int runs = argc > 1 ? std::atoi(argv[1]) : 11;
  if (runs < 1) {
    std::fprintf(stderr, "usage: %s [RUNS], RUNS a positive count (11)\n",
                 argv[0]);
    return 2;
  }

  std::printf("%-14s %9s %10s %10s %12s %12s %12s\n", "tokenizer", "MB text",
              "first ms", "warm ms", "ns/record", "table MB", "RSS +MB");
  for (const std::string& name : vonk::TokenizerRegistry::list()) {
    std::string_view text = *vonk::TokenizerRegistry::find(name);

    std::vector<double> first, grown;
    size_t table_bytes = 0;
    for (int r = 0; r < runs; ++r) {
      std::string command =
          std::string("'") + argv[0] + "' --child " + name;
      FILE* pipe = popen(command.c_str(), "r");
      double ms = 0;
      long rss = 0;
      size_t bytes = 0;
      if (pipe == nullptr || std::fscanf(pipe, "%lf %ld %zu", &ms, &rss,
                                         &bytes) != 3) {
        std::fprintf(stderr, "child run failed for %s\n", name.c_str());
        return 1;
      }
      pclose(pipe);
      first.push_back(ms);
      grown.push_back(static_cast<double>(rss));
      table_bytes = bytes;
    }

    std::vector<double> warm;
    size_t records = 0;
    for (int r = 0; r < 5; ++r) {
      auto start = Clock::now();
      auto mapping = vonk::TokenMapping::from_jsonl(text);
      warm.push_back(std::chrono::duration<double, std::milli>(Clock::now() -
                                                               start)
                         .count());
      records = mapping.value()->token_id_count();
    }
    std::printf("%-14s %9.2f %10.2f %10.2f %12.1f %12.2f %12.2f\n",
                name.c_str(), text.size() / 1e6, median(first), median(warm),
                median(warm) * 1e6 / static_cast<double>(records),
                table_bytes / 1048576.0, median(grown) / 1048576.0);
  }
  return 0;
}
