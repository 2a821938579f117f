// The Python class Codec, a heap type wrapping the core Codec.
#ifndef VONK_LIB_PY_CODEC_H_
#define VONK_LIB_PY_CODEC_H_

#include <Python.h>

#include "lib/codec.h"

namespace vonk {

// Returns a new reference to the Codec type, created on first use and held
// in the module state; nullptr with an exception set on failure.
PyObject* codec_type();

// The core Codec of `self` when it is a Codec instance; otherwise nullptr
// with TypeError set, whoever called the method.
const Codec* codec_of(PyObject* self);

}  // namespace vonk

#endif  // VONK_LIB_PY_CODEC_H_
