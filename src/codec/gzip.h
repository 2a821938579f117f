// Gzip framing of payloads: one RFC 1952 member with a fixed header.
#ifndef VONK_CODEC_GZIP_H_
#define VONK_CODEC_GZIP_H_

#include <cstdint>
#include <span>

#include "base/pod_buffer.h"
#include "error/result.h"

struct libdeflate_compressor;

namespace vonk {

// Wraps `bytes` in one gzip member: header 1F 8B 08 00 00000000 00 FF, raw
// DEFLATE at level 6, CRC-32 and ISIZE. The member is written straight into
// room for the longest one possible, of which only what is written is
// touched, so a call holds the bytes and one member at once, besides the
// compressor's own state (well under 1 MiB). A compressor failure is a
// fatal internal error.
ByteBuffer gzip_wrap(std::span<const uint8_t> bytes);

// A level 6 compressor kept for many members, for callers that wrap many
// small payloads in a row (setting one up costs more than deflating a
// short payload). wrap() writes exactly what gzip_wrap writes. Not for use
// by two threads at once.
class GzipWriter {
 public:
  GzipWriter();
  ~GzipWriter();
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;

  ByteBuffer wrap(std::span<const uint8_t> bytes);

 private:
  ::libdeflate_compressor* compressor_;
};

// Returns the data of the first gzip member of `bytes`, or InvalidPayload
// carrying "Gzip decompression failed: " and the reason. libdeflate first
// inflates the member in one go into room for the size its ISIZE declares
// (read from the end of the input); whenever that does not end in a
// matching trailer, zlib reads the member again, and its reading, which
// decides every failure and its text, is the result. The outcome is
// therefore gzip_unwrap_zlib's (codec/gzip_reference.h) on every input. The
// memory it touches is the data produced plus a constant: room beyond the
// data is written at most a few words past its end, and room that proves
// too small is freed before larger room is taken (zlib's inflation then
// starts over).
Result<ByteBuffer> gzip_unwrap(std::span<const uint8_t> bytes);

}  // namespace vonk

#endif  // VONK_CODEC_GZIP_H_
