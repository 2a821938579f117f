#include "python/shared/state.h"

#include <dlfcn.h>

#include "python/shared/ref.h"

namespace vonk {

ModuleState& module_state() {
  static ModuleState state;
  return state;
}

void release_owner(ModuleState* state) {
  Py_CLEAR(state->internal_module);
  Py_CLEAR(state->arrays_module);
  Py_CLEAR(state->codec_type);
  Py_CLEAR(state->mapping_tables_type);
  Py_CLEAR(state->panic_type);
  Py_CLEAR(state->array_type);
  Py_CLEAR(state->masked_array_type);
  state->small_ints.release();
  state->owner_interpreter.store(-1);
}

namespace {

constexpr int64_t kMainInterpreter = 0;

PyObject* release_at_exit(PyObject* /*self*/, PyObject* /*unused*/) {
  release_owner(&module_state());
  Py_RETURN_NONE;
}

PyMethodDef release_def = {"release_owner", release_at_exit, METH_NOARGS,
                           nullptr};

bool release_with_interpreter(int64_t interpreter) {
  if (interpreter == kMainInterpreter) return true;
  PyRef atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef hook(PyCMethod_New(&release_def, nullptr, nullptr, nullptr));
  if (!hook) return false;
  PyRef registered(
      PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return static_cast<bool>(registered);
}

// CPython 3.12 runs a single-phase init function in an isolated
// subinterpreter and refuses the module only after it returns. That
// version exports the check it then makes; running it first keeps such an
// interpreter from claiming the library. Other versions either lack the
// symbol (3.13 and later run the init function in the main interpreter) or
// never refuse.
bool refused_by_interpreter(const char* module_name) {
  using Check = int (*)(const char*);
  static const Check check = reinterpret_cast<Check>(dlsym(
      RTLD_DEFAULT, "_PyImport_CheckSubinterpIncompatibleExtensionAllowed"));
  return check != nullptr && check(module_name) < 0;
}

}  // namespace

bool claim_owner(ModuleState* state, const char* module_name) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (interpreter == nullptr) return false;
  const int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return false;
  if (id != kMainInterpreter && state->owner_interpreter.load() != id &&
      refused_by_interpreter(module_name)) {
    return false;
  }

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
  if (!release_with_interpreter(id)) {
    state->owner_interpreter.store(-1);
    return false;
  }
  return true;
}

}  // namespace vonk
