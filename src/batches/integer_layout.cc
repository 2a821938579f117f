#include "batches/integer_layout.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

namespace vonk {
namespace {

template <typename S>
S load(const std::byte* at, bool swapped) {
  S value;
  std::memcpy(&value, at, sizeof(S));
  if (swapped) {
    using U = std::make_unsigned_t<S>;
    U bits = static_cast<U>(value);
    if constexpr (sizeof(U) == 2) bits = __builtin_bswap16(bits);
    if constexpr (sizeof(U) == 4) bits = __builtin_bswap32(bits);
    if constexpr (sizeof(U) == 8) bits = __builtin_bswap64(bits);
    value = static_cast<S>(bits);
  }
  return value;
}

template <typename S>
ElementFault fault_at(size_t index, S value) {
  ElementFault fault;
  fault.index = index;
  if constexpr (std::is_signed_v<S>) {
    fault.negative = value < 0;
    fault.magnitude = value < 0 ? uint64_t{0} - static_cast<uint64_t>(value)
                                : static_cast<uint64_t>(value);
  } else {
    fault.magnitude = value;
  }
  return fault;
}

// The loop for source type S. The range check accumulates into one flag per
// block so that the common case (every element fits) stays a plain
// conversion loop the compiler can vectorise; a block with a misfit is
// scanned again for its first one.
template <typename S, typename T>
bool widen_from(const IntegerLayout& layout, T* out, ElementFault* fault) {
  constexpr size_t kBlock = 4096;
  const bool packed = layout.stride == static_cast<ptrdiff_t>(sizeof(S));
  for (size_t begin = 0; begin < layout.count; begin += kBlock) {
    const size_t end = std::min(layout.count, begin + kBlock);
    bool misfit = false;
    if (packed && !layout.swapped) {
      const std::byte* base = layout.data + begin * sizeof(S);
      for (size_t i = begin; i < end; ++i) {
        const S value = load<S>(base + (i - begin) * sizeof(S), false);
        misfit |= !std::in_range<T>(value);
        out[i] = static_cast<T>(value);
      }
    } else {
      for (size_t i = begin; i < end; ++i) {
        const S value = load<S>(
            layout.data + static_cast<ptrdiff_t>(i) * layout.stride,
            layout.swapped);
        misfit |= !std::in_range<T>(value);
        out[i] = static_cast<T>(value);
      }
    }
    if (!misfit) continue;
    for (size_t i = begin; i < end; ++i) {
      const S value =
          load<S>(layout.data + static_cast<ptrdiff_t>(i) * layout.stride,
                  layout.swapped);
      if (!std::in_range<T>(value)) {
        *fault = fault_at(i, value);
        return false;
      }
    }
  }
  return true;
}

template <typename T>
bool widen_any(const IntegerLayout& layout, T* out, ElementFault* fault) {
  switch (layout.width) {
    case 1:
      return layout.is_signed ? widen_from<int8_t>(layout, out, fault)
                              : widen_from<uint8_t>(layout, out, fault);
    case 2:
      return layout.is_signed ? widen_from<int16_t>(layout, out, fault)
                              : widen_from<uint16_t>(layout, out, fault);
    case 4:
      return layout.is_signed ? widen_from<int32_t>(layout, out, fault)
                              : widen_from<uint32_t>(layout, out, fault);
    default:
      return layout.is_signed ? widen_from<int64_t>(layout, out, fault)
                              : widen_from<uint64_t>(layout, out, fault);
  }
}

}  // namespace

bool widen(const IntegerLayout& layout, uint8_t* out, ElementFault* fault) {
  return widen_any(layout, out, fault);
}
bool widen(const IntegerLayout& layout, uint32_t* out, ElementFault* fault) {
  return widen_any(layout, out, fault);
}
bool widen(const IntegerLayout& layout, int64_t* out, ElementFault* fault) {
  return widen_any(layout, out, fault);
}

}  // namespace vonk
