#include "python/shared/arguments.h"

#include <algorithm>
#include <vector>

namespace vonk {
namespace {

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

bool check_positional_count(const Signature& signature, size_t given) {
  if (given <= signature.positional.size()) return true;
  PyErr_Format(PyExc_TypeError,
               "%s takes %zu positional arguments but %zu were given",
               display_name(signature).c_str(), signature.positional.size(),
               given);
  return false;
}

// Places one keyword argument; `key` is an element of kwnames or a key of
// the keyword dict.
bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                  std::span<PyObject*> bound) {
  if (PyUnicode_Check(key)) {
    size_t slot = bound.size();
    for (size_t i = 0; i < signature.keyword_only.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, signature.keyword_only[i]) ==
          0) {
        slot = signature.positional.size() + i;
        break;
      }
    }
    for (size_t i = 0; i < signature.positional.size() && slot == bound.size();
         ++i) {
      if (PyUnicode_CompareWithASCIIString(key, signature.positional[i]) ==
          0) {
        slot = i;
      }
    }
    if (slot != bound.size()) {
      if (bound[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "%s got multiple values for argument '%S'",
                     display_name(signature).c_str(), key);
        return false;
      }
      bound[slot] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               display_name(signature).c_str(), key);
  return false;
}

bool check_required(const Signature& signature, std::span<PyObject*> bound) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < signature.positional.size(); ++i) {
    if (bound[i] == nullptr) missing.push_back(signature.positional[i]);
  }
  if (missing.empty()) return true;
  std::string message = display_name(signature);
  message += " missing " + std::to_string(missing.size()) +
             " required positional argument" +
             (missing.size() == 1 ? ": " : "s: ") + quoted_list(missing);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

}  // namespace

std::string display_name(const Signature& signature) {
  std::string name;
  if (signature.owner != nullptr) {
    name += signature.owner;
    name += '.';
  }
  name += signature.name;
  name += "()";
  return name;
}

std::string docstring(const Signature& signature, const char* summary) {
  std::string text = signature.name;
  text += '(';
  const char* separator = "";
  if (signature.owner != nullptr) {
    text += "$self";
    separator = ", ";
  }
  for (const char* name : signature.positional) {
    text += separator;
    text += name;
    separator = ", ";
  }
  if (!signature.keyword_only.empty()) {
    text += separator;
    text += '*';
  }
  for (const char* name : signature.keyword_only) {
    text += ", ";
    text += name;
    text += "=False";
  }
  text += ")\n--\n\n";
  text += summary;
  return text;
}

bool bind_arguments(const Signature& signature, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) {
  std::fill(bound.begin(), bound.end(), nullptr);
  if (!check_positional_count(signature, static_cast<size_t>(nargs))) {
    return false;
  }
  std::copy(args, args + nargs, bound.begin());
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
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
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (!check_positional_count(signature, static_cast<size_t>(nargs))) {
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

}  // namespace vonk
