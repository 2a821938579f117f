// SmallInts: the interpreter's int objects for 0..255, held for payload
// bytes crossing the Python boundary.
#ifndef VONK_PYTHON_SHARED_SMALL_INTS_H_
#define VONK_PYTHON_SHARED_SMALL_INTS_H_

#include <Python.h>

#include <cstdint>

namespace vonk {

// Invariant: once fill() has succeeded, the table holds one reference to
// each of the 256 objects until release(). Recognising a byte by its
// object's address (lookup) is correct only because of that: an object we
// hold can never be freed, so its address can never be taken by another
// object. Result lists share the objects instead of creating new ints.
class SmallInts {
 public:
  SmallInts() = default;
  SmallInts(const SmallInts&) = delete;
  SmallInts& operator=(const SmallInts&) = delete;

  // Fills the table on first use; false with an exception set.
  bool fill();

  // Drops the held references; the table is empty again. Only for the
  // teardown of the interpreter that owns the objects.
  void release();

  // A new reference to the int `value`. Requires fill().
  PyObject* get(uint8_t value) const {
    PyObject* object = objects_[value];
    Py_INCREF(object);
    return object;
  }

  // If `object` is the held int of some value 0..255, stores that value
  // and returns true. Answers false for every object when the interpreter
  // does not lay the ints out at equal power-of-two steps.
  bool lookup(PyObject* object, uint8_t* value) const {
    if (!by_address_) return false;
    const uintptr_t offset = reinterpret_cast<uintptr_t>(object) - base_;
    if (offset >= (uintptr_t{256} << shift_) ||
        (offset & ((uintptr_t{1} << shift_) - 1)) != 0) {
      return false;
    }
    *value = static_cast<uint8_t>(offset >> shift_);
    return true;
  }

 private:
  bool filled_ = false;
  bool by_address_ = false;
  uintptr_t base_ = 0;
  int shift_ = 0;
  PyObject* objects_[256] = {};
};

}  // namespace vonk

#endif  // VONK_PYTHON_SHARED_SMALL_INTS_H_
