#include "python/shared/errors.h"

#include <string>

namespace vonk {
namespace {

PyObject* exception_type(CodecError::Kind kind) {
  switch (kind) {
    case CodecError::Kind::kTokenIdNotFound:
    case CodecError::Kind::kMappedIdNotFound:
    case CodecError::Kind::kTokenNotFound:
      return PyExc_KeyError;
    case CodecError::Kind::kTokenizerNotFound:
    case CodecError::Kind::kInvalidPayload:
    case CodecError::Kind::kJsonError:
      break;
  }
  return PyExc_Exception;
}

}  // namespace

PyObject* raise_codec_error(const CodecError& error) {
  PyObject* exception = new_codec_exception(error, {});
  if (exception == nullptr) return nullptr;
  PyErr_SetObject(exception_type(error.kind()), exception);
  Py_DECREF(exception);
  return nullptr;
}

PyObject* new_codec_exception(const CodecError& error,
                              std::string_view suffix) {
  std::string text = error.display();
  text += suffix;
  // The carried texts are UTF-8 (they come from str arguments or from the
  // mapping data); "replace" only guards against a broken invariant.
  PyObject* message = PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyObject* type = exception_type(error.kind());
  // Build the instance here so that its args is exactly (message,).
  PyObject* exception = PyObject_CallFunctionObjArgs(type, message, nullptr);
  Py_DECREF(message);
  return exception;
}

}  // namespace vonk
