#include "lib/py_panic.h"

namespace vonk {
namespace {

// Created on first use and kept for the life of the process; guarded by the
// interpreter lock.
PyObject* panic_type = nullptr;

}  // namespace

void raise_panic(const char* message) {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "vonk.PanicException",
        "A fatal internal error of vonk. Derives from BaseException, so "
        "handlers for Exception do not catch it.",
        PyExc_BaseException, nullptr);
    if (panic_type == nullptr) return;  // its creation error stays pending
  }
  PyErr_SetString(panic_type, message);
}

}  // namespace vonk
