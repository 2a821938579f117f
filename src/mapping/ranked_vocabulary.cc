#include "mapping/ranked_vocabulary.h"

#include <algorithm>
#include <vector>

namespace vonk {

// Tokens never seen are most of a large vocabulary and already in id order:
// they go to the end without sorting. The others sort as one 64-bit key
// each when their counts fit 32 bits (count inverted above the id, so that
// ascending keys are counts descending, ids ascending), else as pairs.
PodBuffer<uint32_t> rank_by_counts(std::span<const uint64_t> counts) {
  const size_t n = counts.size();
  PodBuffer<uint32_t> ranking;
  ranking.resize(n);
  size_t seen = 0;
  uint64_t largest = 0;
  for (size_t id = 0; id < n; ++id) {
    if (counts[id] != 0) {
      ++seen;
      largest = std::max(largest, counts[id]);
    }
  }
  size_t zero_at = seen;
  if (largest <= 0xFFFFFFFFu) {
    PodBuffer<uint64_t> keys;
    keys.resize(seen);
    size_t k = 0;
    for (size_t id = 0; id < n; ++id) {
      if (counts[id] == 0) {
        ranking[zero_at++] = static_cast<uint32_t>(id);
      } else {
        keys[k++] = ((0xFFFFFFFFu - counts[id]) << 32) | id;
      }
    }
    std::sort(keys.begin(), keys.end());
    for (size_t i = 0; i < seen; ++i) {
      ranking[i] = static_cast<uint32_t>(keys[i]);
    }
  } else {
    size_t k = 0;
    for (size_t id = 0; id < n; ++id) {
      (counts[id] == 0 ? ranking[zero_at++] : ranking[k++]) =
          static_cast<uint32_t>(id);
    }
    std::sort(ranking.begin(), ranking.begin() + seen,
              [&](uint32_t a, uint32_t b) {
                return counts[a] != counts[b] ? counts[a] > counts[b] : a < b;
              });
  }
  return ranking;
}

std::optional<std::string> check_ranking(std::span<const uint32_t> ranking,
                                         std::span<const uint64_t> counts,
                                         size_t* position) {
  const size_t n = counts.size();
  if (ranking.size() != n) {
    *position = std::min(ranking.size(), n);
    return "the ranking holds " + std::to_string(ranking.size()) +
           " ids for " + std::to_string(n) + " counts";
  }
  std::vector<bool> placed(n);
  for (size_t p = 0; p < n; ++p) {
    *position = p;
    const uint32_t id = ranking[p];
    if (id >= n) {
      return "token id " + std::to_string(id) +
             " is beyond the last id of a vocabulary of " + std::to_string(n) +
             " ids";
    }
    if (placed[id]) return "token id " + std::to_string(id) + " appears twice";
    placed[id] = true;
    if (p == 0) continue;
    const uint32_t before = ranking[p - 1];
    if (counts[id] > counts[before]) {
      return "count " + std::to_string(counts[id]) + " of token id " +
             std::to_string(id) + " follows the smaller count " +
             std::to_string(counts[before]) +
             ": records go by count descending";
    }
    if (counts[id] == counts[before] && id < before &&
        counts[id] < kLargestSavedCount) {
      return "token id " + std::to_string(id) + " follows token id " +
             std::to_string(before) + " of the same count " +
             std::to_string(counts[id]) +
             ": equal counts go by token id ascending";
    }
  }
  return std::nullopt;
}

}  // namespace vonk
