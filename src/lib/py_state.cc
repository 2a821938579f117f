#include "lib/py_state.h"

namespace vonk {

ModuleState& module_state() {
  static ModuleState state;
  return state;
}

void release_owner(ModuleState* state) {
  Py_CLEAR(state->module);
  Py_CLEAR(state->codec_type);
  Py_CLEAR(state->panic_type);
  state->small_ints.release();
  state->owner_interpreter.store(-1);
}

}  // namespace vonk
