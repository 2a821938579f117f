#include "lib/py_state.h"

#include "lib/py_ref.h"

namespace vonk {

ModuleState& module_state() {
  static ModuleState state;
  return state;
}

void release_owner(ModuleState* state) {
  Py_CLEAR(state->module);
  Py_CLEAR(state->codec_type);
  Py_CLEAR(state->panic_type);
  state->small_ints.release();
  state->owner_interpreter.store(-1);
}

namespace {

constexpr int64_t kMainInterpreter = 0;

bool release_with_interpreter(int64_t interpreter, PyMethodDef* release_hook) {
  if (interpreter == kMainInterpreter) return true;
  PyRef atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef hook(PyCMethod_New(release_hook, nullptr, nullptr, nullptr));
  if (!hook) return false;
  PyRef registered(
      PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return static_cast<bool>(registered);
}

}  // namespace

bool claim_owner(ModuleState* state, const char* module_name,
                 PyMethodDef* release_hook) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (interpreter == nullptr) return false;
  const int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return false;

  int64_t owner = -1;
  if (!state->owner_interpreter.compare_exchange_strong(owner, id)) {
    if (owner == id) return true;
    PyErr_Format(PyExc_ImportError,
                 "%s: subinterpreters are not supported; the module can "
                 "only be used by the first interpreter that imported it in "
                 "this process",
                 module_name);
    return false;
  }
  if (!release_with_interpreter(id, release_hook)) {
    state->owner_interpreter.store(-1);
    return false;
  }
  return true;
}

}  // namespace vonk
