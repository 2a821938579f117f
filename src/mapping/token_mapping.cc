#include "mapping/token_mapping.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <unordered_map>
#include <utility>

#include "error/fatal_error.h"
#include "mapping/fx_hash.h"
#include "mapping/mapping_reader.h"

namespace vonk {
namespace {

// One record as kept by the tables; its text lives in the arena.
struct Record {
  uint32_t token_offset;
  uint32_t token_size;
  uint32_t token_id;
  int32_t mapped_id;
};

// Maps a 32-bit key to the last record that carries it: a dense array when
// the keys fill their range well (as token ids and mapped ids of real data
// do), a hash map otherwise.
class IdIndex {
 public:
  template <typename KeyOf>
  void build(const std::vector<Record>& records, KeyOf key_of) {
    if (records.empty()) return;
    uint32_t low = std::numeric_limits<uint32_t>::max();
    uint32_t high = 0;
    for (const Record& record : records) {
      uint32_t key = key_of(record);
      low = std::min(low, key);
      high = std::max(high, key);
    }
    uint64_t span = uint64_t{high} - low + 1;
    if (span <= 2 * uint64_t{records.size()} + 64) {
      base_ = low;
      dense_.assign(span, kAbsent);
      for (size_t i = 0; i < records.size(); ++i) {
        dense_[key_of(records[i]) - low] = static_cast<uint32_t>(i);
      }
    } else {
      sparse_.reserve(records.size());
      for (size_t i = 0; i < records.size(); ++i) {
        sparse_[key_of(records[i])] = static_cast<uint32_t>(i);
      }
    }
  }

  // The index of the last record with `key`, or false.
  bool find(uint32_t key, uint32_t* record) const {
    if (!dense_.empty()) {
      uint32_t offset = key - base_;  // wraps for keys below base_
      if (offset >= dense_.size()) return false;
      uint32_t found = dense_[offset];
      if (found == kAbsent) return false;
      *record = found;
      return true;
    }
    auto it = sparse_.find(key);
    if (it == sparse_.end()) return false;
    *record = it->second;
    return true;
  }

  size_t size() const {
    if (!dense_.empty()) {
      return static_cast<size_t>(
          std::count_if(dense_.begin(), dense_.end(),
                        [](uint32_t r) { return r != kAbsent; }));
    }
    return sparse_.size();
  }

  size_t memory_usage() const {
    return dense_.capacity() * sizeof(uint32_t) +
           sparse_.bucket_count() * sizeof(void*) +
           sparse_.size() * (sizeof(std::pair<uint32_t, uint32_t>) +
                             2 * sizeof(void*));
  }

 private:
  static constexpr uint32_t kAbsent = std::numeric_limits<uint32_t>::max();

  uint32_t base_ = 0;
  std::vector<uint32_t> dense_;
  std::unordered_map<uint32_t, uint32_t, FxHasher> sparse_;
};

// Maps a token text to the last record that carries it: open addressing
// with linear probing. A slot holds the high half of the key's hash and the
// record index plus one (0 marks an empty slot).
class TokenIndex {
 public:
  // Inserts every record in order; `hashes` holds fx_hash of each record's
  // text. Slots are prefetched a few records ahead: the table is larger
  // than the caches, and its probes are the main cost of building it.
  void build(const std::vector<Record>& records,
             const std::vector<uint64_t>& hashes, const std::string& arena) {
    size_t capacity = 16;
    while (capacity < 2 * records.size()) capacity *= 2;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    constexpr size_t kAhead = 16;
    for (size_t i = 0; i < records.size(); ++i) {
      if (i + kAhead < records.size()) {
        __builtin_prefetch(&slots_[hashes[i + kAhead] & mask_], 1);
      }
      const uint64_t hash = hashes[i];
      const uint64_t tag = hash >> 32;
      for (size_t at = hash & mask_;; at = (at + 1) & mask_) {
        const uint64_t slot = slots_[at];
        if (slot == 0) {
          slots_[at] = (tag << 32) | (i + 1);
          ++size_;
          break;
        }
        if ((slot >> 32) == tag &&
            text_of(records[(slot & 0xFFFFFFFF) - 1], arena) ==
                text_of(records[i], arena)) {
          slots_[at] = (tag << 32) | (i + 1);  // a later record wins
          break;
        }
      }
    }
  }

  bool find(std::string_view token, const std::vector<Record>& records,
            const std::string& arena, uint32_t* record) const {
    if (slots_.empty()) return false;
    uint64_t hash = fx_hash(token);
    uint64_t tag = hash >> 32;
    for (size_t at = hash & mask_;; at = (at + 1) & mask_) {
      uint64_t slot = slots_[at];
      if (slot == 0) return false;
      if ((slot >> 32) == tag) {
        uint32_t index = static_cast<uint32_t>(slot & 0xFFFFFFFF) - 1;
        if (text_of(records[index], arena) == token) {
          *record = index;
          return true;
        }
      }
    }
  }

  size_t size() const { return size_; }
  size_t memory_usage() const { return slots_.capacity() * sizeof(uint64_t); }

