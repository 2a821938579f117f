#include "codec/codec.h"

#include <optional>
#include <utility>

#include "codec/payload.h"
#include "mapping/mapping_cache.h"

namespace vonk {

namespace {

// Writes the translation lookup(in[i]) to out[i] for every i in order, or
// returns the error of the first element that misses. `out` has room for
// in.size() elements and may be the storage of `in` itself (each element
// is read before its slot is written).
template <typename In, typename Out, typename Lookup>
std::optional<CodecError> translate(std::span<const In> in, Out* out,
                                    Lookup lookup) {
  const size_t count = in.size();
  for (size_t i = 0; i < count; ++i) {
    auto result = lookup(in[i]);
    if (!result.ok()) [[unlikely]] {
      return std::move(result).error();
    }
    out[i] = result.value();
  }
  return std::nullopt;
}

// The translations of `in` in a new buffer, or the first miss's error.
template <typename Out, typename In, typename Lookup>
Result<PodBuffer<Out>> translated(std::span<const In> in, Lookup lookup) {
  PodBuffer<Out> out;
  out.resize(in.size());
  if (auto error = translate(in, out.data(), lookup)) return *std::move(error);
  return out;
}

}  // namespace

Result<Codec> Codec::open(std::string_view name) {
  Result<std::shared_ptr<const TokenMapping>> mapping = load_mapping(name);
  if (!mapping.ok()) return std::move(mapping).error();
  return Codec(std::string(name), std::move(mapping).value());
}

Result<ByteBuffer> Codec::encode_tokens(
    std::span<const std::string_view> tokens, bool gzip) const {
  Result<PodBuffer<int32_t>> mapped = translated<int32_t>(
      tokens,
      [this](std::string_view t) { return mapping_->mapped_id_for_token(t); });
  if (!mapped.ok()) return std::move(mapped).error();
  return encode_payload(mapped.value(), gzip);
}

Result<ByteBuffer> Codec::encode_token_ids(std::span<const uint32_t> token_ids,
                                           bool gzip) const {
  Result<PodBuffer<int32_t>> mapped = token_id_to_mapped_id(token_ids);
  if (!mapped.ok()) return std::move(mapped).error();
  return encode_payload(mapped.value(), gzip);
}

ByteBuffer Codec::encode_mapped_ids(std::span<const int32_t> mapped_ids,
                                    bool gzip) const {
  return encode_payload(mapped_ids, gzip);
}

ByteBuffer Codec::encode_raw_token_ids(std::span<const uint32_t> token_ids,
                                       bool gzip) const {
  // Same bits, read as i32: 4294967295 becomes -1.
  std::span<const int32_t> as_signed(
      reinterpret_cast<const int32_t*>(token_ids.data()), token_ids.size());
  return encode_payload(as_signed, gzip);
}

Result<PodBuffer<int32_t>> Codec::decode_mapped_ids(
    std::span<const uint8_t> payload, bool gzip) const {
  return decode_payload(payload, gzip);
}

Result<PodBuffer<std::string_view>> Codec::decode_tokens(
    std::span<const uint8_t> payload, bool gzip) const {
  Result<PodBuffer<int32_t>> decoded = decode_payload(payload, gzip);
  if (!decoded.ok()) return std::move(decoded).error();
  return translated<std::string_view>(
      std::span<const int32_t>(decoded.value().data(), decoded.value().size()),
      [this](int32_t id) { return mapping_->token_for_mapped_id(id); });
}

std::optional<CodecError> Codec::token_ids_in_place(
    std::span<uint32_t> ids) const {
  const size_t done = mapping_->token_ids_for_mapped_ids(ids);
  if (done == ids.size()) return std::nullopt;
  return CodecError::mapped_id_not_found(static_cast<int32_t>(ids[done]));
}

Result<PodBuffer<uint32_t>> Codec::decode_token_ids(
    std::span<const uint8_t> payload, bool gzip) const {
  Result<PodBuffer<int32_t>> decoded = decode_payload(payload, gzip);
  if (!decoded.ok()) return std::move(decoded).error();
  PodBuffer<uint32_t> ids = std::move(decoded).value().take_as<uint32_t>();
  if (auto error = token_ids_in_place(std::span(ids.data(), ids.size()))) {
    return *std::move(error);
  }
  return ids;
}

Result<PodBuffer<int32_t>> Codec::token_id_to_mapped_id(
    std::span<const uint32_t> token_ids) const {
  return translated<int32_t>(token_ids, [this](uint32_t id) {
    return mapping_->mapped_id_for_token_id(id);
  });
}

Result<PodBuffer<uint32_t>> Codec::mapped_id_to_token_id(
    std::span<const int32_t> mapped_ids) const {
  return translated<uint32_t>(mapped_ids, [this](int32_t id) {
    return mapping_->token_id_for_mapped_id(id);
  });
}

}  // namespace vonk
