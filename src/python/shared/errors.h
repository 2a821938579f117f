// The Python exception raised for each kind of CodecError.
#ifndef VONK_PYTHON_SHARED_ERRORS_H_
#define VONK_PYTHON_SHARED_ERRORS_H_

#include <Python.h>

#include <string_view>

#include "error/codec_error.h"

namespace vonk {

// Raises KeyError for the lookup misses (TokenIdNotFound, MappedIdNotFound,
// TokenNotFound) and Exception itself for the other kinds, each with the
// error's display text as its single argument. Always returns nullptr, so
// entry points can `return raise_codec_error(...)`.
PyObject* raise_codec_error(const CodecError& error);

// The exception raise_codec_error would raise, with `suffix` appended to
// its message, as a new reference that is not raised; nullptr with an
// exception set on failure.
PyObject* new_codec_exception(const CodecError& error,
                              std::string_view suffix);

}  // namespace vonk

#endif  // VONK_PYTHON_SHARED_ERRORS_H_
