#include "mapping/token_mapping.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <utility>

#include "error/fatal_error.h"
#include "mapping/fx_hash.h"
#include "mapping/mapping_reader.h"
#include "mapping/pod_buffer.h"

namespace vonk {
namespace {

// One record as kept by the tables; its text lives in the arena.
struct Record {
  uint32_t token_offset;
  uint32_t token_size;
  uint32_t token_id;
  int32_t mapped_id;
};

using Records = PodBuffer<Record>;
using Arena = PodBuffer<char>;

std::string_view text_of(const Record& record, const Arena& arena) {
  return std::string_view(arena.data() + record.token_offset,
                          record.token_size);
}

// Maps a 32-bit key to a value taken from the last record that carries the
// key: a dense array with a presence bitmap when the keys fill their range
// well (as token ids and mapped ids of real data do), a hash map otherwise.
template <typename Value>
class IdIndex {
 public:
  // Indexes every record under key_of(record) with value_of(record, i),
  // later records replacing earlier ones.
  template <typename KeyOf, typename ValueOf>
  void build(const Records& records, KeyOf key_of, ValueOf value_of) {
    if (records.empty()) return;
    uint32_t low = std::numeric_limits<uint32_t>::max();
    uint32_t high = 0;
    for (size_t i = 0; i < records.size(); ++i) {
      uint32_t key = key_of(records[i]);
      low = std::min(low, key);
      high = std::max(high, key);
    }
    uint64_t span = uint64_t{high} - low + 1;
    if (span <= 2 * uint64_t{records.size()} + 64) {
      base_ = low;
      values_.assign_zeroed(span);
      present_.assign_zeroed((span + 63) / 64);
      for (size_t i = 0; i < records.size(); ++i) {
        uint32_t at = key_of(records[i]) - low;
        values_[at] = value_of(records[i], static_cast<uint32_t>(i));
        present_[at / 64] |= uint64_t{1} << (at % 64);
      }
    } else {
      sparse_.reserve(records.size());
      for (size_t i = 0; i < records.size(); ++i) {
        sparse_[key_of(records[i])] =
            value_of(records[i], static_cast<uint32_t>(i));
      }
    }
  }

  // The value indexed under `key`, or false.
  bool find(uint32_t key, Value* value) const {
    if (!values_.empty()) {
      uint32_t at = key - base_;  // wraps for keys below base_
      if (at >= values_.size() ||
          (present_[at / 64] & (uint64_t{1} << (at % 64))) == 0) {
        return false;
      }
      *value = values_[at];
      return true;
    }
    auto it = sparse_.find(key);
    if (it == sparse_.end()) return false;
    *value = it->second;
    return true;
  }

  size_t size() const {
    if (!values_.empty()) {
      size_t count = 0;
      for (size_t i = 0; i < present_.size(); ++i) {
        count += static_cast<size_t>(std::popcount(present_[i]));
      }
      return count;
    }
    return sparse_.size();
  }

  size_t memory_usage() const {
    return values_.memory_usage() + present_.memory_usage() +
           sparse_.bucket_count() * sizeof(void*) +
           sparse_.size() * (sizeof(std::pair<uint32_t, Value>) +
                             2 * sizeof(void*));
  }

 private:
  uint32_t base_ = 0;
  PodBuffer<Value> values_;
  PodBuffer<uint64_t> present_;
  std::unordered_map<uint32_t, Value, FxHasher> sparse_;
};

// Hash of a token text for the token index: FxHash steps over 16-byte
// chunks, then the last up to 16 bytes as two overlapping words chosen by
// length class, so that the short texts of real vocabularies take few,
// well-predicted branches. The length seeds the state.
inline uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline uint64_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline uint64_t token_hash(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  uint64_t state = fx_add(0, n);
  while (n > 16) {
    state = fx_add(fx_add(state, load64(p)), load64(p + 8));
    p += 16;
    n -= 16;
  }
  uint64_t first = 0;
  uint64_t last = 0;
  if (n > 8) {
    first = load64(p);
    last = load64(p + n - 8);
  } else if (n >= 4) {
    first = load32(p);
    last = load32(p + n - 4);
  } else if (n > 0) {
    first = uint64_t{static_cast<uint8_t>(p[0])} << 16 |
            uint64_t{static_cast<uint8_t>(p[n / 2])} << 8 |
            static_cast<uint8_t>(p[n - 1]);
  }
  return fx_add(fx_add(state, first), last);
}

// Maps a token text to the last record that carries it: open addressing
// with linear probing. A slot holds a 32-bit tag of the key's hash and the
// record index plus one (0 marks an empty slot), so probes past other keys
// rarely touch their records. The home slot comes from the hash's top bits:
// a multiplicative hash mixes upwards, and its low bits cluster badly.
class TokenIndex {
 public:
  // Inserts every record in order. Slots are prefetched a few records
  // ahead: the table is larger than the caches, and its probes are the main
  // cost of building it.
  void build(const Records& records, const Arena& arena) {
    size_t capacity = 16;
    while (capacity < 2 * records.size()) capacity *= 2;
    slots_.assign_zeroed(capacity);
    mask_ = capacity - 1;
    shift_ = 64 - std::countr_zero(capacity);
    constexpr size_t kAhead = 16;
    uint64_t ahead[kAhead];
    const size_t n = records.size();
    for (size_t i = 0; i < n && i < kAhead; ++i) {
      ahead[i] = token_hash(text_of(records[i], arena));
    }
    for (size_t i = 0; i < n; ++i) {
      const uint64_t hash = ahead[i % kAhead];
      if (i + kAhead < n) {
        const uint64_t next = token_hash(text_of(records[i + kAhead], arena));
        ahead[i % kAhead] = next;
        __builtin_prefetch(&slots_[home(next)], 1);
      }
      insert(hash, static_cast<uint32_t>(i), records, arena);
    }
  }

