// The results of the buffer API: bytes and array.array objects made from
// core buffers, and the released interpreter lock that big copies and all
// buffer-level work run under.
#ifndef VONK_PYTHON_ARRAYS_RESULTS_H_
#define VONK_PYTHON_ARRAYS_RESULTS_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vonk {

// Releases the interpreter lock for its lifetime.
class ReleasedLock {
 public:
  ReleasedLock() : thread_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(thread_); }

 private:
  PyThreadState* thread_;
};

// Copies `size` bytes, without the lock when there are many.
void copy_bytes(void* to, const void* from, size_t size);

// A new bytes object holding the `size` bytes at `data`. The object is
// this call's alone until returned, so it is filled without the lock.
PyObject* new_bytes(const uint8_t* data, size_t size);

// A new, empty array.array of `typecode`.
PyObject* new_empty_array(const char* typecode);

// Appends the `bytes` bytes at `data` to `array`.
bool append_to_array(PyObject* array, const void* data, size_t bytes);

// A new array.array of `typecode` holding a copy of the `bytes` bytes at
// `data`.
PyObject* new_array(const char* typecode, const void* data, size_t bytes);

}  // namespace vonk

#endif  // VONK_PYTHON_ARRAYS_RESULTS_H_
