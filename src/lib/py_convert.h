// Argument binding and conversion between Python objects and the core's
// values, shared by the Codec methods and the module functions.
//
// Every function that returns bool returns false with a Python exception
// set. A converter that fails with exactly TypeError re-raises it as a new
// TypeError "argument '{name}': {message}"; other exceptions pass unchanged.
#ifndef VONK_LIB_PY_CONVERT_H_
#define VONK_LIB_PY_CONVERT_H_

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "error/result.h"
#include "lib/py_errors.h"

namespace vonk {

// An owned reference, released when the holder goes.
class PyRef {
 public:
  PyRef() = default;
  // Takes over `object` (may be nullptr).
  explicit PyRef(PyObject* object) : object_(object) {}
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.release();
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Gives up ownership without releasing the reference.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

// The parameters of one callable. Positional parameters are
// positional-or-keyword and required; keyword-only ones are optional.
struct Signature {
  // The callable's name as messages show it: "Codec.encode_tokens()".
  const char* full_name;
  std::span<const char* const> positional;
  std::span<const char* const> keyword_only;

  size_t parameter_count() const {
    return positional.size() + keyword_only.size();
  }
};

// Largest number of parameters of any callable of the module.
inline constexpr size_t kMaxParameters = 3;

// Binds fast-call arguments to `signature`. `bound` (parameter_count()
// slots) receives one borrowed reference per parameter, positional ones
// first, nullptr for a keyword-only parameter not given. Failures are
// TypeErrors naming the callable.
bool bind_arguments(const Signature& signature, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound);

// The same for a tuple of positional arguments and an optional dict of
// keyword arguments (the constructor's calling convention).
bool bind_arguments(const Signature& signature, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> bound);

// Sets TypeError "'{type name}' object cannot be converted to '{target}'".
void raise_conversion_error(PyObject* object, const char* target);

// A str (or subclass) as UTF-8 text. The view lives as long as `object`.
bool convert_text(PyObject* object, const char* name, std::string_view* text);

// The keyword-only gzip flag: exactly True or False; nullptr (not given)
// means false.
bool convert_gzip(PyObject* object, bool* gzip);

// Token texts converted from a sequence of str: views of the strs' UTF-8
// buffers, and references to the strs the source sequence may not keep.
class TokenTexts {
 public:
  void reserve(size_t count);
  // Adds `text`; when `owner` is not nullptr, holds a reference to the str
  // whose buffer `text` points into.
  void add(PyObject* owner, std::string_view text);
  std::span<const std::string_view> views() const { return views_; }

 private:
  std::vector<PyRef> owners_;
  std::vector<std::string_view> views_;
};

// Sequences (not str) converted element by element, in iteration order;
// the first failing element ends the conversion. Integers go through
// __index__ to a signed 64-bit value, which must fit the element type.
bool convert_sequence(PyObject* object, const char* name, TokenTexts* out);
bool convert_sequence(PyObject* object, const char* name,
                      std::vector<uint32_t>* out);
bool convert_sequence(PyObject* object, const char* name,
                      std::vector<int32_t>* out);
bool convert_sequence(PyObject* object, const char* name,
                      std::vector<uint8_t>* out);

// A vector for one call's converted argument, taken from and given back to
// a one-slot cache per element type. Large temporaries that are allocated
// and freed on every call make malloc return their pages to the system and
// fault them in again on the next call, which costs more than converting
// the elements. A call nested in another (through __index__ running Python
// code) finds the slot taken and uses a fresh vector. The slot is guarded by
// the interpreter lock.
template <typename T>
class ReusedVector {
 public:
  ReusedVector() {
    if (!slot_taken_) {
      slot_taken_ = true;
      from_slot_ = true;
      values_.swap(slot_);
    }
  }
  ReusedVector(const ReusedVector&) = delete;
  ReusedVector& operator=(const ReusedVector&) = delete;
  ~ReusedVector() {
    if (!from_slot_) return;
    values_.clear();
    if (values_.capacity() <= kMaxKept) values_.swap(slot_);
    slot_taken_ = false;
  }

  std::vector<T>& vector() { return values_; }
  const std::vector<T>& vector() const { return values_; }

 private:
  // Larger buffers are freed rather than kept for the next call.
  static constexpr size_t kMaxKept = (size_t{16} << 20) / sizeof(T);

  static inline std::vector<T> slot_;
  static inline bool slot_taken_ = false;

  std::vector<T> values_;
  bool from_slot_ = false;
};

template <typename T>
bool convert_sequence(PyObject* object, const char* name,
                      ReusedVector<T>* out) {
  return convert_sequence(object, name, &out->vector());
}

// The elements a converted argument hands to the core.
inline std::span<const std::string_view> elements_of(const TokenTexts& t) {
  return t.views();
}
template <typename T>
std::span<const T> elements_of(const std::vector<T>& values) {
  return values;
}
template <typename T>
std::span<const T> elements_of(const ReusedVector<T>& values) {
  return values.vector();
}

// New lists of new int / str objects, one per element; nullptr with an
// exception set on failure.
PyObject* new_list(std::span<const uint8_t> values);
PyObject* new_list(std::span<const int32_t> values);
PyObject* new_list(std::span<const uint32_t> values);
PyObject* new_list(std::span<const std::string_view> texts);

// The list of an operation's values, or the exception of its error.
template <typename T>
PyObject* list_or_raise(const Result<std::vector<T>>& result) {
  if (!result.ok()) return raise_codec_error(result.error());
  return new_list(std::span<const T>(result.value()));
}
template <typename T>
PyObject* list_or_raise(const std::vector<T>& values) {
  return new_list(std::span<const T>(values));
}

}  // namespace vonk

#endif  // VONK_LIB_PY_CONVERT_H_
