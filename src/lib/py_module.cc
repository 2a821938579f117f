// Initialisation of vonk._internal: one module object per process, refused
// to every interpreter but the first that imported it.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "lib/py_codec.h"
#include "lib/py_functions.h"
#include "lib/py_panic.h"

namespace vonk {
namespace {

// Module API version the module is created with.
constexpr int kModuleApiVersion = 1013;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_internal",  // m_name
    "",           // m_doc: __doc__ is "" rather than None
    0,            // m_size: no per-module state
    nullptr,      // m_methods: members are added by the initialiser
    nullptr, nullptr, nullptr, nullptr,
};

// Id of the first interpreter that imported the module; -1 until then.
std::atomic<int64_t> first_interpreter{-1};

// The module made by the first successful initialisation; guarded by the
// interpreter lock.
PyObject* the_module = nullptr;

// Appends `name` to the module's __all__ (creating it on first use) and
// sets the attribute. Steals `object`. Returns false with an exception set.
bool register_member(PyObject* module, PyObject* name, PyObject* object) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      Py_DECREF(object);
      return false;
    }
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(object);
      return false;
    }
  }
  bool ok = PyList_Append(all, name) == 0 &&
            PyObject_SetAttr(module, name, object) == 0;
  Py_DECREF(all);
  Py_DECREF(object);
  return ok;
}

bool register_class(PyObject* module, PyObject* type) {
  if (type == nullptr) return false;
  PyObject* name = PyUnicode_FromString("Codec");
  if (name == nullptr) {
    Py_DECREF(type);
    return false;
  }
  bool ok = register_member(module, name, type);
  Py_DECREF(name);
  return ok;
}

bool register_function(PyObject* module, PyObject* module_name,
                       PyMethodDef* def) {
  PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
  if (function == nullptr) return false;
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  if (name == nullptr) {
    Py_DECREF(function);
    return false;
  }
  bool ok = register_member(module, name, function);
  Py_DECREF(name);
  return ok;
}

// Adds the members in their fixed order; false with an exception set.
bool initialise(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return false;
  bool ok = register_class(module, codec_type()) &&
            register_function(module, module_name,
                              &list_available_tokenizers_def) &&
            register_function(module, module_name, &compress_token_ids_def) &&
            register_function(module, module_name, &decompress_token_ids_def);
  Py_DECREF(module_name);
  return ok;
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (interpreter == nullptr) return nullptr;
  int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;

  int64_t expected = -1;
  if (!first_interpreter.compare_exchange_strong(expected, id) &&
      expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vonk._internal: subinterpreters are not supported; the "
                    "module can only be used by the first interpreter that "
                    "imported it in this process");
    return nullptr;
  }

  if (the_module != nullptr) return Py_NewRef(the_module);

  PyObject* module = PyModule_Create2(&module_def, kModuleApiVersion);
  if (module == nullptr) return nullptr;
  if (!initialise(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  the_module = Py_NewRef(module);
  return module;
}

}  // namespace
}  // namespace vonk

PyMODINIT_FUNC PyInit__internal() {
  return vonk::guarded([] { return vonk::init_module(); });
}
