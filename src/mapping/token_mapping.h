// TokenMapping: the four immutable lookup tables of one tokenizer, which
// translate token texts, token ids and mapped ids into each other.
#ifndef VONK_MAPPING_TOKEN_MAPPING_H_
#define VONK_MAPPING_TOKEN_MAPPING_H_

#include <cstdint>
#include <memory>
#include <string_view>

#include "error/result.h"
#include "mapping/mapping_tables.h"
#include "mapping/ranked_vocabulary.h"

namespace vonk {

class TokenMapping {
 public:
  // Builds the tables from a mapping text. For every table the last record
  // in text order that carries a key decides that key's value. Fails with
  // the JsonError of the first line that is not a valid record.
  static Result<std::shared_ptr<const TokenMapping>> from_jsonl(
      std::string_view text);

  // Builds the tables of `vocabulary`'s records: the same tables as
  // from_jsonl of its rendered text. Without texts only the id tables are
  // built, and text lookups miss. Requires a valid ranking of at most
  // kMaxVocabularySize ids and texts of less than 4 GiB in all.
  static std::shared_ptr<const TokenMapping> from_vocabulary(
      const RankedVocabulary& vocabulary);

  TokenMapping(const TokenMapping&) = delete;
  TokenMapping& operator=(const TokenMapping&) = delete;

  // Lookups, each a single probe; each fails with its not-found error
  // carrying the key. They are defined here so that the translation loops
  // of the codec inline them.
  Result<int32_t> mapped_id_for_token(std::string_view token) const;
  Result<int32_t> mapped_id_for_token_id(uint32_t token_id) const;
  Result<uint32_t> token_id_for_mapped_id(int32_t mapped_id) const;
  // Rewrites each element of `ids`, a mapped id stored in its bits, as its
  // token id, in order; returns how many it rewrote before the first that
  // the mapping lacks (ids.size() when there is none).
  size_t token_ids_for_mapped_ids(std::span<uint32_t> ids) const {
    for (size_t i = 0; i < ids.size(); ++i) {
      const int32_t mapped_id = static_cast<int32_t>(ids[i]);
      if (!mapped_id_to_token_id_.find(mapped_key(mapped_id), &ids[i]))
          [[unlikely]] {
        return i;
      }
    }
    return ids.size();
  }
  // The text is a view into this mapping, valid as long as it lives; the
  // caller copies it where it needs its own.
  Result<std::string_view> token_for_mapped_id(int32_t mapped_id) const;

  // Number of entries of each table.
  size_t token_count() const { return token_to_record_.size(); }
  size_t token_id_count() const { return token_id_to_mapped_id_.size(); }
  // Translations of mapped ids to token ids and to texts have the same keys.
  size_t mapped_id_count() const { return mapped_id_to_record_.size(); }

  // Bytes of heap memory the tables hold.
  size_t memory_usage() const;

 private:
  TokenMapping() = default;

  // Builds every index from records_ and arena_.
  void index_records();

  TextArena arena_;       // every token text, back to back
  TableRecords records_;  // in text order
  TokenIndex token_to_record_;
  // The id lookups of encoding and decoding hold their values directly;
  // texts are reached through the record.
  IdIndex<int32_t> token_id_to_mapped_id_;
  IdIndex<uint32_t> mapped_id_to_token_id_;
  IdIndex<uint32_t> mapped_id_to_record_;
};

inline Result<int32_t> TokenMapping::mapped_id_for_token(
    std::string_view token) const {
  uint32_t record;
  if (token_to_record_.find(token, records_, arena_, &record)) [[likely]] {
    return records_[record].mapped_id;
  }
  return CodecError::token_not_found(token);
}

inline Result<int32_t> TokenMapping::mapped_id_for_token_id(
    uint32_t token_id) const {
  int32_t mapped_id;
  if (token_id_to_mapped_id_.find(token_id, &mapped_id)) [[likely]] {
    return mapped_id;
  }
  return CodecError::token_id_not_found(token_id);
}

inline Result<uint32_t> TokenMapping::token_id_for_mapped_id(
    int32_t mapped_id) const {
  uint32_t token_id;
  if (mapped_id_to_token_id_.find(mapped_key(mapped_id), &token_id))
      [[likely]] {
    return token_id;
  }
  return CodecError::mapped_id_not_found(mapped_id);
}

inline Result<std::string_view> TokenMapping::token_for_mapped_id(
    int32_t mapped_id) const {
  uint32_t record;
  if (mapped_id_to_record_.find(mapped_key(mapped_id), &record)) [[likely]] {
    return text_of(records_[record], arena_);
  }
  return CodecError::mapped_id_not_found(mapped_id);
}

}  // namespace vonk

#endif  // VONK_MAPPING_TOKEN_MAPPING_H_
