// CodecError: the one error value of the core. Every fallible operation of the
// mapping and codec layers returns its result or one of these.
#ifndef VONK_ERROR_CODEC_ERROR_H_
#define VONK_ERROR_CODEC_ERROR_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vonk {

class CodecError {
 public:
  enum class Kind : uint8_t {
    kTokenizerNotFound,
    kInvalidPayload,
    kJsonError,
    kTokenIdNotFound,
    kMappedIdNotFound,
    kTokenNotFound,
  };

  // A name the registry does not hold; `available` is the registry's list.
  static CodecError tokenizer_not_found(std::string_view name,
                                        std::vector<std::string> available);
  // A payload that cannot be read; `what` says why.
  static CodecError invalid_payload(std::string_view what);
  // A mapping record that cannot be read. `line` 0 means no position known.
  static CodecError json_error(std::string_view description, uint64_t line,
                               uint64_t column);
  static CodecError token_id_not_found(uint32_t token_id);
  static CodecError mapped_id_not_found(int32_t mapped_id);
  static CodecError token_not_found(std::string_view token);

  Kind kind() const { return kind_; }

  // The text carried by kinds that carry one: the requested name
  // (TokenizerNotFound), the payload fault (InvalidPayload), the reader's
  // description (JsonError) or the token (TokenNotFound). Empty otherwise.
  const std::string& text() const { return text_; }
  // The carried id of TokenIdNotFound / MappedIdNotFound, the line of
  // JsonError; 0 otherwise.
  int64_t number() const { return number_; }
  uint64_t column() const { return column_; }
  const std::vector<std::string>& available() const { return available_; }

  // The user-facing message of this error. Never fails.
  std::string display() const;

 private:
  CodecError(Kind kind, std::string text, int64_t number)
      : kind_(kind), text_(std::move(text)), number_(number) {}

  Kind kind_;
  std::string text_;
  int64_t number_ = 0;
  uint64_t column_ = 0;
  std::vector<std::string> available_;
};

}  // namespace vonk

#endif  // VONK_ERROR_CODEC_ERROR_H_
