// TokenIdReader: the token ids of one payload, read piece by piece into
// room of the caller's, for callers that cannot take room for a whole
// payload at once (a result that grows only as ids arrive) or want the ids
// straight where they end up.
#ifndef VONK_CODEC_TOKEN_ID_READER_H_
#define VONK_CODEC_TOKEN_ID_READER_H_

#include <cstdint>
#include <optional>
#include <span>

#include "base/pod_buffer.h"
#include "codec/codec.h"
#include "codec/payload.h"
#include "error/codec_error.h"
#include "error/result.h"

namespace vonk {

// The outcome of a whole read is that of Codec::decode_token_ids: a fault
// of the payload wins over a mapped id the mapping lacks, wherever each
// lies, so a miss is kept until the last piece has been read. Holds the
// codec's mapping and a view of the payload, which must outlive it (a gzip
// payload's inflated bytes belong to the reader).
class TokenIdReader {
 public:
  // Inflates the member first when `gzip`, then reads the headers.
  static Result<TokenIdReader> open(const Codec& codec,
                                    std::span<const uint8_t> payload,
                                    bool gzip);

  size_t declared() const { return payload_.declared(); }
  size_t remaining() const { return payload_.remaining(); }
  bool plausible() const { return payload_.plausible(); }

  // Reads the next out.size() token ids into `out` (requires out.size() <=
  // remaining(); call it at least once). Fails at once for a fault of the
  // payload; the first miss of the mapping is returned by the read of the
  // last piece. Any failure ends the read.
  std::optional<CodecError> read(std::span<uint32_t> out);

 private:
  TokenIdReader(const Codec& codec, ByteBuffer inflated, PayloadReader payload)
      : codec_(&codec), inflated_(std::move(inflated)), payload_(payload) {}

  const Codec* codec_;
  ByteBuffer inflated_;  // the member's data when the payload is gzip
  PayloadReader payload_;
  std::optional<CodecError> miss_;
};

}  // namespace vonk

#endif  // VONK_CODEC_TOKEN_ID_READER_H_
