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

PyObject* init_module() {
  ModuleState& state = module_state();
  if (!claim_owner(&state, "vonk._internal", &release_def)) return nullptr;

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
