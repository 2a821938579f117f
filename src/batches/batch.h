// Batches: many documents in Arrow's layout (one flat sequence and n+1
// offsets starting at 0), each packed to or unpacked from its own payload.
#ifndef VONK_BATCHES_BATCH_H_
#define VONK_BATCHES_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "batches/integer_layout.h"
#include "base/pod_buffer.h"
#include "codec/gzip.h"
#include "error/codec_error.h"
#include "codec/codec.h"

namespace vonk {

// Why offsets cannot describe documents of a sequence of `total` elements.
struct OffsetFault {
  enum class Kind : uint8_t {
    kEmpty,         // no offsets at all (n documents need n+1)
    kFirstNotZero,  // offsets[0] != 0
    kDecreasing,    // offsets[index] < offsets[index - 1]
    kLastNotTotal,  // offsets[index] (the last) != total
  };
  Kind kind;
  size_t index = 0;
  int64_t value = 0;     // offsets[index]
  int64_t previous = 0;  // offsets[index - 1] for kDecreasing
};

// Nothing when `offsets` starts at 0, never decreases and ends at `total`;
// otherwise its first fault, checked in that order.
std::optional<OffsetFault> check_offsets(std::span<const int64_t> offsets,
                                         uint64_t total);

// The failure of one document of a batch: a token id outside the uint32
// range (its index counts from the start of the whole sequence) or the
// core's error.
struct DocumentFailure {
  size_t document = 0;
  std::variant<ElementFault, CodecError> reason;
};

// The progress of a batch. Callers start with next_document 0 and empty
// vectors and call the step function until next_document is the number of
// documents; the output then is complete.
struct PackedBatch {
  size_t next_document = 0;
  PodBuffer<uint8_t> payloads;     // every payload, back to back
  std::vector<int64_t> offsets{0};  // n+1 offsets into payloads
  std::vector<uint32_t> scratch;   // one document's widened ids
  // Made by the first gzip document and kept for the rest.
  std::optional<GzipWriter> gzip_writer;
};
struct UnpackedBatch {
  size_t next_document = 0;
  PodBuffer<uint32_t> token_ids;    // every document's ids, back to back
  std::vector<int64_t> offsets{0};  // n+1 offsets into token_ids
};

// Packs documents from batch->next_document on, each the ids
// [offsets[d], offsets[d+1]) of `token_ids`, and stops after the document
// that brings the ids handled by this call to `budget` or more, or after
// the last. Requires check_offsets(offsets, token_ids.count) to pass. On
// failure returns the failing document; the batch is then unusable.
// Touches no Python object, so it may run without the interpreter lock.
std::optional<DocumentFailure> pack_documents(const Codec& codec,
                                              const IntegerLayout& token_ids,
                                              std::span<const int64_t> offsets,
                                              bool gzip, size_t budget,
                                              PackedBatch* batch);

// The same for unpacking: document d is the payload
// payloads[offsets[d], offsets[d+1]); `budget` counts payload bytes.
std::optional<DocumentFailure> unpack_documents(
    const Codec& codec, std::span<const uint8_t> payloads,
    std::span<const int64_t> offsets, bool gzip, size_t budget,
    UnpackedBatch* batch);

}  // namespace vonk

#endif  // VONK_BATCHES_BATCH_H_
