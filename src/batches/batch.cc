#include "batches/batch.h"

#include <utility>

#include "codec/token_id_reader.h"

namespace vonk {

std::optional<OffsetFault> check_offsets(std::span<const int64_t> offsets,
                                         uint64_t total) {
  using Kind = OffsetFault::Kind;
  if (offsets.empty()) return OffsetFault{Kind::kEmpty};
  if (offsets[0] != 0) return OffsetFault{Kind::kFirstNotZero, 0, offsets[0]};
  for (size_t i = 1; i < offsets.size(); ++i) {
    if (offsets[i] < offsets[i - 1]) {
      return OffsetFault{Kind::kDecreasing, i, offsets[i], offsets[i - 1]};
    }
  }
  const size_t last = offsets.size() - 1;
  if (static_cast<uint64_t>(offsets[last]) != total) {
    return OffsetFault{Kind::kLastNotTotal, last, offsets[last]};
  }
  return std::nullopt;
}

std::optional<DocumentFailure> pack_documents(const Codec& codec,
                                              const IntegerLayout& token_ids,
                                              std::span<const int64_t> offsets,
                                              bool gzip, size_t budget,
                                              PackedBatch* batch) {
  const size_t documents = offsets.size() - 1;
  size_t handled = 0;
  while (batch->next_document < documents && handled < budget) {
    const size_t d = batch->next_document;
    const size_t begin = static_cast<size_t>(offsets[d]);
    const size_t end = static_cast<size_t>(offsets[d + 1]);
    std::span<const uint32_t> ids;
    const IntegerLayout part = token_ids.slice(begin, end);
    if (part.holds_exactly<uint32_t>()) {
      ids = std::span(reinterpret_cast<const uint32_t*>(part.data), part.count);
    } else {
      batch->scratch.resize(part.count);
      ElementFault fault;
      if (!widen(part, batch->scratch.data(), &fault)) {
        fault.index += begin;
        return DocumentFailure{d, fault};
      }
      ids = batch->scratch;
    }
    // Gzip members come from one compressor for the whole batch: the same
    // bytes as the codec's own wrapping, without setting one up each time.
    auto payload = codec.encode_token_ids(ids, false);
    if (!payload.ok()) return DocumentFailure{d, std::move(payload).error()};
    const auto& plain = payload.value();
    ByteBuffer member;
    std::span<const uint8_t> bytes(plain.data(), plain.size());
    if (gzip) {
      if (!batch->gzip_writer) batch->gzip_writer.emplace();
      member = batch->gzip_writer->wrap(bytes);
      bytes = std::span<const uint8_t>(member.data(), member.size());
    }
    batch->payloads.append(bytes.data(), bytes.size());
    batch->offsets.push_back(static_cast<int64_t>(batch->payloads.size()));
    batch->next_document = d + 1;
    // An empty document still costs a call: count it as one id.
    handled += end - begin + 1;
  }
  return std::nullopt;
}

std::optional<DocumentFailure> unpack_documents(
    const Codec& codec, std::span<const uint8_t> payloads,
    std::span<const int64_t> offsets, bool gzip, size_t budget,
    UnpackedBatch* batch) {
  const size_t documents = offsets.size() - 1;
  size_t handled = 0;
  while (batch->next_document < documents && handled < budget) {
    const size_t d = batch->next_document;
    const size_t begin = static_cast<size_t>(offsets[d]);
    const size_t end = static_cast<size_t>(offsets[d + 1]);
    const std::span<const uint8_t> payload =
        payloads.subspan(begin, end - begin);
    // Straight onto the end of the ids, the member inflated once.
    Result<TokenIdReader> reader = TokenIdReader::open(codec, payload, gzip);
    if (!reader.ok()) return DocumentFailure{d, std::move(reader).error()};
    if (auto error = append_all(&reader.value(), &batch->token_ids)) {
      return DocumentFailure{d, *std::move(error)};
    }
    batch->offsets.push_back(static_cast<int64_t>(batch->token_ids.size()));
    batch->next_document = d + 1;
    // An empty payload still costs a call: count it as one byte.
    handled += end - begin + 1;
  }
  return std::nullopt;
}

}  // namespace vonk
