// TokenMapping: the four immutable lookup tables of one tokenizer, which
// translate token texts, token ids and mapped ids into each other.
#ifndef VONK_MAPPING_TOKEN_MAPPING_H_
#define VONK_MAPPING_TOKEN_MAPPING_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/result.h"

namespace vonk {

class TokenMapping {
 public:
  // Builds the tables from a mapping text. For every table the last record
  // in text order that carries a key decides that key's value. Fails with
  // the JsonError of the first line that is not a valid record.
  static Result<std::shared_ptr<const TokenMapping>> from_jsonl(
      std::string_view text);

  TokenMapping(const TokenMapping&) = delete;
  TokenMapping& operator=(const TokenMapping&) = delete;
  ~TokenMapping();

  // Lookups; each fails with its not-found error carrying the key.
  Result<int32_t> mapped_id_for_token(std::string_view token) const;
  Result<int32_t> mapped_id_for_token_id(uint32_t token_id) const;
  Result<uint32_t> token_id_for_mapped_id(int32_t mapped_id) const;
  // Returns a new copy of the token text.
  Result<std::string> token_for_mapped_id(int32_t mapped_id) const;

  // Lookups for hot loops: store the value and return true on a hit,
  // return false on a miss. A returned text view lives as long as this
  // mapping.
  bool find_mapped_id(std::string_view token, int32_t* mapped_id) const;
  bool find_mapped_id(uint32_t token_id, int32_t* mapped_id) const;
  bool find_token_id(int32_t mapped_id, uint32_t* token_id) const;
  bool find_token(int32_t mapped_id, std::string_view* token) const;

  // Batch lookups: translate ids[i] into out[i] in order and return the
  // index of the first id that misses, or ids.size() when none does. `out`
  // must hold ids.size() values.
  size_t find_mapped_ids(std::span<const uint32_t> token_ids,
                         int32_t* out) const;
  size_t find_token_ids(std::span<const int32_t> mapped_ids,
                        uint32_t* out) const;

  // Number of entries of each table.
  size_t token_count() const;         // token_to_mapped
  size_t token_id_count() const;      // token_id_to_mapped
  size_t mapped_id_count() const;     // mapped_to_token_id, mapped_to_token

  // Bytes of heap memory the tables hold.
  size_t memory_usage() const;

 private:
  struct Tables;
  explicit TokenMapping(std::unique_ptr<Tables> tables);

  std::unique_ptr<Tables> tables_;
};

}  // namespace vonk

#endif  // VONK_MAPPING_TOKEN_MAPPING_H_
