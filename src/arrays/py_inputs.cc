#include "arrays/py_inputs.h"

#include <bit>
#include <cinttypes>
#include <cstring>
#include <string_view>

#include "arrays/batch.h"
#include "lib/py_ref.h"

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

template <typename T>
IntegerLayout packed_layout(std::span<const T> values) {
  IntegerLayout layout;
  layout.data = reinterpret_cast<const std::byte*>(values.data());
  layout.count = values.size();
  layout.stride = sizeof(T);
  layout.width = sizeof(T);
  layout.is_signed = static_cast<T>(-1) < 0;
  return layout;
}

// kHeld: described into *layout; kNotExported: no buffer, nothing set.
HeldBuffer::Status acquire_integers(PyObject* object, const char* name,
                                    HeldBuffer* buffer,
                                    IntegerLayout* layout) {
  const HeldBuffer::Status status = buffer->acquire(object);
  if (status == HeldBuffer::Status::kHeld && !describe(*buffer, name, layout)) {
    return HeldBuffer::Status::kFailed;
  }
  return status;
}

}  // namespace

void raise_element_fault(const char* name, const ElementFault& fault,
                         const char* range, const char* suffix) {
  PyErr_Format(PyExc_OverflowError,
               "argument '%s': element %zu is %s%llu, outside %s%s", name,
               fault.index, fault.negative ? "-" : "",
               static_cast<unsigned long long>(fault.magnitude), range,
               suffix);
}

bool convert_token_ids(PyObject* object, const char* name, IntegerInput* out) {
  switch (acquire_integers(object, name, &out->buffer_, &out->layout_)) {
    case HeldBuffer::Status::kHeld:
      return true;
    case HeldBuffer::Status::kFailed:
      return false;
    case HeldBuffer::Status::kNotExported:
      break;
  }
  if (!convert_sequence(object, name, &out->ids_)) return false;
  out->layout_ = packed_layout(out->ids_.elements());
  return true;
}

bool convert_payload(PyObject* object, const char* name, IntegerInput* out) {
  switch (acquire_integers(object, name, &out->buffer_, &out->layout_)) {
    case HeldBuffer::Status::kHeld:
      // Items of one byte are payload bytes whatever their declared
      // signedness: pyarrow's buffers and numpy's int8 arrays export 'b'.
      if (out->layout_.width == 1) out->layout_.is_signed = false;
      return true;
    case HeldBuffer::Status::kFailed:
      return false;
    case HeldBuffer::Status::kNotExported:
      break;
  }
  if (!convert_sequence(object, name, &out->bytes_)) return false;
  out->layout_ = packed_layout(out->bytes_.elements());
  return true;
}

bool convert_offsets(PyObject* object, const char* name, uint64_t total,
                     const char* what, std::vector<int64_t>* out) {
  HeldBuffer buffer;
  IntegerLayout layout;
  switch (acquire_integers(object, name, &buffer, &layout)) {
    case HeldBuffer::Status::kHeld: {
      out->resize(layout.count);
      ElementFault fault;
      if (!widen(layout, out->data(), &fault)) {
        raise_element_fault(name, fault, kOffsetRange);
        return false;
      }
      break;
    }
    case HeldBuffer::Status::kFailed:
      return false;
    case HeldBuffer::Status::kNotExported: {
      Integers<int64_t> values;
      if (!convert_sequence(object, name, &values)) return false;
      *out = std::move(values.values());
      break;
    }
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

bool open_tokenizer(PyObject* object, const char* name, PyObject* codec_type,
                    std::optional<Codec>* out) {
  std::string_view text;
  PyRef attribute;
  if (reinterpret_cast<PyObject*>(Py_TYPE(object)) == codec_type) {
    attribute = PyRef(PyObject_GetAttrString(object, "tokenizer_name"));
    if (!attribute) return false;
    object = attribute.get();
  } else if (!PyUnicode_Check(object)) {
    PyRef type_name(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a tokenizer name (str) or a "
                 "vonk.Codec, got '%S'",
                 name, type_name.get());
    return false;
  }
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
