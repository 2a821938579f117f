// ModuleState: everything the Python layer keeps between calls, for both
// modules of the library, in one place. Guarded by the interpreter lock,
// except the owner id.
#ifndef VONK_PYTHON_SHARED_STATE_H_
#define VONK_PYTHON_SHARED_STATE_H_

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "python/shared/small_ints.h"

namespace vonk {

struct ModuleState {
  // Id of the interpreter that owns the library, set by compare-and-swap;
  // -1 while no interpreter does. Both modules share it.
  std::atomic<int64_t> owner_interpreter{-1};

  // The objects below belong to the owner interpreter. Each is created on
  // first use and held until that interpreter is torn down (the main
  // interpreter: for the life of the process).
  PyObject* internal_module = nullptr;  // vonk._internal, once imported
  PyObject* arrays_module = nullptr;    // vonk._arrays, once imported
  PyObject* codec_type = nullptr;       // the Codec class
  PyObject* mapping_tables_type = nullptr;  // vonk._arrays.MappingTables
  PyObject* panic_type = nullptr;       // PanicException
  PyObject* array_type = nullptr;       // array.array, for the buffer API
  PyObject* masked_array_type = nullptr;  // numpy.ma.MaskedArray, once seen
  SmallInts small_ints;                 // ints 0..255 for payload bytes

  // Method tables and the docstrings they point to, built once from the
  // callables' rows and never freed: types and functions keep pointers.
  std::deque<std::vector<PyMethodDef>> method_tables;
  std::deque<std::string> docstrings;
};

// The process's one ModuleState.
ModuleState& module_state();

// Drops the objects of the owner interpreter and gives up its ownership,
// so that another interpreter may import the library. Called while that
// interpreter is torn down.
void release_owner(ModuleState* state);

// Makes the running interpreter the owner of `state`, or, when another one
// owns it, raises ImportError naming `module_name` and returns false. An
// interpreter that CPython will refuse the module anyway (an isolated
// subinterpreter of CPython 3.12, which checks only once the init function
// has returned) is refused here first, before it can claim anything. A
// subinterpreter that becomes the owner gives the library up when it is
// torn down. The main interpreter keeps it for the life of the process.
bool claim_owner(ModuleState* state, const char* module_name);

}  // namespace vonk

#endif  // VONK_PYTHON_SHARED_STATE_H_
