#include "codec/token_id_reader.h"

#include <algorithm>
#include <utility>

#include "error/fatal_error.h"

namespace vonk {

namespace {

// Ids read per piece when a payload cannot hold what it declares.
constexpr size_t kIdsPerPiece = 16384;

}  // namespace

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

std::optional<CodecError> append_all(TokenIdReader* reader,
                                     PodBuffer<uint32_t>* out) {
  if (reader->plausible()) {
    const size_t at = out->size();
    out->resize(at + reader->declared());
    return reader->read(std::span(out->data() + at, reader->declared()));
  }
  PodBuffer<uint32_t> scratch;
  scratch.resize(std::min(reader->declared(), kIdsPerPiece));
  do {
    const size_t step = std::min(reader->remaining(), kIdsPerPiece);
    if (auto error = reader->read(std::span(scratch.data(), step))) {
      return error;
    }
  } while (reader->remaining() != 0);
  fatal_error("append_all: a payload too short for its ids read whole");
}

}  // namespace vonk
