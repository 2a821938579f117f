// Initialisation of vonk._internal: one module object per process, refused
// to every interpreter but the one that owns it.
#include <Python.h>

#include <cstdint>

#include "lib/py_codec.h"
#include "lib/py_functions.h"
#include "lib/py_panic.h"
#include "lib/py_ref.h"
#include "lib/py_state.h"

namespace vonk {
namespace {

// Module API version the module is created with.
constexpr int kModuleApiVersion = 1013;

// The main interpreter's id.
constexpr int64_t kMainInterpreter = 0;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_internal",  // m_name
    "",           // m_doc: __doc__ is "" rather than None
    0,            // m_size: no per-module state
    nullptr,      // m_methods: members are added by the initialiser
    nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (creating it on first use) and
// sets the attribute. Returns false with an exception set.
bool register_member(PyObject* module, PyObject* name, PyObject* object) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return false;
    }
  }
  return PyList_Append(all.get(), name) == 0 &&
         PyObject_SetAttr(module, name, object) == 0;
}

// Adds the members in their fixed order: the class, then the functions.
bool initialise(PyObject* module) {
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef type(codec_type());
  PyRef class_name(PyUnicode_FromString("Codec"));
  if (!type || !class_name ||
      !register_member(module, class_name.get(), type.get())) {
    return false;
  }
  ModuleState& state = module_state();
  if (state.module_functions.empty()) {
    state.module_functions =
        method_table(module_function_rows(), &state.docstrings);
  }
  for (PyMethodDef& def : state.module_functions) {
    if (def.ml_name == nullptr) break;
    PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return false;
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name || !register_member(module, name.get(), function.get())) {
      return false;
    }
  }
  return true;
}

PyObject* release_owner_at_exit(PyObject* /*self*/, PyObject* /*unused*/) {
  release_owner(&module_state());
  Py_RETURN_NONE;
}

PyMethodDef release_def = {"release_owner", release_owner_at_exit,
                           METH_NOARGS, nullptr};

// A subinterpreter that owns the module gives it up when it is torn down,
// whether or not its import completed (CPython 3.12 refuses isolated
// subinterpreters only after initialisation has run). The main interpreter
// keeps it for the life of the process.
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

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (interpreter == nullptr) return nullptr;
  const int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;

  ModuleState& state = module_state();
  int64_t owner = -1;
  if (!state.owner_interpreter.compare_exchange_strong(owner, id)) {
    if (owner != id) {
      PyErr_SetString(PyExc_ImportError,
                      "vonk._internal: subinterpreters are not supported; "
                      "the module can only be used by the first interpreter "
                      "that imported it in this process");
      return nullptr;
    }
  } else if (!release_with_interpreter(id)) {
    state.owner_interpreter.store(-1);
    return nullptr;
  }

  if (state.module != nullptr) return Py_NewRef(state.module);

  PyRef module(PyModule_Create2(&module_def, kModuleApiVersion));
  if (!module || !initialise(module.get())) return nullptr;
  state.module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace vonk

PyMODINIT_FUNC PyInit__internal() {
  return vonk::guarded([] { return vonk::init_module(); });
}
