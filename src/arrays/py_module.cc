// Initialisation of vonk._arrays, the buffer API: like vonk._internal, one
// module object per process, refused to every interpreter but the one that
// owns it.
#include <Python.h>

#include <cstdint>

#include "arrays/py_arrays_state.h"
#include "arrays/py_entry_points.h"
#include "lib/py_panic.h"
#include "lib/py_ref.h"
#include "lib/py_state.h"

namespace vonk {
namespace {

constexpr int kModuleApiVersion = 1013;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_arrays",
    "Token ids in buffers and arrays, one document or many at a time.",
    0,
    nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

// A new reference to attribute `name` of module `module_name`.
PyObject* import_attribute(const char* module_name, const char* name) {
  PyRef module(PyImport_ImportModule(module_name));
  if (!module) return nullptr;
  return PyObject_GetAttrString(module.get(), name);
}

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

bool initialise(PyObject* module) {
  ArraysState& state = arrays_state();
  if (state.array_type == nullptr) {
    PyRef array_type(import_attribute("array", "array"));
    PyRef codec_type(import_attribute("vonk._internal", "Codec"));
    if (!array_type || !codec_type ||
        !check_item_size(array_type.get(), "I", 4) ||
        !check_item_size(array_type.get(), "q", 8)) {
      return false;
    }
    state.array_type = array_type.release();
    state.codec_type = codec_type.release();
  }
  if (state.functions.empty()) {
    state.functions = method_table(arrays_function_rows(), &state.docstrings);
  }
  PyRef module_name(PyModule_GetNameObject(module));
  PyRef all(PyList_New(0));
  if (!module_name || !all) return false;
  for (PyMethodDef& def : state.functions) {
    if (def.ml_name == nullptr) break;
    PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
    PyRef name(PyUnicode_FromString(def.ml_name));
    if (!function || !name || PyList_Append(all.get(), name.get()) < 0 ||
        PyObject_SetAttr(module, name.get(), function.get()) < 0) {
      return false;
    }
  }
  return PyObject_SetAttrString(module, "__all__", all.get()) == 0;
}

void release_arrays(ArraysState* state) {
  Py_CLEAR(state->module);
  Py_CLEAR(state->array_type);
  Py_CLEAR(state->codec_type);
}

PyObject* release_owner_at_exit(PyObject* /*self*/, PyObject* /*unused*/) {
  release_arrays(&arrays_state());
  release_owner(&module_state());
  Py_RETURN_NONE;
}

PyMethodDef release_def = {"release_owner", release_owner_at_exit,
                           METH_NOARGS, nullptr};

PyObject* init_module() {
  if (!claim_owner(&module_state(), "vonk._arrays", &release_def)) {
    return nullptr;
  }

  ArraysState& state = arrays_state();
  if (state.module != nullptr) return Py_NewRef(state.module);
  PyRef module(PyModule_Create2(&module_def, kModuleApiVersion));
  if (!module || !initialise(module.get())) return nullptr;
  state.module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace vonk

PyMODINIT_FUNC PyInit__arrays() {
  return vonk::guarded([] { return vonk::init_module(); });
}
