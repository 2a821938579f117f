// Codec: one tokenizer's mapping bound to the encode, decode and translate
// operations on payloads.
#ifndef VONK_CODEC_CODEC_H_
#define VONK_CODEC_CODEC_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include "base/pod_buffer.h"
#include "error/result.h"
#include "mapping/token_mapping.h"

namespace vonk {

// Immutable; cheap to copy (a name and a shared mapping reference). Lists
// are translated in order and the first element that misses ends the call
// with its error and no partial result. A decode reads the whole payload
// before it translates, so a fault of the payload is reported before a
// mapped id it holds that the mapping lacks.
class Codec {
 public:
  // Opens tokenizer `name` through the mapping cache.
  static Result<Codec> open(std::string_view name);
  // A codec over `mapping`, which the caller built, under `name`.
  static Codec over(std::string name,
                    std::shared_ptr<const TokenMapping> mapping) {
    return Codec(std::move(name), std::move(mapping));
  }

  // The name as passed to open().
  const std::string& tokenizer_name() const { return name_; }
  const TokenMapping& mapping() const { return *mapping_; }

  // Encoding: payload bytes, gzip-wrapped when `gzip`.
  Result<ByteBuffer> encode_tokens(
      std::span<const std::string_view> tokens, bool gzip) const;
  Result<ByteBuffer> encode_token_ids(
      std::span<const uint32_t> token_ids, bool gzip) const;
  // Any i32 values; no mapping involved.
  ByteBuffer encode_mapped_ids(std::span<const int32_t> mapped_ids,
                               bool gzip) const;
  // Token ids written as the i32 of the same bits; no mapping involved.
  ByteBuffer encode_raw_token_ids(std::span<const uint32_t> token_ids,
                                  bool gzip) const;

  // Decoding.
  Result<PodBuffer<int32_t>> decode_mapped_ids(
      std::span<const uint8_t> payload, bool gzip) const;
  // The texts are views into the mapping, valid while this Codec (or any
  // copy of it) lives.
  Result<PodBuffer<std::string_view>> decode_tokens(
      std::span<const uint8_t> payload, bool gzip) const;
  Result<PodBuffer<uint32_t>> decode_token_ids(
      std::span<const uint8_t> payload, bool gzip) const;

  // Rewrites each element of `ids`, a mapped id stored in its bits, as its
  // token id, in order, or returns the first miss's error.
  std::optional<CodecError> token_ids_in_place(std::span<uint32_t> ids) const;

  // Translation without a payload.
  Result<PodBuffer<int32_t>> token_id_to_mapped_id(
      std::span<const uint32_t> token_ids) const;
  Result<PodBuffer<uint32_t>> mapped_id_to_token_id(
      std::span<const int32_t> mapped_ids) const;

 private:
  Codec(std::string name, std::shared_ptr<const TokenMapping> mapping)
      : name_(std::move(name)), mapping_(std::move(mapping)) {}

  std::string name_;
  std::shared_ptr<const TokenMapping> mapping_;
};

}  // namespace vonk

#endif  // VONK_CODEC_CODEC_H_
