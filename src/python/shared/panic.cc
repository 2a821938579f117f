#include "python/shared/panic.h"

#include "python/shared/state.h"

namespace vonk {

void raise_panic(const char* message) {
  PyObject*& panic_type = module_state().panic_type;
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
