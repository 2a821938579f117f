#include "python/arrays/inputs.h"

#include <bit>
#include <cinttypes>
#include <cstring>
#include <string_view>

#include "batches/batch.h"
#include "python/arrays/mapping_type.h"
#include "python/internal/codec_type.h"
#include "python/shared/ref.h"
#include "python/shared/state.h"

namespace vonk {
namespace {

// Describes the held buffer's elements as integers, or sets TypeError (not
// an integer format) or ValueError (not one-dimensional).
bool describe(const HeldBuffer& buffer, const char* name,
              IntegerLayout* layout) {
  if (buffer.ndim() != 1) {
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': expected a one-dimensional buffer, got %d "
                 "dimensions",
                 name, buffer.ndim());
    return false;
  }
  const char* format = buffer.format();
  bool swapped = false;
  if (*format != '\0' && std::strchr("@=<>!", *format) != nullptr) {
    const bool big = *format == '>' || *format == '!';
    const bool little = *format == '<';
    swapped = (big && std::endian::native == std::endian::little) ||
              (little && std::endian::native == std::endian::big);
    ++format;
  }
  const char code = format[0];
  const bool single = code != '\0' && format[1] == '\0';
  bool is_signed;
  if (single && std::strchr("bhilqn", code) != nullptr) {
    is_signed = true;
  } else if (single && std::strchr("BHILQNc", code) != nullptr) {
    is_signed = false;
  } else if (single && code == '?') {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': a buffer of bool (format '%s') does not "
                 "hold integers",
                 name, buffer.format());
    return false;
  } else if (single && std::strchr("efd", code) != nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': a buffer of floats (format '%s') does not "
                 "hold integers",
                 name, buffer.format());
    return false;
  } else {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': buffer format '%s' is not an integer type",
                 name, buffer.format());
    return false;
  }
  const size_t width = buffer.itemsize();
  if (width != 1 && width != 2 && width != 4 && width != 8) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': buffer items of %zu bytes are not a "
                 "supported integer size",
                 name, width);
    return false;
  }
  layout->data = buffer.data();
  layout->count = buffer.shape0();
  layout->stride = buffer.stride0();
  layout->width = width;
  layout->is_signed = is_signed;
  layout->swapped = swapped && width > 1;
  return true;
}

// numpy.ma.MaskedArray (a borrowed reference, kept in the module state once
// found), or nullptr while numpy.ma has not been imported.
PyObject* masked_array_type() {
  ModuleState& state = module_state();
  if (state.masked_array_type != nullptr) return state.masked_array_type;
  PyObject* modules = PySys_GetObject("modules");  // borrowed
  PyObject* ma = modules != nullptr && PyDict_Check(modules)
                     ? PyDict_GetItemString(modules, "numpy.ma")
                     : nullptr;
  if (ma == nullptr) return nullptr;
  PyObject* type = PyObject_GetAttrString(ma, "MaskedArray");
  if (type == nullptr || !PyType_Check(type)) {
    PyErr_Clear();
    Py_XDECREF(type);
    return nullptr;
  }
  state.masked_array_type = type;
  return type;
}

// Sets TypeError for a numpy masked array, whose buffer holds the values
// under its mask as well.
bool refuse_masked(PyObject* object, const char* name) {
  PyObject* masked = masked_array_type();
  if (masked == nullptr ||
      !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(masked))) {
    return false;
  }
  PyErr_Format(PyExc_TypeError,
               "argument '%s': a numpy masked array would be read with its "
               "masked values; pass arr.compressed() or arr.filled(value)",
               name);
  return true;
}

// Re-raises the failure of a buffer export as TypeError naming the
// argument, with the exporter's exception as its cause. Interrupts and
// MemoryError pass unchanged.
void name_export_failure(PyObject* object, const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_Exception) ||
      PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return;
  }
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef cause(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyRef type_name(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError,
               "argument '%s': the buffer of '%S' cannot be read as "
               "integers: %S",
               name, type_name.get(), cause ? cause.get() : Py_None);
  if (!cause) return;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) PyException_SetCause(value, cause.release());
  PyErr_Restore(type, value, traceback);
}

}  // namespace

