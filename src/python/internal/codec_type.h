// The Python class Codec, a heap type wrapping the core Codec.
#ifndef VONK_PYTHON_INTERNAL_CODEC_TYPE_H_
#define VONK_PYTHON_INTERNAL_CODEC_TYPE_H_

#include <Python.h>

#include "codec/codec.h"

namespace vonk {

// Returns a new reference to the Codec type, created on first use and held
// in the module state; nullptr with an exception set on failure.
PyObject* codec_type();

// The core Codec of `self` when it is a Codec instance; otherwise nullptr
// with TypeError set, whoever called the method.
const Codec* codec_of(PyObject* self);

}  // namespace vonk

#endif  // VONK_PYTHON_INTERNAL_CODEC_TYPE_H_
