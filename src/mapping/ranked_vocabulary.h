// RankedVocabulary: a vocabulary with one count per token id, ranked by
// count. The ranking decides every mapped id: the token at position p of
// the ranking has mapped id 0, 1, -1, 2, -2, ... so the most frequent
// tokens get the ids of smallest magnitude, which payloads store shortest.
#ifndef VONK_MAPPING_RANKED_VOCABULARY_H_
#define VONK_MAPPING_RANKED_VOCABULARY_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/pod_buffer.h"

namespace vonk {

// The most token ids a vocabulary may have. Mapped ids of larger ones would
// still fit, but the tables take about 40 bytes per id, so a size beyond
// any tokenizer's is refused before anything is allocated.
inline constexpr size_t kMaxVocabularySize = size_t{1} << 28;

// Counts are saved in 32 bits; larger ones are saved as this value, and the
// order of the saved records keeps the ranking.
inline constexpr uint64_t kLargestSavedCount = 0xFFFFFFFFu;

// The mapped id of ranking position p: (p+1)/2 for odd p, -(p/2) for even.
constexpr int32_t mapped_id_at(size_t position) {
  return position % 2 == 1 ? static_cast<int32_t>((position + 1) / 2)
                           : -static_cast<int32_t>(position / 2);
}

struct RankedVocabulary {
  // ranking[p] is the token id at position p: a permutation of 0..n-1.
  PodBuffer<uint32_t> ranking;
  // counts[id], one per token id.
  PodBuffer<uint64_t> counts;
  // The text of token id i is texts[text_ends[i-1] .. text_ends[i]) (from 0
  // for id 0), UTF-8. Both are empty when the vocabulary has no texts.
  PodBuffer<char> texts;
  PodBuffer<uint64_t> text_ends;

  size_t size() const { return counts.size(); }
  bool has_texts() const { return !text_ends.empty(); }
  std::string_view text(uint32_t token_id) const {
    const uint64_t begin = token_id == 0 ? 0 : text_ends[token_id - 1];
    return std::string_view(texts.data() + begin, text_ends[token_id] - begin);
  }
};

// The ids 0..counts.size()-1 by count descending, equal counts by id
// ascending.
PodBuffer<uint32_t> rank_by_counts(std::span<const uint64_t> counts);

// Why `ranking` cannot rank `counts`, or nothing when it can: it must hold
// every id 0..n-1 once, by count descending, and equal counts by id
// ascending, except that counts of kLargestSavedCount and more may come in
// any order among themselves (a saved file keeps their order, not their
// values). The position the fault was found at goes to *position.
std::optional<std::string> check_ranking(std::span<const uint32_t> ranking,
                                         std::span<const uint64_t> counts,
                                         size_t* position);

}  // namespace vonk

#endif  // VONK_MAPPING_RANKED_VOCABULARY_H_