bool IntegerInput::convert(PyObject* object, const char* name,
                           bool one_byte_unsigned) {
  name_ = name;
  switch (buffer_.acquire(object)) {
    case HeldBuffer::Status::kHeld:
      if (refuse_masked(object, name) || !describe(buffer_, name, &layout_)) {
        return false;
      }
      if (one_byte_unsigned && layout_.width == 1) layout_.is_signed = false;
      return true;
    case HeldBuffer::Status::kFailed:
      name_export_failure(object, name);
      return false;
    case HeldBuffer::Status::kNotExported:
      break;
  }
  if (!convert_sequence(object, name, &values_)) return false;
  layout_ = IntegerLayout::packed(values_.elements());
  return true;
}

void IntegerInput::raise_fault(const ElementFault& fault, ElementRange range,
                               const char* suffix) const {
  if (PyObject* value = values_.beyond(fault.index)) {
    PyErr_Format(PyExc_OverflowError,
                 "argument '%s': element %zu is %S, outside %s%s", name_,
                 fault.index, value, range.text, suffix);
    return;
  }
  PyErr_Format(PyExc_OverflowError,
               "argument '%s': element %zu is %s%llu, outside %s%s", name_,
               fault.index, fault.negative ? "-" : "",
               static_cast<unsigned long long>(fault.magnitude), range.text,
               suffix);
}

bool convert_offsets(PyObject* object, const char* name, uint64_t total,
                     const char* what, std::vector<int64_t>* out) {
  IntegerInput input;
  if (!input.convert(object, name, false)) return false;
  out->resize(input.layout().count);
  ElementFault element;
  if (!widen(input.layout(), out->data(), &element)) {
    input.raise_fault(element, kOffsetRange);
    return false;
  }
  // Widening to int64 fails for no element; an int beyond that range was
  // read as the smallest value and is named here.
  if (const std::optional<size_t> at = input.first_beyond()) {
    input.raise_fault(ElementFault{*at, true, uint64_t{1} << 63},
                      kOffsetRange);
    return false;
  }
  const std::optional<OffsetFault> fault = check_offsets(*out, total);
  if (!fault) return true;
  switch (fault->kind) {
    case OffsetFault::Kind::kEmpty:
      PyErr_Format(PyExc_ValueError,
                   "argument '%s': no offsets; n documents need n+1 "
                   "offsets starting at 0",
                   name);
      break;
    case OffsetFault::Kind::kFirstNotZero:
      PyErr_Format(PyExc_ValueError,
                   "argument '%s': the first offset is %" PRId64
                   ", not 0",
                   name, fault->value);
      break;
    case OffsetFault::Kind::kDecreasing:
      PyErr_Format(PyExc_ValueError,
                   "argument '%s': offset %zu is %" PRId64
                   ", below the offset before it (%" PRId64
                   "); offsets must not decrease",
                   name, fault->index, fault->value, fault->previous);
      break;
    case OffsetFault::Kind::kLastNotTotal:
      PyErr_Format(PyExc_ValueError,
                   "argument '%s': the last offset is %" PRId64
                   ", but %s holds %llu elements",
                   name, fault->value, what,
                   static_cast<unsigned long long>(total));
      break;
  }
  return false;
}

bool open_tokenizer(PyObject* object, const char* name,
                    std::optional<Codec>* out) {
  PyObject* codec_type = module_state().codec_type;
  if (codec_type != nullptr &&
      PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(codec_type))) {
    out->emplace(*codec_of(object));
    return true;
  }
  if (codec_of_mapping(object, out)) return true;
  if (!PyUnicode_Check(object)) {
    PyRef type_name(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a tokenizer name (str), a "
                 "vonk.Codec or a vonk.Mapping, got '%S'",
                 name, type_name.get());
    return false;
  }
  std::string_view text;
  if (!convert_text(object, name, &text)) return false;
  Result<Codec> opened = Codec::open(text);
  if (!opened.ok()) {
    raise_codec_error(opened.error());
    return false;
  }
  out->emplace(std::move(opened).value());
  return true;
}

}  // namespace vonk
