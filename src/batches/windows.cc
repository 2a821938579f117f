#include "batches/windows.h"

#include <libdeflate.h>

#include <algorithm>
#include <utility>

#include "codec/payload.h"
#include "error/fatal_error.h"

namespace vonk {

namespace {

// Chunks a source of `tokens` ids holds in chunks of `chunk_size`.
uint64_t chunk_count(uint64_t tokens, uint64_t chunk_size) {
  return tokens / chunk_size + (tokens % chunk_size != 0);
}

}  // namespace

std::optional<std::string> check_source(const ChunkSource& source) {
  if (source.token_count == 0) return std::nullopt;
  if (source.chunk_size == 0) return "its chunk size is 0";
  const uint64_t chunks = chunk_count(source.token_count, source.chunk_size);
  if (source.begins.size() != chunks || source.ends.size() != chunks ||
      source.crcs.size() != chunks) {
    return std::to_string(source.token_count) + " tokens in chunks of " +
           std::to_string(source.chunk_size) + " need " +
           std::to_string(chunks) + " chunks, the index lists " +
           std::to_string(source.begins.size());
  }
  return std::nullopt;
}

WindowReader::WindowReader(const Codec& codec,
                           std::span<const ChunkSource> sources)
    : codec_(codec), sources_(sources) {}

std::optional<ChunkFault> WindowReader::load(size_t source, uint64_t chunk,
                                             std::span<const uint8_t>* plain) {
  for (const Cached& entry : cache_) {
    if (entry.source == source && entry.chunk == chunk) {
      *plain = entry.plain;
      return std::nullopt;
    }
  }
  const ChunkSource& from = sources_[source];
  const int64_t begin = from.begins[chunk];
  const int64_t end = from.ends[chunk];
  if (begin < 0 || end < begin || static_cast<uint64_t>(end) > from.bytes.size()) {
    return ChunkFault{source, chunk,
                      "its payload lies at bytes " + std::to_string(begin) +
                          " to " + std::to_string(end) + " of " +
                          std::to_string(from.bytes.size())};
  }
  const std::span<const uint8_t> stored =
      from.bytes.subspan(static_cast<size_t>(begin),
                         static_cast<size_t>(end - begin));
  if (libdeflate_crc32(0, stored.data(), stored.size()) != from.crcs[chunk]) {
    return ChunkFault{source, chunk, "its payload does not match its CRC-32"};
  }
  Cached& entry = cache_[newest_ ^= 1];
  entry.source = SIZE_MAX;
  Result<std::span<const uint8_t>> unwrapped =
      plain_payload(stored, from.gzip, &entry.inflated);
  if (!unwrapped.ok()) {
    return ChunkFault{source, chunk, unwrapped.error().display()};
  }
  entry.source = source;
  entry.chunk = chunk;
  entry.plain = unwrapped.value();
  *plain = entry.plain;
  return std::nullopt;
}

std::optional<ChunkFault> WindowReader::read(uint64_t start,
                                             std::span<uint32_t> out) {
  // The source holding `start`: the last one starting at or before it.
  size_t source = static_cast<size_t>(
      std::upper_bound(sources_.begin(), sources_.end(), start,
                       [](uint64_t at, const ChunkSource& s) {
                         return at < s.first_token;
                       }) -
      sources_.begin());
  source = source == 0 ? 0 : source - 1;
  size_t done = 0;
  while (done < out.size()) {
    if (source == sources_.size()) {
      fatal_error("WindowReader::read: a window past the last source");
    }
    const ChunkSource& from = sources_[source];
    const uint64_t at = start + done - from.first_token;
    if (at >= from.token_count) {  // past this source's end (or empty)
      ++source;
      continue;
    }
    const uint64_t chunk = at / from.chunk_size;
    const uint64_t skip = at % from.chunk_size;
    const uint64_t held =
        std::min(from.chunk_size, from.token_count - chunk * from.chunk_size);
    const size_t take =
        static_cast<size_t>(std::min<uint64_t>(held - skip, out.size() - done));

    std::span<const uint8_t> plain;
    if (auto fault = load(source, chunk, &plain)) return fault;
    Result<PayloadReader> opened = PayloadReader::open(plain);
    if (!opened.ok()) {
      return ChunkFault{source, chunk, opened.error().display()};
    }
    PayloadReader& reader = opened.value();
    if (reader.declared() != held) {
      return ChunkFault{source, chunk,
                        "it holds " + std::to_string(reader.declared()) +
                            " ids, not " + std::to_string(held)};
    }
    if (auto error = reader.skip(static_cast<size_t>(skip))) {
      return ChunkFault{source, chunk, error->display()};
    }
    const std::span<uint32_t> part = out.subspan(done, take);
    if (auto error = reader.read(std::span<int32_t>(
            reinterpret_cast<int32_t*>(part.data()), part.size()))) {
      return ChunkFault{source, chunk, error->display()};
    }
    if (auto error = codec_.token_ids_in_place(part)) {
      return ChunkFault{source, chunk, error->display()};
    }
    done += take;
  }
  return std::nullopt;
}

}  // namespace vonk
