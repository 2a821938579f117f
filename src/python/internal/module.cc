// Initialisation of vonk._internal, the list API: one module object per
// process, refused to every interpreter but the one that owns it.
#include <Python.h>

#include "python/internal/codec_type.h"
#include "python/internal/functions.h"
#include "python/shared/module.h"
#include "python/shared/ref.h"

namespace vonk {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_internal",  // m_name
    "",           // m_doc: __doc__ is "" rather than None
    0,            // m_size: no per-module state
    nullptr,      // m_methods: members are added by the initialiser
    nullptr, nullptr, nullptr, nullptr,
};

// The members in their fixed order: the class, then the functions.
bool add_members(PyObject* module) {
  PyRef type(codec_type());
  PyRef class_name(PyUnicode_FromString("Codec"));
  if (!type || !class_name ||
      !register_member(module, class_name.get(), type.get())) {
    return false;
  }
  static PyMethodDef* const functions = method_table(module_function_rows());
  return register_functions(module, functions);
}

const ModuleRecipe kRecipe = {&module_def, "vonk._internal",
                          &ModuleState::internal_module, add_members};

}  // namespace
}  // namespace vonk

PyMODINIT_FUNC PyInit__internal() {
  return vonk::guarded([] { return vonk::init_module(vonk::kRecipe); });
}
