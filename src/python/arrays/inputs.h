// The arguments of the buffer API: integer inputs read where they lie,
// offsets, the tokenizer, and the one message of an element out of range.
#ifndef VONK_PYTHON_ARRAYS_INPUTS_H_
#define VONK_PYTHON_ARRAYS_INPUTS_H_

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "batches/integer_layout.h"
#include "codec/codec.h"
#include "python/arrays/buffer.h"
#include "python/shared/convert.h"

namespace vonk {

// What the elements of an integer input must fit.
struct ElementRange {
  const char* text;  // "the token id range 0 to 4294967295"
};
inline constexpr ElementRange kTokenIdRange{
    "the token id range 0 to 4294967295"};
inline constexpr ElementRange kByteRange{"the byte range 0 to 255"};
inline constexpr ElementRange kOffsetRange{"the signed 64-bit range"};

// The integers of an argument, read where they lie: a held buffer, or the
// values converted from a sequence. An object that exports a buffer is
// read through its buffer even when it is also a sequence (array.array,
// numpy arrays, bytes): its buffer's integers, never its items. layout()
// stays valid while this lives and the exporter is not mutated (which
// callers must not do during a call).
class IntegerInput {
 public:
  const IntegerLayout& layout() const { return layout_; }

  // Reads `object` as argument `name`. A buffer must be one-dimensional,
  // of an integer format, and not a numpy masked array (whose buffer holds
  // the masked values too); a sequence's elements go through __index__.
  // `one_byte_unsigned`: items of one byte are read as 0..255 whatever
  // their declared sign (payload bytes; pyarrow exports them as 'b').
  bool convert(PyObject* object, const char* name, bool one_byte_unsigned);

  // Sets OverflowError "argument '{name}': element {i} is {v}, outside
  // {range}{suffix}" for the element `fault` names, with the element's
  // own value however large.
  void raise_fault(const ElementFault& fault, ElementRange range,
                   const char* suffix = "") const;

  // The index of the first element of a sequence that lay beyond the
  // signed 64-bit range, if any.
  std::optional<size_t> first_beyond() const { return values_.first_beyond(); }

 private:
  const char* name_ = "";
  HeldBuffer buffer_;
  WideIntegers values_;
  IntegerLayout layout_;
};

// Offsets in Arrow's layout into argument `what`, a sequence of `total`
// elements: any integer buffer or sequence of ints, n+1 values from 0,
// never decreasing, ending at `total`.
bool convert_offsets(PyObject* object, const char* name, uint64_t total,
                     const char* what, std::vector<int64_t>* out);

// A tokenizer name (str), opened, or a vonk.Codec or vonk.Mapping, whose
// tables are shared.
bool open_tokenizer(PyObject* object, const char* name,
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

}  // namespace vonk

#endif  // VONK_PYTHON_ARRAYS_INPUTS_H_
