// Bulk readers of runs of zigzag varints: the hot loop of the payload reader.
// Private to src/codec (and its tests).
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

// A run reader decodes zigzag varints of at most five bytes from `*p` into
// `out`, as many as it can without checking bounds byte by byte. It stops
// after `count` ids, when only its slack of bytes (at most 72) remains, or
// before a varint of more than five bytes, advances `*p` past the varints it
// decoded and returns their number. It writes only the ids it returns, each
// taking at least one input byte, so `out` needs room for
// min(count, end - *p) ids. The caller reads what is left byte by byte.
using RunReader = size_t (*)(const uint8_t** p, const uint8_t* end,
                             size_t count, int32_t* out);

// Any CPU: takes four varints at once from each 8-byte word.
size_t read_run_portable(const uint8_t** p, const uint8_t* end, size_t count,
                         int32_t* out);

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VONK_ZIGZAG_RUN_BMI2 1
// x86-64 with BMI1 and BMI2 only (see bmi2_usable): walks a 64-byte mask of
// varint ends and extracts each value with PEXT.
size_t read_run_bmi2(const uint8_t** p, const uint8_t* end, size_t count,
                     int32_t* out);

// True if this CPU runs read_run_bmi2, and runs PEXT fast.
bool bmi2_usable();
#endif

// The fastest reader this CPU runs; chosen once.
RunReader best_run_reader();

}  // namespace vonk::zigzag_run

#endif  // VONK_CODEC_ZIGZAG_RUN_H_
