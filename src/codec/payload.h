// The payload: one Thrift compact-protocol struct whose only field (id 1,
// `tokens`) is a list of I32 mapped ids. Its writer and its strict reader.
#ifndef VONK_CODEC_PAYLOAD_H_
#define VONK_CODEC_PAYLOAD_H_

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include "base/pod_buffer.h"
#include "error/codec_error.h"
#include "error/fatal_error.h"
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

// The plain payload of `bytes`: the bytes themselves, or with `gzip` the
// data of their member, inflated into *inflated, which the result views.
Result<std::span<const uint8_t>> plain_payload(std::span<const uint8_t> bytes,
                                               bool gzip, ByteBuffer* inflated);

// Reads a payload (unwrapping gzip first when `gzip`) into its mapped ids,
// or fails with InvalidPayload. Memory follows what the input really holds:
// room for the declared count is taken only when the bytes left can hold
// it (otherwise the ids are read in small pieces for their first fault),
// and is written only as ids are read.
Result<PodBuffer<int32_t>> decode_payload(std::span<const uint8_t> bytes,
                                          bool gzip);

// Reads a plain payload in two steps: open() reads the field and list
// headers, which give the count the list declares; read() then takes the
// ids into room of the caller's, piece by piece, and with the last piece
// the stop byte. Faults are those of decode_payload, in the same order.
// Holds a view of the bytes, which must outlive it.
class PayloadReader {
 public:
  static Result<PayloadReader> open(std::span<const uint8_t> bytes);

  // Ids the list declares, and how many of them read() has not taken yet.
  size_t declared() const { return declared_; }
  size_t remaining() const { return remaining_; }

  // False when the bytes after the headers cannot hold the declared ids
  // (each takes at least one byte, and the stop byte follows): reading
  // then surely fails, so callers should not take room for them all.
  bool plausible() const { return plausible_; }

  // Reads the next out.size() ids into `out`, in order (requires
  // out.size() <= remaining()); when they are the last, also the stop
  // byte. Call it at least once, even for an empty list. On failure the
  // reader is spent and `out` partly written.
  std::optional<CodecError> read(std::span<int32_t> out);

  // Passes over the next `count` ids (requires count <= remaining()) as
  // read() would read them, but without their values: it only finds
  // where each ends, several at a time. Fails for the varint of more
  // than five bytes or the end of the bytes that read() fails for, with
  // the last id for the stop byte too, though not always with the same
  // text; then the reader is spent.
  std::optional<CodecError> skip(size_t count);

 private:
  PayloadReader(const uint8_t* p, const uint8_t* end, size_t declared)
      : p_(p),
        end_(end),
        declared_(declared),
        remaining_(declared),
        plausible_(declared < static_cast<size_t>(end - p)) {}

  const uint8_t* p_;  // the next element, or the stop byte
  const uint8_t* end_;
  size_t declared_;
  size_t remaining_;
  bool plausible_;
};

// Appends every id of `reader` (a PayloadReader, or a reader of the same
// shape that yields T) to `out`: into room for the declared count when the
// reader is plausible, else in small pieces into scratch, appending
// nothing, for the fault that surely comes. On failure `out` may hold part
// of the ids.
template <typename Reader, typename T>
std::optional<CodecError> append_all(Reader* reader, PodBuffer<T>* out) {
  if (reader->plausible()) {
    const size_t at = out->size();
    out->resize(at + reader->declared());
    return reader->read(std::span<T>(out->data() + at, reader->declared()));
  }
  constexpr size_t kIdsPerPiece = 16384;
  PodBuffer<T> scratch;
  scratch.resize(std::min(reader->declared(), kIdsPerPiece));
  do {
    const size_t step = std::min(reader->remaining(), kIdsPerPiece);
    if (auto error = reader->read(std::span<T>(scratch.data(), step))) {
      return error;
    }
  } while (reader->remaining() != 0);
  // Too few bytes for the declared ids cannot read without a fault.
  fatal_error("append_all: a payload too short for its ids read whole");
}

}  // namespace vonk

#endif  // VONK_CODEC_PAYLOAD_H_
