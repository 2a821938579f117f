// Callable: one row of a module's tables of methods and functions, the
// table built from such rows, and the guarded fast-call frame every entry
// point of both modules runs in.
#ifndef VONK_PYTHON_SHARED_CALLABLE_H_
#define VONK_PYTHON_SHARED_CALLABLE_H_

#include <Python.h>

#include <span>
#include <vector>

#include "python/shared/arguments.h"
#include "python/shared/panic.h"

namespace vonk {

// A callable of a module: its signature, the summary of its docstring, and
// the C function with its calling-convention flags.
struct Callable {
  const Signature* signature;
  const char* summary;
  PyCFunction function;
  int flags;
};

// One PyMethodDef per row, in order, plus the terminating empty entry, kept
// in the module state for the life of the process (types and functions
// point into it). Returns a pointer to the first entry.
PyMethodDef* method_table(std::span<const Callable> rows);

// Any C function as the PyCFunction a PyMethodDef holds.
template <typename Function>
PyCFunction as_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The signature of a fast-call entry point with keywords.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
                               PyObject*);

namespace callable_internal {

template <FastCall kFunction, OutOfMemory kOutOfMemory>
PyObject* guarded_call(PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return run_guarded<PyObject*>(
      nullptr, kOutOfMemory, [&] { return kFunction(self, args, nargs, kwnames); });
}

}  // namespace callable_internal

// The row of fast-call entry point `kFunction`, run in the guard.
template <FastCall kFunction, OutOfMemory kOutOfMemory>
Callable fast_call_row(const Signature& signature, const char* summary) {
  return {&signature, summary,
          as_cfunction(
              &callable_internal::guarded_call<kFunction, kOutOfMemory>),
          METH_FASTCALL | METH_KEYWORDS};
}

}  // namespace vonk

#endif  // VONK_PYTHON_SHARED_CALLABLE_H_
