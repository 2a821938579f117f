// PyRef: an owned reference to a Python object, released when the holder
// goes.
#ifndef VONK_PYTHON_SHARED_REF_H_
#define VONK_PYTHON_SHARED_REF_H_

#include <Python.h>

#include <utility>

namespace vonk {

class PyRef {
 public:
  PyRef() = default;
  // Takes over `object` (may be nullptr).
  explicit PyRef(PyObject* object) : object_(object) {}
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.release();
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Gives up ownership without releasing the reference.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace vonk

#endif  // VONK_PYTHON_SHARED_REF_H_
