#include "lib/py_convert.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

namespace vonk {
namespace {

// A length reported by __len__ only sizes the result; a sequence that
// claims more than this grows its result as elements arrive instead.
constexpr Py_ssize_t kMaxReservedElements = Py_ssize_t{1} << 24;

// --- Binding ------------------------------------------------------------------

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text += ',';
      text += (i == names.size() - 1) ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

void raise_too_many_positional(const Signature& signature, size_t given) {
  PyErr_Format(PyExc_TypeError,
               "%s takes %zu positional arguments but %zu were given",
               signature.full_name, signature.positional.size(), given);
}

// Places one keyword argument; `key` is an element of kwnames or a key of
// the keyword dict.
bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                  std::span<PyObject*> bound) {
  if (PyUnicode_Check(key)) {
    size_t slot = 0;
    bool found = false;
    for (size_t i = 0; i < signature.keyword_only.size() && !found; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, signature.keyword_only[i]) ==
          0) {
        slot = signature.positional.size() + i;
        found = true;
      }
    }
    for (size_t i = 0; i < signature.positional.size() && !found; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, signature.positional[i]) ==
          0) {
        slot = i;
        found = true;
      }
    }
    if (found) {
      if (bound[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "%s got multiple values for argument '%S'",
                     signature.full_name, key);
        return false;
      }
      bound[slot] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               signature.full_name, key);
  return false;
}

bool check_required(const Signature& signature, std::span<PyObject*> bound) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < signature.positional.size(); ++i) {
    if (bound[i] == nullptr) missing.push_back(signature.positional[i]);
  }
  if (missing.empty()) return true;
  std::string message = signature.full_name;
  message += " missing " + std::to_string(missing.size()) +
             " required positional argument" +
             (missing.size() == 1 ? ": " : "s: ") + quoted_list(missing);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// The interpreter's cached int objects for 0..255. When they sit at equal
// steps in memory (checked once, as CPython lays them out), a payload byte
// is recognised by its address alone, and result bytes reuse the objects.
class SmallInts {
 public:
  // Fills the table on first use; false with an exception set.
  bool ready() {
    if (filled_) return true;
    for (int v = 0; v < 256; ++v) {
      objects_[v] = PyLong_FromLong(v);
      if (objects_[v] == nullptr) {
        for (int w = 0; w < v; ++w) Py_DECREF(objects_[w]);
        return false;
      }
    }
    base_ = reinterpret_cast<uintptr_t>(objects_[0]);
    uintptr_t stride =
        reinterpret_cast<uintptr_t>(objects_[1]) - base_;
    bool even = stride != 0 && (stride & (stride - 1)) == 0 &&
                reinterpret_cast<uintptr_t>(objects_[1]) > base_;
    for (int v = 0; v < 256 && even; ++v) {
      even = reinterpret_cast<uintptr_t>(objects_[v]) == base_ + v * stride;
    }
    shift_ = even ? std::countr_zero(stride) : 0;
    by_address_ = even;
    filled_ = true;  // the references are kept for the life of the process
    return true;
  }

  // A new reference to the int `value`. Requires ready().
  PyObject* get(uint8_t value) const {
    PyObject* object = objects_[value];
    Py_INCREF(object);
    return object;
  }

  // If `object` is the cached int of some value 0..255, stores it.
  bool lookup(PyObject* object, uint8_t* value) const {
    if (!by_address_) return false;
    uintptr_t offset = reinterpret_cast<uintptr_t>(object) - base_;
    if (offset >= (uintptr_t{256} << shift_) ||
        (offset & ((uintptr_t{1} << shift_) - 1)) != 0) {
      return false;
    }
    *value = static_cast<uint8_t>(offset >> shift_);
    return true;
  }

 private:
  bool filled_ = false;
  bool by_address_ = false;
  uintptr_t base_ = 0;
  int shift_ = 0;
  PyObject* objects_[256] = {};
};

// Guarded by the interpreter lock; the module serves one interpreter.
SmallInts small_ints;

// --- Conversion helpers --------------------------------------------------------

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

// Converts one element, already known to be any object, to T through
// __index__ and a signed 64-bit value.
// A Python int as a signed 64-bit value; OverflowError beyond that range.
long long as_int64(PyObject* integer) {
  if constexpr (sizeof(long) >= 8) {
    return PyLong_AsLong(integer);
  } else {
    return PyLong_AsLongLong(integer);
  }
}

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

bool refuse_str(PyObject* object) {
  if (!PyUnicode_Check(object)) return false;
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return true;
}

