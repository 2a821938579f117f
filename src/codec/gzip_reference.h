// The slow, authoritative reading of a gzip member, against which
// gzip_unwrap is checked and timed.
#ifndef VONK_CODEC_GZIP_REFERENCE_H_
#define VONK_CODEC_GZIP_REFERENCE_H_

#include <cstdint>
#include <span>

#include "base/pod_buffer.h"
#include "error/result.h"

namespace vonk {

// Returns what gzip_unwrap returns for `bytes` (the data, or the same
// failure with the same text), reading the member with zlib alone: two to
// two and a half times gzip_unwrap's time on ordinary members. gzip_unwrap
// falls back on this reading whenever its faster one declines, so this is
// the one that defines the outcome; tests compare the two.
Result<ByteBuffer> gzip_unwrap_zlib(std::span<const uint8_t> bytes);

}  // namespace vonk

#endif  // VONK_CODEC_GZIP_REFERENCE_H_
