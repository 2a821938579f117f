#include "lib/codec.h"

#include "codec/payload.h"
#include "mapping/mapping_cache.h"

namespace vonk {
Result<Codec> Codec::open(std::string_view name) {
  Result<std::shared_ptr<const TokenMapping>> mapping = load_mapping(name);
  if (!mapping.ok()) return std::move(mapping).error();
  return Codec(std::string(name), std::move(mapping).value());
}

Result<std::vector<uint8_t>> Codec::encode_tokens(
    std::span<const std::string_view> tokens, bool gzip) const {
  std::vector<int32_t> mapped(tokens.size());
  for (size_t i = 0; i < tokens.size(); ++i) {
    Result<int32_t> mapped_id = mapping_->mapped_id_for_token(tokens[i]);
    if (!mapped_id.ok()) return std::move(mapped_id).error();
    mapped[i] = mapped_id.value();
  }
  return encode_payload(mapped, gzip);
}

Result<std::vector<uint8_t>> Codec::encode_token_ids(
    std::span<const uint32_t> token_ids, bool gzip) const {
  Result<std::vector<int32_t>> mapped = token_id_to_mapped_id(token_ids);
  if (!mapped.ok()) return std::move(mapped).error();
  return encode_payload(mapped.value(), gzip);
}

std::vector<uint8_t> Codec::encode_mapped_ids(
    std::span<const int32_t> mapped_ids, bool gzip) const {
  return encode_payload(mapped_ids, gzip);
}

std::vector<uint8_t> Codec::encode_raw_token_ids(
    std::span<const uint32_t> token_ids, bool gzip) const {
  // Same bits, read as i32: 4294967295 becomes -1.
  std::span<const int32_t> as_signed(
      reinterpret_cast<const int32_t*>(token_ids.data()), token_ids.size());
  return encode_payload(as_signed, gzip);
}

Result<std::vector<int32_t>> Codec::decode_mapped_ids(
    std::span<const uint8_t> payload, bool gzip) const {
  return decode_payload(payload, gzip);
}

Result<std::vector<std::string_view>> Codec::decode_tokens(
    std::span<const uint8_t> payload, bool gzip) const {
  Result<std::vector<int32_t>> decoded = decode_payload(payload, gzip);
  if (!decoded.ok()) return std::move(decoded).error();
  const std::vector<int32_t>& ids = decoded.value();
  std::vector<std::string_view> tokens(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    Result<std::string_view> token = mapping_->token_for_mapped_id(ids[i]);
    if (!token.ok()) return std::move(token).error();
    tokens[i] = token.value();
  }
  return tokens;
}

Result<std::vector<uint32_t>> Codec::decode_token_ids(
    std::span<const uint8_t> payload, bool gzip) const {
  Result<std::vector<int32_t>> decoded = decode_payload(payload, gzip);
  if (!decoded.ok()) return std::move(decoded).error();
  return mapped_id_to_token_id(decoded.value());
}

Result<std::vector<int32_t>> Codec::token_id_to_mapped_id(
    std::span<const uint32_t> token_ids) const {
  std::vector<int32_t> mapped(token_ids.size());
  for (size_t i = 0; i < token_ids.size(); ++i) {
    Result<int32_t> mapped_id =
        mapping_->mapped_id_for_token_id(token_ids[i]);
    if (!mapped_id.ok()) return std::move(mapped_id).error();
    mapped[i] = mapped_id.value();
  }
  return mapped;
}

Result<std::vector<uint32_t>> Codec::mapped_id_to_token_id(
    std::span<const int32_t> mapped_ids) const {
  std::vector<uint32_t> token_ids(mapped_ids.size());
  for (size_t i = 0; i < mapped_ids.size(); ++i) {
    Result<uint32_t> token_id =
        mapping_->token_id_for_mapped_id(mapped_ids[i]);
    if (!token_id.ok()) return std::move(token_id).error();
    token_ids[i] = token_id.value();
  }
  return token_ids;
}

}  // namespace vonk
