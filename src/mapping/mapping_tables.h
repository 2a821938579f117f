// The tables behind TokenMapping (internal to src/mapping): every record of
// a mapping text in one array, every token text back to back in one arena,
// and indexes that hold record numbers or the looked-up ids themselves.
// Invariant: the tables are filled once, when their TokenMapping is built, and
// never change afterwards, so the lookups take no lock and a text view into
// the arena lives as long as the tables. For every key the last record in
// text order that carries it decides the value.
#ifndef VONK_MAPPING_MAPPING_TABLES_H_
#define VONK_MAPPING_MAPPING_TABLES_H_

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "mapping/fx_hash.h"
#include "base/pod_buffer.h"

namespace vonk {

// One record as the tables keep it; its text lives in the arena.
struct TableRecord {
  uint32_t token_offset;
  uint32_t token_size;
  uint32_t token_id;
  int32_t mapped_id;
};

using TableRecords = PodBuffer<TableRecord>;
using TextArena = PodBuffer<char>;

inline std::string_view text_of(const TableRecord& record,
                                const TextArena& arena) {
  return std::string_view(arena.data() + record.token_offset,
                          record.token_size);
}

// Mapped ids as order-preserving unsigned keys.
inline uint32_t mapped_key(int32_t mapped_id) {
  return static_cast<uint32_t>(mapped_id) ^ 0x80000000u;
}

// Maps a 32-bit key to a value: a dense array with a presence bitmap when
// the keys fill their range well (as token ids and mapped ids of real data
// do), a hash map otherwise.
template <typename Value>
class IdIndex {
 public:
  // Indexes entries 0..count-1 under key_of(i) with value_of(i), later
  // entries replacing earlier ones.
  template <typename KeyOf, typename ValueOf>
  void build(size_t count, KeyOf key_of, ValueOf value_of) {
    if (count == 0) return;
    uint32_t low = std::numeric_limits<uint32_t>::max();
    uint32_t high = 0;
    for (size_t i = 0; i < count; ++i) {
      uint32_t key = key_of(i);
      low = std::min(low, key);
      high = std::max(high, key);
    }
    uint64_t span = uint64_t{high} - low + 1;
    if (span <= 2 * uint64_t{count} + 64) {
      base_ = low;
      values_.assign_zeroed(span);
      present_.assign_zeroed((span + 63) / 64);
      for (size_t i = 0; i < count; ++i) {
        uint32_t at = key_of(i) - low;
        values_[at] = value_of(i);
        present_[at / 64] |= uint64_t{1} << (at % 64);
      }
    } else {
      sparse_.reserve(count);
      for (size_t i = 0; i < count; ++i) sparse_[key_of(i)] = value_of(i);
    }
  }

  // Stores the value indexed under `key` and returns true, or returns false.
  bool find(uint32_t key, Value* value) const {
    if (!values_.empty()) {
      uint32_t at = key - base_;  // wraps for keys below base_
      if (at >= values_.size()) return false;
      // Absent keys hold zero, so only a zero value needs the bitmap.
      const Value found = values_[at];
      if (found == Value{} &&
          (present_[at / 64] & (uint64_t{1} << (at % 64))) == 0) {
        return false;
      }
      *value = found;
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

// Maps a token text to the last record that carries it: open addressing
// with linear probing over the FxHash of the text. A slot holds a 32-bit tag
// of the hash and the record index plus one (0 marks an empty slot), so
// probes past other keys rarely touch their records. The home slot comes
// from the hash's top bits: a multiplicative hash mixes upwards, and its low
// bits cluster badly. At most half the slots are used, so a probe ends.
class TokenIndex {
 public:
  // Inserts every record in order.
  void build(const TableRecords& records, const TextArena& arena);

  // Stores the index of the record carrying `token` and returns true, or
  // returns false.
  bool find(std::string_view token, const TableRecords& records,
            const TextArena& arena, uint32_t* record) const {
    if (slots_.empty()) return false;
    const uint64_t hash = fx_hash(token);
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
  void insert(uint64_t hash, uint32_t index, const TableRecords& records,
              const TextArena& arena);

  PodBuffer<uint64_t> slots_;
  size_t mask_ = 0;
  int shift_ = 64;
  size_t size_ = 0;
};

}  // namespace vonk

#endif  // VONK_MAPPING_MAPPING_TABLES_H_
