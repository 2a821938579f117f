// The one translation unit that uses the buffer protocol.
//
// The protocol's functions and structure joined the limited API in 3.11,
// but CPython 3.10 exports the very same functions with the same structure
// layout (3.11 only declared them for the limited API; 3.10 is past its
// last feature release, so that cannot change). A module built for the
// 3.10 stable ABI therefore calls them safely on every version, and Python
// loads extensions with RTLD_NOW, so a missing symbol would fail the import,
// never a call. Against 3.11+ headers this file asks for the 3.11 limited
// API; 3.10's headers declare the protocol only outside the limited API,
// so there the file is compiled without it (it uses nothing else).
#include <patchlevel.h>
#undef Py_LIMITED_API
#if PY_VERSION_HEX >= 0x030B0000
#define Py_LIMITED_API 0x030B0000
#endif
#include <Python.h>

#include "python/arrays/buffer.h"

#include <new>

namespace vonk {
namespace {

Py_buffer* view_of(unsigned char* storage) {
  return std::launder(reinterpret_cast<Py_buffer*>(storage));
}

}  // namespace

HeldBuffer::~HeldBuffer() {
  if (held_) PyBuffer_Release(view_of(view_));
}

HeldBuffer::Status HeldBuffer::acquire(PyObject* object) {
  static_assert(sizeof(Py_buffer) <= sizeof(view_));
  static_assert(alignof(Py_buffer) <= 8);
  if (!PyObject_CheckBuffer(object)) return Status::kNotExported;
  Py_buffer* view = new (view_) Py_buffer;
  if (PyObject_GetBuffer(object, view, PyBUF_RECORDS_RO) != 0) {
    return Status::kFailed;
  }
  held_ = true;
  ndim_ = view->ndim;
  if (view->format != nullptr) format_ = view->format;
  itemsize_ = static_cast<size_t>(view->itemsize);
  data_ = static_cast<const std::byte*>(view->buf);
  if (ndim_ >= 1) {
    shape0_ = static_cast<size_t>(view->shape[0]);
    stride0_ = view->strides != nullptr
                   ? view->strides[0]
                   : static_cast<ptrdiff_t>(view->itemsize);
  } else {
    shape0_ = 1;
    stride0_ = static_cast<ptrdiff_t>(view->itemsize);
  }
  return Status::kHeld;
}

}  // namespace vonk
