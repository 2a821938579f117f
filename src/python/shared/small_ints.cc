#include "python/shared/small_ints.h"

#include <bit>

namespace vonk {

bool SmallInts::fill() {
  if (filled_) return true;
  for (int v = 0; v < 256; ++v) {
    objects_[v] = PyLong_FromLong(v);
    if (objects_[v] == nullptr) {
      for (int w = 0; w < v; ++w) Py_CLEAR(objects_[w]);
      return false;
    }
  }
  base_ = reinterpret_cast<uintptr_t>(objects_[0]);
  const uintptr_t second = reinterpret_cast<uintptr_t>(objects_[1]);
  const uintptr_t stride = second - base_;
  bool even = second > base_ && std::has_single_bit(stride);
  for (int v = 0; v < 256 && even; ++v) {
    even = reinterpret_cast<uintptr_t>(objects_[v]) == base_ + v * stride;
  }
  shift_ = even ? std::countr_zero(stride) : 0;
  by_address_ = even;
  filled_ = true;
  return true;
}

void SmallInts::release() {
  if (!filled_) return;
  for (PyObject*& object : objects_) Py_CLEAR(object);
  filled_ = false;
  by_address_ = false;
}

}  // namespace vonk
