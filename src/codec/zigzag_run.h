// The bulk reader of runs of zigzag varints: the hot loop of the payload
// reader. Private to src/codec (and its tests).
#ifndef VONK_CODEC_ZIGZAG_RUN_H_
#define VONK_CODEC_ZIGZAG_RUN_H_

#include <cstddef>
#include <cstdint>

namespace vonk::zigzag_run {

// The signed 32-bit value of a raw varint value `v`: inverse zigzag done in
// 64 bits, keeping the low 32 bits of the result (so bit 32 of an over-wide
// value lands in bit 31).
inline int32_t unzigzag32(uint64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>((v >> 1) ^ (0 - (v & 1))));
}

// Decodes zigzag varints of at most five bytes from `*p` into `out`, taking
// up to four at once from each 8-byte word, without checking bounds byte by
// byte. Invariant: it reads only whole 8-byte words that lie before `end`,
// and it decodes exactly what a byte-at-a-time reading of those bytes
// would. It stops after `count` ids, when fewer than 8 bytes remain, or
// before a varint of more than five bytes; it advances `*p` past the
// varints it decoded and returns their number. It writes only the ids it
// returns, each taking at least one input byte, so `out` needs room for
// min(count, end - *p) ids. The caller reads what is left byte by byte.
size_t read_run(const uint8_t** p, const uint8_t* end, size_t count,
                int32_t* out);

}  // namespace vonk::zigzag_run

#endif  // VONK_CODEC_ZIGZAG_RUN_H_
