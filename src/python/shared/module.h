// The skeleton both modules of the library are made with: one owner
// interpreter for the pair, one module object each for the life of that
// interpreter, members registered in order into __all__.
#ifndef VONK_PYTHON_SHARED_MODULE_H_
#define VONK_PYTHON_SHARED_MODULE_H_

#include <Python.h>

#include <span>

#include "python/shared/callable.h"
#include "python/shared/state.h"

namespace vonk {

// How one module is made.
struct ModuleRecipe {
  PyModuleDef* definition;
  const char* qualified_name;    // "vonk._internal", for messages
  PyObject* ModuleState::*kept;  // where the module is kept once made
  // Adds the members in order; false with an exception set.
  bool (*add_members)(PyObject* module);
};

// The body of an init function. Claims the running interpreter for the
// library (ImportError for any other), returns the module made before if
// there is one, else creates it (module API version 1013), adds its
// members and keeps it. A failure keeps nothing.
PyObject* init_module(const ModuleRecipe& recipe);

// Appends `name` to the module's __all__ (creating it on first use) and
// sets the attribute. False with an exception set.
bool register_member(PyObject* module, PyObject* name, PyObject* object);

// Registers one built-in function bound to `module` per entry of `table`
// (a method_table()), under the function's __name__.
bool register_functions(PyObject* module, PyMethodDef* table);

}  // namespace vonk

#endif  // VONK_PYTHON_SHARED_MODULE_H_
