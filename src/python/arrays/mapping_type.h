// The class vonk._arrays.MappingTables: the tables of one mapping (a
// built-in one, or one ranked from a caller's counts) held by a Python
// object, which the buffer API takes wherever it takes a tokenizer.
// vonk.Mapping derives from it and adds what is plain Python.
#ifndef VONK_PYTHON_ARRAYS_MAPPING_TYPE_H_
#define VONK_PYTHON_ARRAYS_MAPPING_TYPE_H_

#include <Python.h>

#include <optional>

#include "codec/codec.h"

namespace vonk {

// The class, created on first use and kept in the module state; a new
// reference, or nullptr with an exception set.
PyObject* mapping_tables_type();

// A codec over the mapping of `object` when it is a MappingTables (or an
// instance of a subclass): true with *out set. False, with no exception
// set, for any other object.
bool codec_of_mapping(PyObject* object, std::optional<Codec>* out);

}  // namespace vonk

#endif  // VONK_PYTHON_ARRAYS_MAPPING_TYPE_H_
