// IntegerLayout: where the integers of a one-dimensional buffer lie and how
// each is stored, and their widening to one fixed element type.
#ifndef VONK_BATCHES_INTEGER_LAYOUT_H_
#define VONK_BATCHES_INTEGER_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace vonk {

// A view: the memory belongs to whoever exported it and must not change
// while the layout is read.
struct IntegerLayout {
  const std::byte* data = nullptr;  // the first element
  size_t count = 0;
  ptrdiff_t stride = 0;  // bytes from one element to the next (any sign)
  size_t width = 1;      // bytes per element: 1, 2, 4 or 8
  bool is_signed = false;
  bool swapped = false;  // stored in the byte order opposite to the machine's

  // True when the elements already are T, one after the other: read in
  // place, no widening needed.
  template <typename T>
  bool holds_exactly() const {
    return width == sizeof(T) && is_signed == (static_cast<T>(-1) < 0) &&
           !swapped && (count <= 1 || stride == sizeof(T)) &&
           reinterpret_cast<uintptr_t>(data) % alignof(T) == 0;
  }

  // The layout of `values`, packed in the machine's byte order.
  template <typename T>
  static IntegerLayout packed(std::span<const T> values) {
    IntegerLayout layout;
    layout.data = reinterpret_cast<const std::byte*>(values.data());
    layout.count = values.size();
    layout.stride = sizeof(T);
    layout.width = sizeof(T);
    layout.is_signed = static_cast<T>(-1) < 0;
    return layout;
  }

  // Elements [begin, end) as a layout of their own. Requires
  // begin <= end <= count.
  IntegerLayout slice(size_t begin, size_t end) const {
    IntegerLayout part = *this;
    part.data = data + static_cast<ptrdiff_t>(begin) * stride;
    part.count = end - begin;
    return part;
  }
};

// The first element that does not fit the target type.
struct ElementFault {
  size_t index = 0;       // within the layout that was widened
  bool negative = false;  // the value is -magnitude, else +magnitude
  uint64_t magnitude = 0;
};

// Widens every element of `layout` into out[0, layout.count), in order.
// Returns true, or false with *fault describing the first element outside
// the range of T (out is then partly written). Requires width 1, 2, 4 or
// 8. Reads nothing but the layout's elements; allocates nothing.
bool widen(const IntegerLayout& layout, uint8_t* out, ElementFault* fault);
bool widen(const IntegerLayout& layout, uint32_t* out, ElementFault* fault);
bool widen(const IntegerLayout& layout, int64_t* out, ElementFault* fault);

}  // namespace vonk

#endif  // VONK_BATCHES_INTEGER_LAYOUT_H_
