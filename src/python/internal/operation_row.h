// The one frame in which every Codec operation of the list API runs for
// Python: binding, conversion in a fixed order, the operation, the list.
#ifndef VONK_PYTHON_INTERNAL_OPERATION_ROW_H_
#define VONK_PYTHON_INTERNAL_OPERATION_ROW_H_

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "codec/codec.h"
#include "python/internal/codec_type.h"
#include "python/shared/arguments.h"
#include "python/shared/callable.h"
#include "python/shared/convert.h"
#include "python/shared/errors.h"

namespace vonk {

namespace operation_internal {

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

  std::array<PyObject*, kSignature.parameter_count()> bound;
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

}  // namespace operation_internal

// The row of a callable that runs Codec operation `kOperation` (a pointer
// to a const member function of Codec) with the parameters of `kSignature`.
template <const Signature& kSignature, auto kOperation>
Callable operation_row(const char* summary) {
  return fast_call_row<&operation_internal::run<kSignature, kOperation>,
                       OutOfMemory::kPanic>(kSignature, summary);
}

}  // namespace vonk

#endif  // VONK_PYTHON_INTERNAL_OPERATION_ROW_H_
