// ArraysState: what vonk._arrays keeps between calls, beside the shared
// ModuleState of the Python layer (owner interpreter, small ints,
// PanicException). Guarded by the interpreter lock.
#ifndef VONK_ARRAYS_PY_ARRAYS_STATE_H_
#define VONK_ARRAYS_PY_ARRAYS_STATE_H_

#include <Python.h>

#include <deque>
#include <string>
#include <vector>

namespace vonk {

struct ArraysState {
  // Set by the first successful import, held until the owner interpreter
  // is torn down.
  PyObject* module = nullptr;
  PyObject* array_type = nullptr;  // array.array
  PyObject* codec_type = nullptr;  // vonk._internal.Codec

  // The function table and its docstrings, built once and never freed.
  std::vector<PyMethodDef> functions;
  std::deque<std::string> docstrings;
};

// The process's one ArraysState.
inline ArraysState& arrays_state() {
  static ArraysState state;
  return state;
}

}  // namespace vonk

#endif  // VONK_ARRAYS_PY_ARRAYS_STATE_H_
