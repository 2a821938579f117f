#include "batches/token_counts.h"

#include <algorithm>

namespace vonk {
namespace {

// Counts packed uint32 ids; returns the index of the first one out of
// range, or ids.size().
size_t count_packed(std::span<const uint32_t> ids, std::span<uint64_t> counts) {
  const size_t n = counts.size();
  for (size_t i = 0; i < ids.size(); ++i) {
    const uint32_t id = ids[i];
    if (id >= n) [[unlikely]] return i;
    ++counts[id];
  }
  return ids.size();
}

}  // namespace

// Other layouts are widened a piece at a time into a buffer on the stack.
bool count_token_ids(const IntegerLayout& ids, std::span<uint64_t> counts,
                     ElementFault* fault) {
  auto out_of_range = [&](size_t index, uint32_t id) {
    fault->index = index;
    fault->negative = false;
    fault->magnitude = id;
    return false;
  };
  if (ids.holds_exactly<uint32_t>()) {
    std::span<const uint32_t> packed(
        reinterpret_cast<const uint32_t*>(ids.data), ids.count);
    const size_t at = count_packed(packed, counts);
    return at == packed.size() ? true : out_of_range(at, packed[at]);
  }
  constexpr size_t kPiece = 4096;
  uint32_t piece[kPiece];
  for (size_t begin = 0; begin < ids.count; begin += kPiece) {
    const size_t end = std::min(ids.count, begin + kPiece);
    if (!widen(ids.slice(begin, end), piece, fault)) {
      fault->index += begin;
      return false;
    }
    std::span<const uint32_t> part(piece, end - begin);
    const size_t at = count_packed(part, counts);
    if (at != part.size()) return out_of_range(begin + at, part[at]);
  }
  return true;
}

}  // namespace vonk
