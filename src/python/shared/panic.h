// PanicException and the guard every Python entry point runs its body in:
// a fatal internal error (FatalError, any other C++ exception) never
// crosses into the interpreter; it becomes PanicException. Running out of
// memory becomes MemoryError or PanicException, as the entry point asks.
#ifndef VONK_PYTHON_SHARED_PANIC_H_
#define VONK_PYTHON_SHARED_PANIC_H_

#include <Python.h>

#include <exception>
#include <new>
#include <utility>

namespace vonk {

// Sets PanicException (created on first use; derives from BaseException)
// with `message` as the pending Python exception.
void raise_panic(const char* message);

// What a failed allocation inside an entry point raises. The list API
// treats it as the fatal error it documents (kPanic); the buffer API, whose
// inputs can be as large as memory, raises MemoryError.
enum class OutOfMemory { kPanic, kMemoryError };

// Runs `body` and returns its result; a C++ exception thrown inside becomes
// a Python exception and the call returns `failure`.
template <typename R, typename F>
R run_guarded(R failure, OutOfMemory out_of_memory, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::bad_alloc& e) {
    if (out_of_memory == OutOfMemory::kMemoryError) {
      PyErr_NoMemory();
    } else {
      raise_panic(e.what());
    }
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal error");
  }
  return failure;
}

// The list API's case: a body returning a new reference or nullptr.
template <typename F>
PyObject* guarded(F&& body) noexcept {
  return run_guarded<PyObject*>(nullptr, OutOfMemory::kPanic,
                                std::forward<F>(body));
}

}  // namespace vonk

#endif  // VONK_PYTHON_SHARED_PANIC_H_
