#include "python/arrays/results.h"

#include <cstring>

#include "python/shared/ref.h"
#include "python/shared/state.h"

namespace vonk {
namespace {

// Copies at least this large are made without the interpreter lock.
constexpr size_t kUnlockedCopy = size_t{1} << 16;

// PyBUF_READ: the flag of a read-only memoryview, a stable value that the
// 3.10 limited-API headers leave undeclared.
constexpr int kReadOnlyView = 0x100;

}  // namespace

void copy_bytes(void* to, const void* from, size_t size) {
  if (size >= kUnlockedCopy) {
    ReleasedLock released;
    std::memcpy(to, from, size);
  } else if (size != 0) {
    std::memcpy(to, from, size);
  }
}

PyObject* new_bytes(const uint8_t* data, size_t size) {
  PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return nullptr;
  copy_bytes(PyBytes_AsString(bytes.get()), data, size);
  return bytes.release();
}

PyObject* new_empty_array(const char* typecode) {
  return PyObject_CallFunction(module_state().array_type, "s", typecode);
}

bool append_to_array(PyObject* array, const void* data, size_t bytes) {
  if (bytes == 0) return true;
  PyRef view(PyMemoryView_FromMemory(
      const_cast<char*>(static_cast<const char*>(data)),
      static_cast<Py_ssize_t>(bytes), kReadOnlyView));
  if (!view) return false;
  PyRef done(PyObject_CallMethod(array, "frombytes", "O", view.get()));
  return static_cast<bool>(done);
}

PyObject* new_array(const char* typecode, const void* data, size_t bytes) {
  PyRef array(new_empty_array(typecode));
  if (!array || !append_to_array(array.get(), data, bytes)) return nullptr;
  return array.release();
}

}  // namespace vonk
