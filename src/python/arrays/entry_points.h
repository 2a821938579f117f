// The functions of vonk._arrays: pack, unpack, pack_many, unpack_many.
#ifndef VONK_PYTHON_ARRAYS_ENTRY_POINTS_H_
#define VONK_PYTHON_ARRAYS_ENTRY_POINTS_H_

#include <span>

#include "python/shared/callable.h"

namespace vonk {

// The module's functions, in the order of its __all__.
std::span<const Callable> arrays_function_rows();

}  // namespace vonk

#endif  // VONK_PYTHON_ARRAYS_ENTRY_POINTS_H_
