// The module-level functions of vonk._internal.
#ifndef VONK_PYTHON_INTERNAL_FUNCTIONS_H_
#define VONK_PYTHON_INTERNAL_FUNCTIONS_H_

#include <span>

#include "python/shared/callable.h"

namespace vonk {

// The rows of the module functions, in registration order after Codec.
std::span<const Callable> module_function_rows();

}  // namespace vonk

#endif  // VONK_PYTHON_INTERNAL_FUNCTIONS_H_
