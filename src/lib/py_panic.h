// PanicException and the guard every Python entry point runs its body in:
// a fatal internal error (FatalError, std::bad_alloc, any other C++
// exception) never crosses into the interpreter; it becomes PanicException.
#ifndef VONK_LIB_PY_PANIC_H_
#define VONK_LIB_PY_PANIC_H_

#include <Python.h>

#include <exception>
#include <utility>

namespace vonk {

// Sets PanicException (created on first use; derives from BaseException)
// with `message` as the pending Python exception.
void raise_panic(const char* message);

// Runs `body` and returns its result; a C++ exception thrown inside becomes
// PanicException and the call returns `failure`.
template <typename R, typename F>
R run_guarded(R failure, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal error");
  }
  return failure;
}

// The common case: a body returning a new reference or nullptr.
template <typename F>
PyObject* guarded(F&& body) noexcept {
  return run_guarded<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace vonk

#endif  // VONK_LIB_PY_PANIC_H_
