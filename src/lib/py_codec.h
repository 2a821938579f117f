// The Python class Codec, a heap type wrapping the core Codec.
#ifndef VONK_LIB_PY_CODEC_H_
#define VONK_LIB_PY_CODEC_H_

#include <Python.h>

namespace vonk {

// Returns a new reference to the Codec type, created on first use and kept
// for the life of the process; nullptr with an exception set on failure.
PyObject* codec_type();

}  // namespace vonk

#endif  // VONK_LIB_PY_CODEC_H_
