// The payload: one Thrift compact-protocol struct whose only field (id 1,
// `tokens`) is a list of I32 mapped ids. Its writer and its strict reader.
#ifndef VONK_CODEC_PAYLOAD_H_
#define VONK_CODEC_PAYLOAD_H_

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "error/result.h"

namespace vonk {

// Largest number of ids a list header can declare.
inline constexpr uint64_t kMaxPayloadIds = 2147483647;

// Writes the payload of `mapped_ids`, wrapped in one gzip member when `gzip`.
// Never fails for lists of at most kMaxPayloadIds ids; a longer list is a
// fatal internal error, since its header cannot be written.
std::vector<uint8_t> encode_payload(std::span<const int32_t> mapped_ids,
                                    bool gzip);

// Reads a payload (unwrapping gzip first when `gzip`) into its mapped ids,
// or fails with InvalidPayload.
Result<std::vector<int32_t>> decode_payload(std::span<const uint8_t> bytes,
                                            bool gzip);

// As decode_payload, into *mapped_ids (replacing its contents, and left
// empty on failure), so that a caller can reuse one buffer across calls.
std::optional<CodecError> decode_payload_into(std::span<const uint8_t> bytes,
                                              bool gzip,
                                              std::vector<int32_t>* mapped_ids);

}  // namespace vonk

#endif  // VONK_CODEC_PAYLOAD_H_
