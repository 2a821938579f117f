// ModuleState: everything the Python layer keeps between calls, in one
// place. Guarded by the interpreter lock, except the owner id.
#ifndef VONK_LIB_PY_STATE_H_
#define VONK_LIB_PY_STATE_H_

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "lib/py_small_ints.h"

namespace vonk {

struct ModuleState {
  // Id of the interpreter that owns the module, set by compare-and-swap;
  // -1 while no interpreter does.
  std::atomic<int64_t> owner_interpreter{-1};

  // The objects below belong to the owner interpreter. Each is created on
  // first use and held until that interpreter is torn down (the main
  // interpreter: for the life of the process).
  PyObject* module = nullptr;      // made by the first successful import
  PyObject* codec_type = nullptr;  // the Codec class
  PyObject* panic_type = nullptr;  // PanicException
  SmallInts small_ints;            // ints 0..255 for payload bytes

  // Method tables and the docstrings they point to, built once from the
  // callables' rows and never freed: types and functions keep pointers.
  std::vector<PyMethodDef> codec_methods;
  std::vector<PyMethodDef> module_functions;
  std::deque<std::string> docstrings;
};

// The process's one ModuleState.
ModuleState& module_state();

// Drops the objects of the owner interpreter and gives up its ownership,
// so that another interpreter may import the module. Called while that
// interpreter is torn down.
void release_owner(ModuleState* state);

// Makes the running interpreter the owner of `state`, or, when another one
// owns it, raises ImportError naming `module_name` and returns false. A
// subinterpreter that becomes the owner gives the module up when it is torn
// down, whether or not its import completes (CPython 3.12 refuses isolated
// subinterpreters only after initialisation has run): atexit then calls
// `release_hook`, which must end in release_owner(state). The main
// interpreter keeps the module for the life of the process.
bool claim_owner(ModuleState* state, const char* module_name,
                 PyMethodDef* release_hook);

}  // namespace vonk

#endif  // VONK_LIB_PY_STATE_H_
