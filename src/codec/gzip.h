// Gzip framing of payloads: one RFC 1952 member with a fixed header.
#ifndef VONK_CODEC_GZIP_H_
#define VONK_CODEC_GZIP_H_

#include <cstdint>
#include <span>
#include <vector>

#include "error/result.h"

namespace vonk {

// Wraps `bytes` in one gzip member: header 1F 8B 08 00 00000000 00 FF, raw
// DEFLATE at level 6, CRC-32 and ISIZE. A compressor failure is a fatal
// internal error.
std::vector<uint8_t> gzip_wrap(std::span<const uint8_t> bytes);

// Returns the data of the first gzip member of `bytes`, or InvalidPayload
// carrying "Gzip decompression failed: " and the reason.
Result<std::vector<uint8_t>> gzip_unwrap(std::span<const uint8_t> bytes);

}  // namespace vonk

#endif  // VONK_CODEC_GZIP_H_
