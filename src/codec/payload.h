// The payload: one Thrift compact-protocol struct whose only field (id 1,
// `tokens`) is a list of I32 mapped ids. Its writer and its strict reader.
#ifndef VONK_CODEC_PAYLOAD_H_
#define VONK_CODEC_PAYLOAD_H_

#include <cstdint>
#include <optional>
#include <span>
#include "base/pod_buffer.h"
#include "error/codec_error.h"
#include "error/result.h"

namespace vonk {

// Largest number of ids a list header can declare.
inline constexpr uint64_t kMaxPayloadIds = 2147483647;

// Writes the payload of `mapped_ids`, wrapped in one gzip member when `gzip`.
// The plain bytes are sized exactly and written into unfilled room, so a
// call holds at most the plain payload and the member (see gzip_wrap). Never
// fails for lists of at most kMaxPayloadIds ids; a longer list is a fatal
// internal error, since its header cannot be written.
ByteBuffer encode_payload(std::span<const int32_t> mapped_ids, bool gzip);

// Reads a payload (unwrapping gzip first when `gzip`) into its mapped ids,
// or fails with InvalidPayload. Memory follows what the input really holds:
// ids are stored only while the bytes left can still hold the count the
// list declares (otherwise the rest is checked without being stored, for
// its first fault), and room for them is written only as they are read.
Result<PodBuffer<int32_t>> decode_payload(std::span<const uint8_t> bytes,
                                          bool gzip);

// The number of ids a plain payload's list declares, when its header reads
// correctly and the bytes after it could hold that many; nothing otherwise
// (decode_payload then names the fault).
std::optional<size_t> declared_payload_ids(std::span<const uint8_t> bytes);

// Reads a plain payload into `out`, which must hold exactly the count
// declared_payload_ids() gave (another size is a fatal internal error), and
// fails as decode_payload does. On failure `out` is partly written.
std::optional<CodecError> decode_payload_into(std::span<const uint8_t> bytes,
                                              std::span<int32_t> out);

}  // namespace vonk

#endif  // VONK_CODEC_PAYLOAD_H_
