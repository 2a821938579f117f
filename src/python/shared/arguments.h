// Signature: the parameters of one callable of the module, and the binding
// of call arguments to them.
#ifndef VONK_PYTHON_SHARED_ARGUMENTS_H_
#define VONK_PYTHON_SHARED_ARGUMENTS_H_

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

namespace vonk {

// Positional parameters are positional-or-keyword and required;
// keyword-only ones are optional flags that default to False.
struct Signature {
  // "Codec" for the class's members, nullptr for module functions.
  const char* owner;
  const char* name;
  std::span<const char* const> positional;
  std::span<const char* const> keyword_only;

  constexpr size_t parameter_count() const {
    return positional.size() + keyword_only.size();
  }
};

// The name as messages show it: "Codec.encode_tokens()".
std::string display_name(const Signature& signature);

// The docstring in the interpreter's text-signature form: the signature
// line ("encode_tokens($self, tokens, *, gzip=False)"), "--", an empty
// line, then `summary`.
std::string docstring(const Signature& signature, const char* summary);

// Binds fast-call arguments to `signature`. `bound` (parameter_count()
// slots) receives one borrowed reference per parameter, positional ones
// first, nullptr for a keyword-only parameter not given. Returns false with
// a TypeError naming the callable set.
bool bind_arguments(const Signature& signature, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound);

// The same for a tuple of positional arguments and an optional dict of
// keyword arguments (the constructor's calling convention).
bool bind_arguments(const Signature& signature, PyObject* args,
                    PyObject* kwargs, std::span<PyObject*> bound);

}  // namespace vonk

#endif  // VONK_PYTHON_SHARED_ARGUMENTS_H_
