// Fatal internal errors: conditions that cannot happen with in-memory buffers
// (a compressor reporting a failure, a broken invariant). They are not
// CodecErrors; every Python entry point turns them, like std::bad_alloc, into
// PanicException.
#ifndef VONK_ERROR_FATAL_ERROR_H_
#define VONK_ERROR_FATAL_ERROR_H_

#include <stdexcept>
#include <string>

namespace vonk {

class FatalError : public std::runtime_error {
 public:
  explicit FatalError(const std::string& message)
      : std::runtime_error(message) {}
};

// Ends the current operation with a fatal internal error carrying `message`.
[[noreturn]] inline void fatal_error(const std::string& message) {
  throw FatalError(message);
}

}  // namespace vonk

#endif  // VONK_ERROR_FATAL_ERROR_H_