// Walks the elements of `object` in iteration order: `reserve(n)` once with
// the expected count, then `element(item)` per element, with `item` kept
// alive for the duration of the call. Exact lists and tuples are indexed
// directly (a list's size is read again before every step, as its iterator
// does); anything else must pass the sequence check and is iterated.
template <typename Reserve, typename Element>
bool for_each_element(PyObject* object, Reserve reserve, Element element) {
  if (PyList_CheckExact(object)) {
    // The list's iterator reads its size before every step; the size can
    // only change when Python code has run, so it is read again only then.
    Py_ssize_t size = PyList_Size(object);
    reserve(size);
    for (Py_ssize_t i = 0; i < size; ++i) {
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
    Py_ssize_t size = PyTuple_Size(object);
    reserve(size);
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyTuple_GetItem(object, i);
      if (item == nullptr) return false;
      if (!element(item)) return false;
    }
    return true;
  }
  if (!PySequence_Check(object)) {
    raise_conversion_error(object, "Sequence");
    return false;
  }
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    PyErr_Clear();
    size = 0;
  }
  reserve(std::min(size, kMaxReservedElements));
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!element(item.get())) return false;
  }
  return PyErr_Occurred() == nullptr;
}

template <typename T>
bool read_integers(PyObject* object, std::vector<T>* out) {
  out->clear();
  if (refuse_str(object)) return false;
  if (!small_ints.ready()) return false;
  // Every byte value fits every element type, so bytes and bytearray are
  // copied as they stand.
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_CheckExact(object)) {
    data = PyBytes_AsString(object);
    size = PyBytes_Size(object);
  } else if (PyByteArray_CheckExact(object)) {
    data = PyByteArray_AsString(object);
    size = PyByteArray_Size(object);
  }
  if (data != nullptr) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    out->assign(bytes, bytes + size);
    return true;
  }
  return for_each_element(
      object, [out](Py_ssize_t count) { out->reserve(count); },
      [out](PyObject* item) __attribute__((always_inline)) {
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
      object, [out](Py_ssize_t count) { out->reserve(count); },
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

template <typename T>
bool convert_integers(PyObject* object, const char* name,
                      std::vector<T>* out) {
  if (read_integers(object, out)) return true;
  prefix_type_error(name);
  return false;
}

template <typename T>
PyObject* new_int_list(std::span<const T> values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  if constexpr (std::is_same_v<T, uint8_t>) {
    if (!small_ints.ready()) {
      Py_DECREF(list);
      return nullptr;
    }
    for (size_t i = 0; i < values.size(); ++i) {
      PyList_SetItem(list, static_cast<Py_ssize_t>(i),
                     small_ints.get(values[i]));
    }
    return list;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item;
    // PyLong_FromLong has a fast path for one-digit values that
    // PyLong_FromUnsignedLong lacks; a u32 fits a 64-bit long.
    if constexpr (std::is_signed_v<T> || sizeof(long) > sizeof(T)) {
      item = PyLong_FromLong(static_cast<long>(values[i]));
    } else {
      item = PyLong_FromUnsignedLong(static_cast<unsigned long>(values[i]));
    }
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  size_t given = static_cast<size_t>(nargs);
  if (given > signature.positional.size()) {
    raise_too_many_positional(signature, given);
    return false;
  }
  std::copy(args, args + nargs, bound.begin());
  if (kwnames != nullptr) {
    Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(signature, PyTuple_GetItem(kwnames, i),
                        args[nargs + i], bound)) {
        return false;
      }
    }
  }
  return check_required(signature, bound);
}

bool bind_arguments(const Signature& signature, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  size_t given = static_cast<size_t>(nargs);
  if (given > signature.positional.size()) {
    raise_too_many_positional(signature, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(signature, key, value, bound)) return false;
    }
  }
  return check_required(signature, bound);
}

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

bool convert_gzip(PyObject* object, bool* gzip) {
  if (object == nullptr) {
    *gzip = false;
    return true;
  }
  if (Py_TYPE(object) != &PyBool_Type) {
    raise_conversion_error(object, "PyBool");
    prefix_type_error("gzip");
    return false;
  }
  *gzip = object == Py_True;
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
                      std::vector<uint32_t>* out) {
  return convert_integers(object, name, out);
}

bool convert_sequence(PyObject* object, const char* name,
                      std::vector<int32_t>* out) {
  return convert_integers(object, name, out);
}

bool convert_sequence(PyObject* object, const char* name,
                      std::vector<uint8_t>* out) {
  return convert_integers(object, name, out);
}

PyObject* new_list(std::span<const uint8_t> values) {
  return new_int_list(values);
}

PyObject* new_list(std::span<const int32_t> values) {
  return new_int_list(values);
}

PyObject* new_list(std::span<const uint32_t> values) {
  return new_int_list(values);
}

PyObject* new_list(std::span<const std::string_view> texts) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(texts.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = PyUnicode_FromStringAndSize(
        texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()));
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

}  // namespace vonk
