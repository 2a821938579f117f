#include "lib/codec.h"

#include "codec/payload.h"
#include "mapping/mapping_cache.h"

namespace vonk {
namespace {

// Mapped ids between the translation and payload stages of one call. Kept
// per thread: a large call that allocated and freed this buffer every time
// would have malloc hand its pages back and fault them in again, which costs
// more than the translation. Nothing that runs while it is in use takes it
// again.
class MappedScratch {
 public:
  MappedScratch() : ids_(buffer()) {}
  ~MappedScratch() {
    if (ids_.capacity() > kMaxKept) std::vector<int32_t>().swap(ids_);
  }
  std::vector<int32_t>& ids() { return ids_; }

 private:
  static constexpr size_t kMaxKept = (size_t{16} << 20) / sizeof(int32_t);
  static std::vector<int32_t>& buffer() {
    thread_local std::vector<int32_t> ids;
    return ids;
  }
  std::vector<int32_t>& ids_;
};

}  // namespace

Result<Codec> Codec::open(std::string_view name) {
  Result<std::shared_ptr<const TokenMapping>> mapping = load_mapping(name);
  if (!mapping.ok()) return std::move(mapping).error();
  return Codec(std::string(name), std::move(mapping).value());
}

Result<std::vector<uint8_t>> Codec::encode_tokens(
    std::span<const std::string_view> tokens, bool gzip) const {
  MappedScratch scratch;
  std::vector<int32_t>& mapped = scratch.ids();
  mapped.resize(tokens.size());
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (!mapping_->find_mapped_id(tokens[i], &mapped[i])) {
      return CodecError::token_not_found(tokens[i]);
    }
  }
  return encode_payload(mapped, gzip);
}

Result<std::vector<uint8_t>> Codec::encode_token_ids(
    std::span<const uint32_t> token_ids, bool gzip) const {
  MappedScratch scratch;
  std::vector<int32_t>& mapped = scratch.ids();
  mapped.resize(token_ids.size());
  size_t missing = mapping_->find_mapped_ids(token_ids, mapped.data());
  if (missing != token_ids.size()) {
    return CodecError::token_id_not_found(token_ids[missing]);
  }
  return encode_payload(mapped, gzip);
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
    if (!mapping_->find_token(ids[i], &tokens[i])) {
      return CodecError::mapped_id_not_found(ids[i]);
    }
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
  size_t missing = mapping_->find_mapped_ids(token_ids, mapped.data());
  if (missing != token_ids.size()) {
    return CodecError::token_id_not_found(token_ids[missing]);
  }
  return mapped;
}

Result<std::vector<uint32_t>> Codec::mapped_id_to_token_id(
    std::span<const int32_t> mapped_ids) const {
  std::vector<uint32_t> token_ids(mapped_ids.size());
  size_t missing = mapping_->find_token_ids(mapped_ids, token_ids.data());
  if (missing != mapped_ids.size()) {
    return CodecError::mapped_id_not_found(mapped_ids[missing]);
  }
  return token_ids;
}

}  // namespace vonk
