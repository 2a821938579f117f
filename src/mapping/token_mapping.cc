#include "mapping/token_mapping.h"

#include <limits>
#include <utility>

#include "error/fatal_error.h"
#include "mapping/record_reader.h"

namespace vonk {
namespace {

// Stored lines are at least 60 bytes long and their tokens a tenth of the
// text; reserving from these figures lets a stored text load without
// regrowing. Other texts grow their buffers as needed.
constexpr size_t kShortestStoredLine = 60;

}  // namespace

// Slots are prefetched a few records ahead: the table is larger than the
// caches, and its probes are the main cost of building it.
void TokenIndex::build(const TableRecords& records, const TextArena& arena) {
  size_t capacity = 16;
  while (capacity < 2 * records.size()) capacity *= 2;
  slots_.assign_zeroed(capacity);
  mask_ = capacity - 1;
  shift_ = 64 - std::countr_zero(capacity);
  constexpr size_t kAhead = 16;
  uint64_t ahead[kAhead];
  const size_t n = records.size();
  for (size_t i = 0; i < n && i < kAhead; ++i) {
    ahead[i] = fx_hash(text_of(records[i], arena));
  }
  for (size_t i = 0; i < n; ++i) {
    const uint64_t hash = ahead[i % kAhead];
    if (i + kAhead < n) {
      const uint64_t next = fx_hash(text_of(records[i + kAhead], arena));
      ahead[i % kAhead] = next;
      __builtin_prefetch(&slots_[home(next)], 1);
    }
    insert(hash, static_cast<uint32_t>(i), records, arena);
  }
}

void TokenIndex::insert(uint64_t hash, uint32_t index,
                        const TableRecords& records, const TextArena& arena) {
  const uint64_t tag = tag_of(hash);
  const uint64_t entry = (tag << 32) | (uint64_t{index} + 1);
  const std::string_view token = text_of(records[index], arena);
  for (size_t at = home(hash);; at = (at + 1) & mask_) {
    const uint64_t slot = slots_[at];
    if (slot == 0) {
      slots_[at] = entry;
      ++size_;
      return;
    }
    if ((slot >> 32) == tag &&
        text_of(records[static_cast<uint32_t>(slot) - 1], arena) == token) {
      slots_[at] = entry;  // a later record wins
      return;
    }
  }
}

Result<std::shared_ptr<const TokenMapping>> TokenMapping::from_jsonl(
    std::string_view text) {
  std::shared_ptr<TokenMapping> mapping(new TokenMapping());
  TableRecords& records = mapping->records_;
  TextArena& arena = mapping->arena_;
  records.reserve(text.size() / kShortestStoredLine + 16);
  arena.reserve(text.size() / 8 + 64);

  RecordReader reader(text);
  for (;;) {
    Result<const MappingEntry*> next = reader.next();
    if (!next.ok()) return std::move(next).error();
    if (next.value() == nullptr) break;
    const MappingEntry& entry = *next.value();
    if (arena.size() + entry.token.size() >
            std::numeric_limits<uint32_t>::max() ||
        records.size() >= std::numeric_limits<uint32_t>::max() - 1) {
      fatal_error("mapping text too large");
    }
    records.push_back(TableRecord{static_cast<uint32_t>(arena.size()),
                                  static_cast<uint32_t>(entry.token.size()),
                                  entry.token_id, entry.mapped_id});
    arena.append(entry.token.data(), entry.token.size());
  }

  mapping->index_records();
  return std::shared_ptr<const TokenMapping>(std::move(mapping));
}

void TokenMapping::index_records() {
  const TableRecords& records = records_;
  token_to_record_.build(records, arena_);
  token_id_to_mapped_id_.build(
      records.size(), [&](size_t i) { return records[i].token_id; },
      [&](size_t i) { return records[i].mapped_id; });
  mapped_id_to_token_id_.build(
      records.size(), [&](size_t i) { return mapped_key(records[i].mapped_id); },
      [&](size_t i) { return records[i].token_id; });
  mapped_id_to_record_.build(
      records.size(), [&](size_t i) { return mapped_key(records[i].mapped_id); },
      [](size_t i) { return static_cast<uint32_t>(i); });
}

std::shared_ptr<const TokenMapping> TokenMapping::from_vocabulary(
    const RankedVocabulary& vocabulary) {
  std::shared_ptr<TokenMapping> mapping(new TokenMapping());
  const std::span<const uint32_t> ranking(vocabulary.ranking.data(),
                                          vocabulary.ranking.size());
  if (!vocabulary.has_texts()) {
    // The ranking is a permutation, so both id tables are dense arrays.
    mapping->token_id_to_mapped_id_.build(
        ranking.size(), [&](size_t p) { return ranking[p]; },
        [](size_t p) { return mapped_id_at(p); });
    mapping->mapped_id_to_token_id_.build(
        ranking.size(), [](size_t p) { return mapped_key(mapped_id_at(p)); },
        [&](size_t p) { return ranking[p]; });
    return mapping;
  }
  if (vocabulary.texts.size() > std::numeric_limits<uint32_t>::max()) {
    fatal_error("token texts of 4 GiB or more");
  }
  mapping->arena_.append(vocabulary.texts.data(), vocabulary.texts.size());
  TableRecords& records = mapping->records_;
  records.resize(ranking.size());
  for (size_t p = 0; p < ranking.size(); ++p) {
    const uint32_t id = ranking[p];
    const uint64_t begin = id == 0 ? 0 : vocabulary.text_ends[id - 1];
    records[p] = TableRecord{
        static_cast<uint32_t>(begin),
        static_cast<uint32_t>(vocabulary.text_ends[id] - begin), id,
        mapped_id_at(p)};
  }
  mapping->index_records();
  return mapping;
}

size_t TokenMapping::memory_usage() const {
  return sizeof(TokenMapping) + arena_.memory_usage() +
         records_.memory_usage() + token_to_record_.memory_usage() +
         token_id_to_mapped_id_.memory_usage() +
         mapped_id_to_token_id_.memory_usage() +
         mapped_id_to_record_.memory_usage();
}

}  // namespace vonk
