// The arguments of the buffer API, converted: integer buffers (or, for
// objects that export none, the list API's conversion), offsets and the
// tokenizer.
//
// Every function that returns bool returns false with a Python exception
// set whose message names the argument.
#ifndef VONK_ARRAYS_PY_INPUTS_H_
#define VONK_ARRAYS_PY_INPUTS_H_

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "arrays/integer_layout.h"
#include "arrays/py_buffer.h"
#include "lib/codec.h"
#include "lib/py_convert.h"

namespace vonk {

// The integers of an argument, read where they lie: a held buffer, or the
// values the list conversion made. layout() stays valid while this lives
// and the exporter is not mutated (which callers must not do during a call).
class IntegerInput {
 public:
  const IntegerLayout& layout() const { return layout_; }

 private:
  friend bool convert_token_ids(PyObject*, const char*, IntegerInput*);
  friend bool convert_payload(PyObject*, const char*, IntegerInput*);
  HeldBuffer buffer_;
  Integers<uint32_t> ids_;
  PayloadBytes bytes_;
  IntegerLayout layout_;
};

// Token ids: a one-dimensional buffer of any integer format, any stride and
// byte order; any other object through the list API's conversion (its
// exceptions and texts).
bool convert_token_ids(PyObject* object, const char* name, IntegerInput* out);

// Payload bytes: a one-dimensional buffer of integers (bytes, bytearray,
// memoryview, mmap, numpy uint8 arrays...), or a sequence of ints through
// the list API's conversion.
bool convert_payload(PyObject* object, const char* name, IntegerInput* out);

// Offsets in Arrow's layout into argument `what`, a sequence of `total`
// elements: any integer buffer or sequence of ints, n+1 values from 0,
// never decreasing, ending at `total`.
bool convert_offsets(PyObject* object, const char* name, uint64_t total,
                     const char* what, std::vector<int64_t>* out);

// A tokenizer name (str) or a vonk.Codec (`codec_type`), opened.
bool open_tokenizer(PyObject* object, const char* name, PyObject* codec_type,
                    std::optional<Codec>* out);

// The elements of an integer input that fits T, as one span: the input
// itself when it already is a packed T array, else its elements widened
// into *scratch. Returns false with *fault set for an element outside T.
// Touches no Python object.
template <typename T>
bool elements_as(const IntegerLayout& layout, std::vector<T>* scratch,
                 std::span<const T>* out, ElementFault* fault) {
  if (layout.holds_exactly<T>()) {
    *out = std::span(reinterpret_cast<const T*>(layout.data), layout.count);
    return true;
  }
  scratch->resize(layout.count);
  if (!widen(layout, scratch->data(), fault)) return false;
  *out = *scratch;
  return true;
}

// Sets OverflowError "argument '{name}': element {i} is {v}, outside
// {range}{suffix}".
void raise_element_fault(const char* name, const ElementFault& fault,
                         const char* range, const char* suffix = "");

// The range texts of the element types.
inline constexpr const char* kTokenIdRange =
    "the token id range 0 to 4294967295";
inline constexpr const char* kByteRange = "the byte range 0 to 255";
inline constexpr const char* kOffsetRange = "the signed 64-bit range";

}  // namespace vonk

#endif  // VONK_ARRAYS_PY_INPUTS_H_
