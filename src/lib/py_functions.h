// The module-level functions of vonk._internal.
#ifndef VONK_LIB_PY_FUNCTIONS_H_
#define VONK_LIB_PY_FUNCTIONS_H_

#include <Python.h>

namespace vonk {

// Method definitions, in registration order after Codec. They live for the
// life of the process.
extern PyMethodDef list_available_tokenizers_def;
extern PyMethodDef compress_token_ids_def;
extern PyMethodDef decompress_token_ids_def;

}  // namespace vonk

#endif  // VONK_LIB_PY_FUNCTIONS_H_
