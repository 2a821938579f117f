// Result<T>: either a value of T or a CodecError. The return type of every
// fallible core operation; nothing in the core throws a CodecError.
#ifndef VONK_ERROR_RESULT_H_
#define VONK_ERROR_RESULT_H_

#include <utility>
#include <variant>

#include "error/codec_error.h"

namespace vonk {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(CodecError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }

  // Requires ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  // Requires !ok().
  const CodecError& error() const& { return std::get<1>(state_); }
  CodecError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, CodecError> state_;
};

}  // namespace vonk

#endif  // VONK_ERROR_RESULT_H_
