// vonk._arrays._read_windows: windows of token ids read from the chunks of
// memory-mapped token files (the engine of vonk.TokenFile). Private: only
// vonk/token_files.py calls it.
#ifndef VONK_PYTHON_ARRAYS_TOKEN_WINDOWS_H_
#define VONK_PYTHON_ARRAYS_TOKEN_WINDOWS_H_

#include <span>

#include "python/shared/callable.h"

namespace vonk {

// The module's private functions, set as attributes but kept out of its
// __all__.
std::span<const Callable> arrays_private_rows();

}  // namespace vonk

#endif  // VONK_PYTHON_ARRAYS_TOKEN_WINDOWS_H_
