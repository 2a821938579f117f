// HeldBuffer: the buffer an object exports, held (and so kept from being
// resized or freed by its exporter) until the holder goes.
#ifndef VONK_PYTHON_ARRAYS_BUFFER_H_
#define VONK_PYTHON_ARRAYS_BUFFER_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vonk {

// The only code that sees the interpreter's buffer structure; everything
// else reads the description below. Not copyable; the buffer is released
// by the destructor, which needs the interpreter lock.
class HeldBuffer {
 public:
  enum class Status { kHeld, kNotExported, kFailed };

  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer();

  // Acquires the read-only strided buffer of `object`, with its format:
  // kHeld, kNotExported when the object exports none (no exception set),
  // or kFailed with the exporter's exception set. At most once per holder.
  Status acquire(PyObject* object);

  // The description of the held buffer (requires kHeld). Elements of
  // `itemsize` bytes in `ndim` dimensions; shape(0) and stride(0) describe
  // the first. format() is the struct-module format ("B" when the exporter
  // gave none).
  int ndim() const { return ndim_; }
  const char* format() const { return format_; }
  size_t itemsize() const { return itemsize_; }
  size_t shape0() const { return shape0_; }
  ptrdiff_t stride0() const { return stride0_; }
  const std::byte* data() const { return data_; }

 private:
  // Room for the interpreter's structure, which only py_buffer.cc sees.
  alignas(8) unsigned char view_[128];
  bool held_ = false;
  int ndim_ = 0;
  const char* format_ = "B";
  size_t itemsize_ = 1;
  size_t shape0_ = 0;
  ptrdiff_t stride0_ = 0;
  const std::byte* data_ = nullptr;
};

}  // namespace vonk

#endif  // VONK_PYTHON_ARRAYS_BUFFER_H_
