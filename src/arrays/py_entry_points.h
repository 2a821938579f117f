// The functions of vonk._arrays: pack, unpack, pack_many, unpack_many.
#ifndef VONK_ARRAYS_PY_ENTRY_POINTS_H_
#define VONK_ARRAYS_PY_ENTRY_POINTS_H_

#include <span>

#include "lib/py_callable.h"

namespace vonk {

// The module's functions, in the order of its __all__.
std::span<const Callable> arrays_function_rows();

}  // namespace vonk

#endif  // VONK_ARRAYS_PY_ENTRY_POINTS_H_
