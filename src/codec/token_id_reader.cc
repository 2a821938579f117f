#include "codec/token_id_reader.h"

#include <utility>

namespace vonk {

Result<TokenIdReader> TokenIdReader::open(const Codec& codec,
                                          std::span<const uint8_t> payload,
                                          bool gzip) {
  ByteBuffer inflated;
  Result<std::span<const uint8_t>> plain =
      plain_payload(payload, gzip, &inflated);
  if (!plain.ok()) return std::move(plain).error();
  // The reader points into the inflated block, which stays where it is
  // when the buffer moves into the result.
  Result<PayloadReader> reader = PayloadReader::open(plain.value());
  if (!reader.ok()) return std::move(reader).error();
  return TokenIdReader(codec, std::move(inflated), reader.value());
}

std::optional<CodecError> TokenIdReader::read(std::span<uint32_t> out) {
  std::span<int32_t> mapped(reinterpret_cast<int32_t*>(out.data()),
                            out.size());
  if (auto error = payload_.read(mapped)) return error;
  if (!miss_) miss_ = codec_->token_ids_in_place(out);
  if (remaining() == 0 && miss_) return std::exchange(miss_, std::nullopt);
  return std::nullopt;
}

}  // namespace vonk
