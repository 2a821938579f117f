// ReleasedLock: the interpreter lock released for a scope.
#ifndef VONK_PYTHON_ARRAYS_RELEASED_LOCK_H_
#define VONK_PYTHON_ARRAYS_RELEASED_LOCK_H_

#include <Python.h>

namespace vonk {

// Releases the interpreter lock for its lifetime: code in its scope must
// touch no Python object.
class ReleasedLock {
 public:
  ReleasedLock() : thread_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(thread_); }

 private:
  PyThreadState* thread_;
};

}  // namespace vonk

#endif  // VONK_PYTHON_ARRAYS_RELEASED_LOCK_H_
