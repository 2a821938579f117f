// Callable: one row of the module's tables of methods and functions, and
// the one frame in which every Codec operation runs for Python.
#ifndef VONK_LIB_PY_CALLABLE_H_
#define VONK_LIB_PY_CALLABLE_H_

#include <Python.h>

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/codec.h"
#include "lib/py_arguments.h"
#include "lib/py_codec.h"
#include "lib/py_convert.h"
#include "lib/py_errors.h"
#include "lib/py_panic.h"

namespace vonk {

// A callable of the module: its signature, the summary line of its
// docstring, and the C function with its calling-convention flags.
struct Callable {
  const Signature* signature;
  const char* summary;
  PyCFunction function;
  int flags;
};

// One PyMethodDef per row, in order, plus the terminating empty entry. The
// docstrings are kept in *docstrings, which must outlive the table.
std::vector<PyMethodDef> method_table(std::span<const Callable> rows,
                                      std::deque<std::string>* docstrings);

// Any C function as the PyCFunction a PyMethodDef holds.
template <typename Function>
PyCFunction as_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

namespace callable_internal {

// The shape of a const Codec operation: what element its list argument has
// and whether it takes the gzip flag.
template <typename Operation>
struct Shape;
template <typename R, typename E>
struct Shape<R (Codec::*)(std::span<const E>, bool) const> {
  using Element = E;
  static constexpr bool kTakesFlag = true;
};
template <typename R, typename E>
struct Shape<R (Codec::*)(std::span<const E>) const> {
  using Element = E;
  static constexpr bool kTakesFlag = false;
};

// The converted form of an argument whose elements are E.
template <typename E>
struct InputFor {
  using Type = Integers<E>;
};
template <>
struct InputFor<std::string_view> {
  using Type = TokenTexts;
};
template <>
struct InputFor<uint8_t> {
  using Type = PayloadBytes;
};

// Runs the operation of a bound call: for a method (the signature has an
// owner) on the receiver, for a module function on the Codec opened from
// its second argument, the tokenizer name, for this call only. Arguments
// are converted in order: the list, the tokenizer name, then the flag.
template <const Signature& kSignature, auto kOperation>
PyObject* run(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
  using OperationShape = Shape<decltype(kOperation)>;
  using Input = typename InputFor<typename OperationShape::Element>::Type;
  constexpr bool kMethod = kSignature.owner != nullptr;
  static_assert(kSignature.positional.size() == (kMethod ? 1 : 2));
  static_assert(kSignature.keyword_only.size() ==
                (OperationShape::kTakesFlag ? 1 : 0));

  PyObject* slots[kMaxParameters];
  std::span<PyObject*> bound(slots, kSignature.parameter_count());
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) {
    return nullptr;
  }
  const Codec* receiver = nullptr;
  if constexpr (kMethod) {
    receiver = codec_of(self);
    if (receiver == nullptr) return nullptr;
  }
  Input input;
  if (!convert_sequence(bound[0], kSignature.positional[0], &input)) {
    return nullptr;
  }
  std::string_view tokenizer;
  if constexpr (!kMethod) {
    if (!convert_text(bound[1], kSignature.positional[1], &tokenizer)) {
      return nullptr;
    }
  }
  bool flag = false;
  if constexpr (OperationShape::kTakesFlag) {
    if (!convert_flag(bound[kSignature.positional.size()],
                      kSignature.keyword_only[0], &flag)) {
      return nullptr;
    }
  }
  auto operate = [&](const Codec& codec) {
    if constexpr (OperationShape::kTakesFlag) {
      return list_or_raise((codec.*kOperation)(input.elements(), flag));
    } else {
      return list_or_raise((codec.*kOperation)(input.elements()));
    }
  };
  if constexpr (kMethod) {
    return operate(*receiver);
  } else {
    Result<Codec> opened = Codec::open(tokenizer);
    if (!opened.ok()) return raise_codec_error(opened.error());
    return operate(opened.value());
  }
}

template <const Signature& kSignature, auto kOperation>
PyObject* guarded_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded(
      [&] { return run<kSignature, kOperation>(self, args, nargs, kwnames); });
}

}  // namespace callable_internal

// The row of a callable that runs Codec operation `kOperation` (a pointer
// to a const member function of Codec) with the parameters of `kSignature`.
template <const Signature& kSignature, auto kOperation>
Callable operation_row(const char* summary) {
  return {&kSignature, summary,
          as_cfunction(
              &callable_internal::guarded_run<kSignature, kOperation>),
          METH_FASTCALL | METH_KEYWORDS};
}

}  // namespace vonk

#endif  // VONK_LIB_PY_CALLABLE_H_