  bool find(std::string_view token, const Records& records,
            const Arena& arena, uint32_t* record) const {
    if (slots_.empty()) return false;
    const uint64_t hash = token_hash(token);
    const uint64_t tag = tag_of(hash);
    for (size_t at = home(hash);; at = (at + 1) & mask_) {
      const uint64_t slot = slots_[at];
      if (slot == 0) return false;
      if ((slot >> 32) == tag) {
        const uint32_t index = static_cast<uint32_t>(slot) - 1;
        if (text_of(records[index], arena) == token) {
          *record = index;
          return true;
        }
      }
    }
  }

  size_t size() const { return size_; }
  size_t memory_usage() const { return slots_.memory_usage(); }

 private:
  size_t home(uint64_t hash) const { return hash >> shift_; }
  static uint64_t tag_of(uint64_t hash) { return (hash >> 8) & 0xFFFFFFFF; }

  void insert(uint64_t hash, uint32_t index, const Records& records,
              const Arena& arena) {
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

  PodBuffer<uint64_t> slots_;
  size_t mask_ = 0;
  int shift_ = 64;
  size_t size_ = 0;
};

// Mapped ids as order-preserving unsigned keys.
uint32_t mapped_key(int32_t mapped_id) {
  return static_cast<uint32_t>(mapped_id) ^ 0x80000000u;
}

// Stored lines are at least 60 bytes long and their tokens a tenth of the
// text; reserving from these figures lets a stored text load without
// regrowing. Other texts grow their buffers as needed.
constexpr size_t kShortestStoredLine = 60;

}  // namespace

struct TokenMapping::Tables {
  Arena arena;      // every token text, back to back
  Records records;  // in text order
  TokenIndex token_to_record;
  // The id lookups of encoding and decoding hold their values directly;
  // texts are reached through the record.
  IdIndex<int32_t> token_id_to_mapped_id;
  IdIndex<uint32_t> mapped_id_to_token_id;
  IdIndex<uint32_t> mapped_id_to_record;
};

TokenMapping::TokenMapping(std::unique_ptr<Tables> tables)
    : tables_(std::move(tables)) {}

TokenMapping::~TokenMapping() = default;

Result<std::shared_ptr<const TokenMapping>> TokenMapping::from_jsonl(
    std::string_view text) {
  auto tables = std::make_unique<Tables>();
  Records& records = tables->records;
  Arena& arena = tables->arena;
  records.reserve(text.size() / kShortestStoredLine + 16);
  arena.reserve(text.size() / 8 + 64);

  MappingReader reader(text);
  MappingEntryView entry;
  while (reader.next(&entry)) {
    if (arena.size() + entry.token.size() >
            std::numeric_limits<uint32_t>::max() ||
        records.size() >= std::numeric_limits<uint32_t>::max() - 1) {
      fatal_error("mapping text too large");
    }
    records.push_back(Record{static_cast<uint32_t>(arena.size()),
                             static_cast<uint32_t>(entry.token.size()),
                             entry.token_id, entry.mapped_id});
    arena.append(entry.token.data(), entry.token.size());
  }
  if (reader.error().has_value()) return *reader.error();

  tables->token_to_record.build(records, arena);
  tables->token_id_to_mapped_id.build(
      records, [](const Record& r) { return r.token_id; },
      [](const Record& r, uint32_t) { return r.mapped_id; });
  tables->mapped_id_to_token_id.build(
      records, [](const Record& r) { return mapped_key(r.mapped_id); },
      [](const Record& r, uint32_t) { return r.token_id; });
  tables->mapped_id_to_record.build(
      records, [](const Record& r) { return mapped_key(r.mapped_id); },
      [](const Record&, uint32_t index) { return index; });
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
  return tables_->token_id_to_mapped_id.find(token_id, mapped_id);
}

size_t TokenMapping::find_mapped_ids(std::span<const uint32_t> token_ids,
                                     int32_t* out) const {
  const IdIndex<int32_t>& index = tables_->token_id_to_mapped_id;
  for (size_t i = 0; i < token_ids.size(); ++i) {
    if (!index.find(token_ids[i], &out[i])) return i;
  }
  return token_ids.size();
}

size_t TokenMapping::find_token_ids(std::span<const int32_t> mapped_ids,
                                    uint32_t* out) const {
  const IdIndex<uint32_t>& index = tables_->mapped_id_to_token_id;
  for (size_t i = 0; i < mapped_ids.size(); ++i) {
    if (!index.find(mapped_key(mapped_ids[i]), &out[i])) return i;
  }
  return mapped_ids.size();
}

bool TokenMapping::find_token_id(int32_t mapped_id, uint32_t* token_id) const {
  return tables_->mapped_id_to_token_id.find(mapped_key(mapped_id), token_id);
}

bool TokenMapping::find_token(int32_t mapped_id,
                              std::string_view* token) const {
  uint32_t record;
  if (!tables_->mapped_id_to_record.find(mapped_key(mapped_id), &record)) {
    return false;
  }
  *token = text_of(tables_->records[record], tables_->arena);
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
  return tables_->token_id_to_mapped_id.size();
}

size_t TokenMapping::mapped_id_count() const {
  return tables_->mapped_id_to_record.size();
}

size_t TokenMapping::memory_usage() const {
  return sizeof(TokenMapping) + sizeof(Tables) +
         tables_->arena.memory_usage() + tables_->records.memory_usage() +
         tables_->token_to_record.memory_usage() +
         tables_->token_id_to_mapped_id.memory_usage() +
         tables_->mapped_id_to_token_id.memory_usage() +
         tables_->mapped_id_to_record.memory_usage();
}

}  // namespace vonk
