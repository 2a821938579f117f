#include "python/shared/module.h"

#include "python/shared/ref.h"

namespace vonk {

namespace {

// Module API version the modules are created with.
constexpr int kModuleApiVersion = 1013;

}  // namespace

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

bool register_functions(PyObject* module, PyMethodDef* table) {
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef* def = table; def->ml_name != nullptr; ++def) {
    PyRef function(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) return false;
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name || !register_member(module, name.get(), function.get())) {
      return false;
    }
  }
  return true;
}

PyObject* init_module(const ModuleRecipe& recipe) {
  ModuleState& state = module_state();
  if (!claim_owner(&state, recipe.qualified_name)) return nullptr;
  PyObject*& kept = state.*recipe.kept;
  if (kept != nullptr) return Py_NewRef(kept);
  PyRef module(PyModule_Create2(recipe.definition, kModuleApiVersion));
  if (!module || !recipe.add_members(module.get())) return nullptr;
  kept = Py_NewRef(module.get());
  return module.release();
}

}  // namespace vonk
