// The Python exception raised for each kind of CodecError.
#ifndef VONK_LIB_PY_ERRORS_H_
#define VONK_LIB_PY_ERRORS_H_

#include <Python.h>

#include "error/codec_error.h"

namespace vonk {

// Raises KeyError for the lookup misses (TokenIdNotFound, MappedIdNotFound,
// TokenNotFound) and Exception itself for the other kinds, each with the
// error's display text as its single argument. Always returns nullptr, so
// entry points can `return raise_codec_error(...)`.
PyObject* raise_codec_error(const CodecError& error);

}  // namespace vonk

#endif  // VONK_LIB_PY_ERRORS_H_
