#include "python/shared/convert.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "python/shared/state.h"

namespace vonk {
namespace {

// A length reported by __len__ only sizes the result, and never reserves
// more than this many bytes: a sequence that claims more grows its result
// as elements arrive.
constexpr size_t kMaxReservedBytes = size_t{1} << 20;

// Long loops look for pending signals (Ctrl-C) once per this many elements.
constexpr size_t kSignalCheckMask = (size_t{1} << 16) - 1;

// True, or false with the signal handler's exception set, once every
// kSignalCheckMask + 1 calls counted by `i`.
inline bool no_pending_signal(size_t i) {
  return (i & kSignalCheckMask) != kSignalCheckMask || PyErr_CheckSignals() == 0;
}

// Re-raises a pending exact TypeError as "argument '{name}': {message}",
// keeping its cause; any other pending exception stays as it is.
void prefix_type_error(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef original_type(type);
  PyRef original(value);
  PyRef original_traceback(traceback);
  if (!original) {
    PyErr_Format(PyExc_TypeError, "argument '%s': ", name);
    return;
  }
  PyRef text(PyObject_Str(original.get()));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef replacement(
      PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals `cause`
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

// A Python int as a signed 64-bit value; OverflowError beyond that range.
long long as_int64(PyObject* integer) {
  if constexpr (sizeof(long) >= 8) {
    return PyLong_AsLong(integer);
  } else {
    return PyLong_AsLongLong(integer);
  }
}

// Converts one element through __index__ and a signed 64-bit value to T.
template <typename T>
bool integer_element(PyObject* item, T* out) {
  long long value;
  // The exact check is a pointer comparison; the subclass check a call.
  if (PyLong_CheckExact(item) || PyLong_Check(item)) {
    value = as_int64(item);
  } else {
    PyRef index(PyNumber_Index(item));
    if (!index) return false;
    value = as_int64(index.get());
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (!std::in_range<T>(value)) {
    PyErr_SetString(PyExc_OverflowError,
                    "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<T>(value);
  return true;
}

// Converts one element through __index__ to a signed 64-bit value, or to
// kBeyond with the int kept in *beyond when it lies outside that range.
bool wide_element(PyObject* item, int64_t* out, PyRef* beyond) {
  PyRef index;
  if (!PyLong_Check(item)) {
    index = PyRef(PyNumber_Index(item));
    if (!index) return false;
    item = index.get();
  }
  int overflow = 0;
  const long long value = sizeof(long) >= 8
                              ? PyLong_AsLongAndOverflow(item, &overflow)
                              : PyLong_AsLongLongAndOverflow(item, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) {
    *out = WideIntegers::kBeyond;
    *beyond = PyRef(Py_NewRef(item));
    return true;
  }
  *out = value;
  return true;
}

bool refuse_str(PyObject* object) {
  if (!PyUnicode_Check(object)) return false;
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return true;
}

// The length of a sequence that is not a list or tuple, only to size the
// result: 0 when __len__ fails with an ordinary error, which is discarded.
// Interrupts, exits and MemoryError are not discarded: false with the
// exception set.
bool expected_length(PyObject* object, Py_ssize_t* size) {
  *size = PySequence_Size(object);
  if (*size >= 0) return true;
  *size = 0;
  if (!PyErr_ExceptionMatches(PyExc_Exception) ||
      PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

// Walks the elements of `object` in iteration order: `reserve(n, exact)`
// once with the expected count (exact: the real length of a list or
// tuple), then `element(item)` per element, with `item` kept alive for the
// duration of the call. Exact lists and tuples are indexed directly (a
// list's size is read again after any Python code may have run, as its
// iterator would see it); anything else must pass the sequence check and is
// iterated.
template <typename Reserve, typename Element>
bool for_each_element(PyObject* object, Reserve reserve, Element element) {
  if (PyList_CheckExact(object)) {
    Py_ssize_t size = PyList_Size(object);
    reserve(static_cast<size_t>(size), true);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!no_pending_signal(static_cast<size_t>(i))) return false;
      PyObject* item = PyList_GetItem(object, i);
      if (item == nullptr) return false;
      if (PyLong_CheckExact(item) || PyUnicode_CheckExact(item)) {
        // Converting these runs no Python code, so the list keeps them.
        if (!element(item)) return false;
        continue;
      }
      // __index__ may run Python code that changes the list; hold the
      // element meanwhile.
      PyRef held(Py_NewRef(item));
      if (!element(held.get())) return false;
      size = PyList_Size(object);
    }
    return true;
  }
  if (PyTuple_CheckExact(object)) {
    const Py_ssize_t size = PyTuple_Size(object);
    reserve(static_cast<size_t>(size), true);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!no_pending_signal(static_cast<size_t>(i))) return false;
      PyObject* item = PyTuple_GetItem(object, i);
      if (item == nullptr || !element(item)) return false;
    }
    return true;
  }
  if (!PySequence_Check(object)) {
    raise_conversion_error(object, "Sequence");
    return false;
  }
  Py_ssize_t size;
  if (!expected_length(object, &size)) return false;
  reserve(static_cast<size_t>(size), false);
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  size_t i = 0;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!element(item.get()) || !no_pending_signal(i++)) return false;
  }
  return PyErr_Occurred() == nullptr;
}

// How many elements of `element_size` bytes to reserve for `count`
// expected ones: all of an exact length, else at most kMaxReservedBytes.
size_t reservation(size_t count, bool exact, size_t element_size) {
  return exact ? count : std::min(count, kMaxReservedBytes / element_size);
}

template <typename T>
bool read_integers(PyObject* object, std::vector<T>* out) {
  if (refuse_str(object)) return false;
  const SmallInts& small_ints = module_state().small_ints;
  return for_each_element(
      object,
      [out](size_t count, bool exact) {
        out->reserve(reservation(count, exact, sizeof(T)));
      },
      [out, &small_ints](PyObject* item) __attribute__((always_inline)) {
        uint8_t byte;
        if (small_ints.lookup(item, &byte)) {  // fits every element type
          out->push_back(byte);
          return true;
        }
        T value;
        if (!integer_element(item, &value)) return false;
        out->push_back(value);
        return true;
      });
}

bool read_texts(PyObject* object, TokenTexts* out) {
  if (refuse_str(object)) return false;
  // Elements of an exact list or tuple stay alive in it: nothing that runs
  // before the texts are used can change it. Other sequences may hand out
  // temporary objects, which are held.
  const bool hold = !PyList_CheckExact(object) && !PyTuple_CheckExact(object);
  return for_each_element(
      object,
      [out](size_t count, bool exact) {
        out->reserve(reservation(count, exact, sizeof(std::string_view)));
      },
      [out, hold](PyObject* item) {
        if (!PyUnicode_CheckExact(item) && !PyUnicode_Check(item)) {
          raise_conversion_error(item, "PyString");
          return false;
        }
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data == nullptr) return false;
        out->add(hold ? item : nullptr,
                 std::string_view(data, static_cast<size_t>(size)));
        return true;
      });
}

// The buffer of an exact bytes or bytearray object; false for any other
// object. Every byte value fits every element type.
bool byte_buffer(PyObject* object, std::span<const uint8_t>* bytes) {
  const char* data;
  Py_ssize_t size;
  if (PyBytes_CheckExact(object)) {
    data = PyBytes_AsString(object);
    size = PyBytes_Size(object);
  } else if (PyByteArray_CheckExact(object)) {
    data = PyByteArray_AsString(object);
    size = PyByteArray_Size(object);
  } else {
    return false;
  }
  *bytes = std::span(reinterpret_cast<const uint8_t*>(data),
                     static_cast<size_t>(size));
  return true;
}

template <typename T>
bool convert_integers(PyObject* object, const char* name,
                      std::vector<T>* out) {
  std::span<const uint8_t> bytes;
  if (byte_buffer(object, &bytes)) {
    out->assign(bytes.begin(), bytes.end());
    return true;
  }
  if (module_state().small_ints.fill() && read_integers(object, out)) {
    return true;
  }
  prefix_type_error(name);
  return false;
}

// A new list of `size` items made by `make(i)` (a new reference, or nullptr
// with an exception set).
template <typename Make>
PyObject* build_list(size_t size, Make make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) return nullptr;
  for (size_t i = 0; i < size; ++i) {
    if (!no_pending_signal(i)) return nullptr;
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    // Steals `item`; cannot fail for an index inside a new list.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

template <typename T>
PyObject* new_int_list(std::span<const T> values) {
  // PyLong_FromLong has a fast path for one-digit values that
  // PyLong_FromUnsignedLong lacks; a u32 fits a 64-bit long.
  if constexpr (std::is_signed_v<T> || sizeof(long) > sizeof(T)) {
    return build_list(values.size(), [values](size_t i) {
      return PyLong_FromLong(static_cast<long>(values[i]));
    });
  } else {
    return build_list(values.size(), [values](size_t i) {
      return PyLong_FromUnsignedLong(static_cast<unsigned long>(values[i]));
    });
  }
}

}  // namespace

void raise_conversion_error(PyObject* object, const char* target) {
  PyRef type_name(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'",
               type_name.get(), target);
}

bool convert_text(PyObject* object, const char* name,
                  std::string_view* text) {
  if (!PyUnicode_Check(object)) {
    raise_conversion_error(object, "PyString");
    prefix_type_error(name);
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    prefix_type_error(name);
    return false;
  }
  *text = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool convert_flag(PyObject* object, const char* name, bool* flag) {
  if (object == nullptr) {
    *flag = false;
    return true;
  }
  if (Py_TYPE(object) != &PyBool_Type) {
    raise_conversion_error(object, "PyBool");
    prefix_type_error(name);
    return false;
  }
  *flag = object == Py_True;
  return true;
}

void TokenTexts::reserve(size_t count) { views_.reserve(count); }

void TokenTexts::add(PyObject* owner, std::string_view text) {
  if (owner != nullptr) owners_.emplace_back(Py_NewRef(owner));
  views_.push_back(text);
}

bool convert_sequence(PyObject* object, const char* name, TokenTexts* out) {
  if (read_texts(object, out)) return true;
  prefix_type_error(name);
  return false;
}

bool convert_sequence(PyObject* object, const char* name,
                      Integers<uint32_t>* out) {
  return convert_integers(object, name, &out->values());
}

bool convert_sequence(PyObject* object, const char* name,
                      Integers<int32_t>* out) {
  return convert_integers(object, name, &out->values());
}

PyObject* WideIntegers::beyond(size_t index) const {
  for (const auto& [at, object] : beyond_) {
    if (at == index) return object.get();
  }
  return nullptr;
}

bool convert_sequence(PyObject* object, const char* name, WideIntegers* out) {
  std::span<const uint8_t> bytes;
  if (byte_buffer(object, &bytes)) {
    out->values_.assign(bytes.begin(), bytes.end());
    return true;
  }
  std::vector<int64_t>& values = out->values_;
  const SmallInts& small_ints = module_state().small_ints;
  const bool read =
      !refuse_str(object) && module_state().small_ints.fill() &&
      for_each_element(
          object,
          [&values](size_t count, bool exact) {
            values.reserve(reservation(count, exact, sizeof(int64_t)));
          },
          [out, &values, &small_ints](PyObject* item) __attribute__((always_inline)) {
            uint8_t byte;
            if (small_ints.lookup(item, &byte)) {
              values.push_back(byte);
              return true;
            }
            int64_t value;
            PyRef beyond;
            if (!wide_element(item, &value, &beyond)) return false;
            if (beyond) out->beyond_.emplace_back(values.size(), std::move(beyond));
            values.push_back(value);
            return true;
          });
  if (read) return true;
  prefix_type_error(name);
  return false;
}

bool convert_sequence(PyObject* object, const char* name, PayloadBytes* out) {
  // The buffers of bytes and bytearray are read where they are.
  if (byte_buffer(object, &out->view_)) return true;
  if (!convert_integers(object, name, &out->owned_)) return false;
  out->view_ = out->owned_;
  return true;
}

PyObject* new_list(std::span<const uint8_t> values) {
  SmallInts& small_ints = module_state().small_ints;
  if (!small_ints.fill()) return nullptr;
  return build_list(values.size(), [values, &small_ints](size_t i) {
    return small_ints.get(values[i]);
  });
}

PyObject* new_list(std::span<const int32_t> values) {
  return new_int_list(values);
}

PyObject* new_list(std::span<const uint32_t> values) {
  return new_int_list(values);
}

PyObject* new_list(std::span<const std::string_view> texts) {
  return build_list(texts.size(), [texts](size_t i) {
    return PyUnicode_FromStringAndSize(
        texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()));
  });
}

}  // namespace vonk