  static std::string_view text_of(const Record& record,
                                  const std::string& arena) {
    return std::string_view(arena.data() + record.token_offset,
                            record.token_size);
  }

 private:
  std::vector<uint64_t> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

// Mapped ids as order-preserving unsigned keys.
uint32_t mapped_key(int32_t mapped_id) {
  return static_cast<uint32_t>(mapped_id) ^ 0x80000000u;
}

}  // namespace

struct TokenMapping::Tables {
  std::string arena;            // every token text, back to back
  std::vector<Record> records;  // in text order
  TokenIndex token_to_record;
  IdIndex token_id_to_record;
  IdIndex mapped_id_to_record;
};

TokenMapping::TokenMapping(std::unique_ptr<Tables> tables)
    : tables_(std::move(tables)) {}

TokenMapping::~TokenMapping() = default;

Result<std::shared_ptr<const TokenMapping>> TokenMapping::from_jsonl(
    std::string_view text) {
  auto tables = std::make_unique<Tables>();
  std::vector<uint64_t> hashes;  // fx_hash of each record's text
  MappingReader reader(text);
  MappingEntryView entry;
  while (reader.next(&entry)) {
    if (tables->arena.size() + entry.token.size() >
            std::numeric_limits<uint32_t>::max() ||
        tables->records.size() >= std::numeric_limits<uint32_t>::max() - 1) {
      fatal_error("mapping text too large");
    }
    tables->records.push_back(
        Record{static_cast<uint32_t>(tables->arena.size()),
               static_cast<uint32_t>(entry.token.size()), entry.token_id,
               entry.mapped_id});
    tables->arena.append(entry.token);
    // Hash while the text is still in the cache.
    hashes.push_back(fx_hash(entry.token));
  }
  if (reader.error().has_value()) return *reader.error();

  const std::vector<Record>& records = tables->records;
  tables->token_to_record.build(records, hashes, tables->arena);
  tables->token_id_to_record.build(
      records, [](const Record& r) { return r.token_id; });
  tables->mapped_id_to_record.build(
      records, [](const Record& r) { return mapped_key(r.mapped_id); });
  return std::shared_ptr<const TokenMapping>(
      new TokenMapping(std::move(tables)));
}

bool TokenMapping::find_mapped_id(std::string_view token,
                                  int32_t* mapped_id) const {
  uint32_t record;
  if (!tables_->token_to_record.find(token, tables_->records, tables_->arena,
                                     &record)) {
    return false;
  }
  *mapped_id = tables_->records[record].mapped_id;
  return true;
}

bool TokenMapping::find_mapped_id(uint32_t token_id, int32_t* mapped_id) const {
  uint32_t record;
  if (!tables_->token_id_to_record.find(token_id, &record)) return false;
  *mapped_id = tables_->records[record].mapped_id;
  return true;
}

bool TokenMapping::find_token_id(int32_t mapped_id, uint32_t* token_id) const {
  uint32_t record;
  if (!tables_->mapped_id_to_record.find(mapped_key(mapped_id), &record)) {
    return false;
  }
  *token_id = tables_->records[record].token_id;
  return true;
}

bool TokenMapping::find_token(int32_t mapped_id,
                              std::string_view* token) const {
  uint32_t record;
  if (!tables_->mapped_id_to_record.find(mapped_key(mapped_id), &record)) {
    return false;
  }
  *token = TokenIndex::text_of(tables_->records[record], tables_->arena);
  return true;
}

Result<int32_t> TokenMapping::mapped_id_for_token(
    std::string_view token) const {
  int32_t mapped_id;
  if (find_mapped_id(token, &mapped_id)) return mapped_id;
  return CodecError::token_not_found(token);
}

Result<int32_t> TokenMapping::mapped_id_for_token_id(uint32_t token_id) const {
  int32_t mapped_id;
  if (find_mapped_id(token_id, &mapped_id)) return mapped_id;
  return CodecError::token_id_not_found(token_id);
}

Result<uint32_t> TokenMapping::token_id_for_mapped_id(int32_t mapped_id) const {
  uint32_t token_id;
  if (find_token_id(mapped_id, &token_id)) return token_id;
  return CodecError::mapped_id_not_found(mapped_id);
}

Result<std::string> TokenMapping::token_for_mapped_id(int32_t mapped_id) const {
  std::string_view token;
  if (find_token(mapped_id, &token)) return std::string(token);
  return CodecError::mapped_id_not_found(mapped_id);
}

size_t TokenMapping::token_count() const {
  return tables_->token_to_record.size();
}

size_t TokenMapping::token_id_count() const {
  return tables_->token_id_to_record.size();
}

size_t TokenMapping::mapped_id_count() const {
  return tables_->mapped_id_to_record.size();
}

size_t TokenMapping::memory_usage() const {
  return sizeof(TokenMapping) + sizeof(Tables) + tables_->arena.capacity() +
         tables_->records.capacity() * sizeof(Record) +
         tables_->token_to_record.memory_usage() +
         tables_->token_id_to_record.memory_usage() +
         tables_->mapped_id_to_record.memory_usage();
}

}  // namespace vonk
