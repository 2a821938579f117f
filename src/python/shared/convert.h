// Conversion between Python objects and the core's values, for the
// arguments and results of the module's callables.
//
// Every function that returns bool returns false with a Python exception
// set. A converter that fails with exactly TypeError re-raises it as a new
// TypeError "argument '{name}': {message}"; other exceptions pass unchanged.
#ifndef VONK_PYTHON_SHARED_CONVERT_H_
#define VONK_PYTHON_SHARED_CONVERT_H_

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "error/result.h"
#include "python/shared/errors.h"
#include "python/shared/ref.h"

namespace vonk {

// Sets TypeError "'{type name}' object cannot be converted to '{target}'".
void raise_conversion_error(PyObject* object, const char* target);

// A str (or subclass) as UTF-8 text. The view lives as long as `object`.
bool convert_text(PyObject* object, const char* name, std::string_view* text);

// A keyword-only flag: exactly True or False; nullptr (not given) means
// false.
bool convert_flag(PyObject* object, const char* name, bool* flag);

// Token texts of a sequence of str: views of the strs' UTF-8 buffers, and
// references to the strs that the source sequence may not keep alive.
class TokenTexts {
 public:
  void reserve(size_t count);
  // Adds `text`; when `owner` is not nullptr, holds a reference to the str
  // whose buffer `text` points into.
  void add(PyObject* owner, std::string_view text);
  std::span<const std::string_view> elements() const { return views_; }

 private:
  std::vector<PyRef> owners_;
  std::vector<std::string_view> views_;
};

// The integers of a sequence, each fitting T.
template <typename T>
class Integers {
 public:
  std::vector<T>& values() { return values_; }
  std::span<const T> elements() const { return values_; }

 private:
  std::vector<T> values_;
};

// The integers of a sequence as signed 64-bit values, whatever their size,
// for callers that check ranges themselves and name the element that
// fails: an int beyond the signed 64-bit range is stored as kBeyond (which
// lies outside every range such callers accept) and kept by its index.
class WideIntegers {
 public:
  static constexpr int64_t kBeyond = INT64_MIN;

  std::span<const int64_t> elements() const { return values_; }

  // The int at `index` when it lies beyond the signed 64-bit range (a
  // borrowed reference), else nullptr.
  PyObject* beyond(size_t index) const;

  // The index of the first such int, if any.
  std::optional<size_t> first_beyond() const {
    if (beyond_.empty()) return std::nullopt;
    return beyond_.front().first;
  }

 private:
  friend bool convert_sequence(PyObject* object, const char* name,
                               WideIntegers* out);
  std::vector<int64_t> values_;
  std::vector<std::pair<size_t, PyRef>> beyond_;
};

// Payload bytes: a view of an exact bytes or bytearray object's buffer, or
// the converted elements of any other sequence. A view stays valid while
// the argument lives and no Python code runs, which holds for the whole
// core operation of a call.
class PayloadBytes {
 public:
  std::span<const uint8_t> elements() const { return view_; }

 private:
  friend bool convert_sequence(PyObject* object, const char* name,
                               PayloadBytes* out);
  std::vector<uint8_t> owned_;
  std::span<const uint8_t> view_;
};

// Sequences (not str) converted element by element, in iteration order;
// the first failing element ends the conversion. Integers go through
// __index__ to a signed 64-bit value, which must fit the element type.
bool convert_sequence(PyObject* object, const char* name, TokenTexts* out);
bool convert_sequence(PyObject* object, const char* name,
                      Integers<uint32_t>* out);
bool convert_sequence(PyObject* object, const char* name,
                      Integers<int32_t>* out);
bool convert_sequence(PyObject* object, const char* name, WideIntegers* out);
bool convert_sequence(PyObject* object, const char* name, PayloadBytes* out);

// New lists of new int / str objects, one per element; nullptr with an
// exception set on failure.
PyObject* new_list(std::span<const uint8_t> values);
PyObject* new_list(std::span<const int32_t> values);
PyObject* new_list(std::span<const uint32_t> values);
PyObject* new_list(std::span<const std::string_view> texts);

// The list of an operation's values, or the exception of its error.
template <typename Buffer>
PyObject* list_or_raise(const Buffer& values) {
  using T = typename Buffer::value_type;
  return new_list(std::span<const T>(values.data(), values.size()));
}
template <typename Buffer>
PyObject* list_or_raise(const Result<Buffer>& result) {
  if (!result.ok()) return raise_codec_error(result.error());
  return list_or_raise(result.value());
}

}  // namespace vonk

#endif  // VONK_PYTHON_SHARED_CONVERT_H_
