// Initialisation of vonk._arrays, the buffer API. It lives in the same
// shared object as vonk._internal, is made with the same skeleton, and
// shares its owner interpreter, Codec type and core.
#include <Python.h>

#include "python/arrays/entry_points.h"
#include "python/arrays/mapping_type.h"
#include "python/arrays/token_windows.h"
#include "python/internal/codec_type.h"
#include "python/shared/module.h"
#include "python/shared/ref.h"

namespace vonk {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_arrays",
    "Token ids in buffers and arrays, one document or many at a time.",
    0,
    nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

// The array typecode `code` must hold items of `size` bytes: 'I' is the
// uint32 of the results, 'q' the int64 of their offsets.
bool check_item_size(PyObject* array_type, const char* code, long size) {
  PyRef array(PyObject_CallFunction(array_type, "s", code));
  if (!array) return false;
  PyRef itemsize(PyObject_GetAttrString(array.get(), "itemsize"));
  if (!itemsize) return false;
  if (PyLong_AsLong(itemsize.get()) == size) return true;
  if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_ImportError,
                 "vonk._arrays: array typecode '%s' does not hold %ld bytes",
                 code, size);
  }
  return false;
}

bool add_members(PyObject* module) {
  ModuleState& state = module_state();
  if (state.array_type == nullptr) {
    PyRef array_module(PyImport_ImportModule("array"));
    if (!array_module) return false;
    PyRef array_type(PyObject_GetAttrString(array_module.get(), "array"));
    if (!array_type || !check_item_size(array_type.get(), "I", 4) ||
        !check_item_size(array_type.get(), "q", 8)) {
      return false;
    }
    state.array_type = array_type.release();
  }
  // Tokenizers may be given as Codec objects: the type must exist.
  PyRef type(codec_type());
  if (!type) return false;
  // Mapping tables are a class of this module, outside its __all__:
  // vonk.Mapping is what users see.
  PyRef tables(mapping_tables_type());
  if (!tables || PyObject_SetAttrString(module, "MappingTables", tables.get()) < 0) {
    return false;
  }
  static PyMethodDef* const functions = method_table(arrays_function_rows());
  if (!register_functions(module, functions)) return false;
  // Private functions: attributes, but not in __all__.
  static PyMethodDef* const private_functions =
      method_table(arrays_private_rows());
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef* def = private_functions; def->ml_name != nullptr; ++def) {
    PyRef function(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function || PyObject_SetAttrString(module, def->ml_name,
                                            function.get()) < 0) {
      return false;
    }
  }
  return true;
}

const ModuleRecipe kRecipe = {&module_def, "vonk._arrays",
                          &ModuleState::arrays_module, add_members};

}  // namespace
}  // namespace vonk

PyMODINIT_FUNC PyInit__arrays() {
  return vonk::run_guarded<PyObject*>(
      nullptr, vonk::OutOfMemory::kMemoryError,
      [] { return vonk::init_module(vonk::kRecipe); });
}
