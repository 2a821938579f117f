// _read_windows(sources, starts, length, tokenizer) -> bytearray
//
// sources: a tuple with one tuple per file, in order: (name, data, begins,
// ends, crcs, token_count, chunk_size, gzip), where data exports the
// file's bytes and begins, ends and crcs the chunk index (see ChunkSource).
// Every buffer is held until the call returns, so the mapping stays alive
// while the windows are read with the interpreter lock released. The result
// holds len(starts) rows of `length` uint32 token ids, the window from each
// start, in the order of `starts`.
#include "python/arrays/token_windows.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "batches/windows.h"
#include "python/arrays/inputs.h"
#include "python/arrays/results.h"
#include "python/shared/ref.h"

namespace vonk {
namespace {

// Ids read between two looks for signals: a few milliseconds of work.
constexpr uint64_t kStretch = uint64_t{1} << 21;

constexpr size_t kSourceFields = 8;

// One file's arguments, held and converted.
struct SourceInput {
  std::string name;
  IntegerInput data, begins, ends, crcs;
  std::vector<uint8_t> data_scratch;
  std::vector<int64_t> begins_scratch, ends_scratch;
  std::vector<uint32_t> crcs_scratch;
};

bool convert_count(PyObject* object, const char* what, uint64_t* out) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Format(PyExc_ValueError, "_read_windows: bad %s", what);
    return false;
  }
  *out = value;
  return true;
}

// Converts one tuple of `sources` into *input and *source (whose views
// point into *input).
bool convert_source(PyObject* tuple, SourceInput* input, ChunkSource* source) {
  if (!PyTuple_Check(tuple) ||
      PyTuple_Size(tuple) != static_cast<Py_ssize_t>(kSourceFields)) {
    PyErr_SetString(PyExc_TypeError,
                    "_read_windows: each source is a tuple of 8 fields");
    return false;
  }
  std::array<PyObject*, kSourceFields> field;
  for (size_t i = 0; i < kSourceFields; ++i) {
    field[i] = PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(i));
  }
  std::string_view name;
  if (!convert_text(field[0], "name", &name)) return false;
  input->name = name;
  if (!input->data.convert(field[1], "data", true) ||
      !input->begins.convert(field[2], "begins", false) ||
      !input->ends.convert(field[3], "ends", false) ||
      !input->crcs.convert(field[4], "crcs", false) ||
      !convert_count(field[5], "token count", &source->token_count) ||
      !convert_count(field[6], "chunk size", &source->chunk_size) ||
      !convert_flag(field[7], "gzip", &source->gzip)) {
    return false;
  }
  ElementFault fault;
  if (!elements_as(input->data.layout(), &input->data_scratch, &source->bytes,
                   &fault)) {
    input->data.raise_fault(fault, kByteRange);
    return false;
  }
  if (!elements_as(input->begins.layout(), &input->begins_scratch,
                   &source->begins, &fault)) {
    input->begins.raise_fault(fault, kOffsetRange);
    return false;
  }
  if (!elements_as(input->ends.layout(), &input->ends_scratch, &source->ends,
                   &fault)) {
    input->ends.raise_fault(fault, kOffsetRange);
    return false;
  }
  if (!elements_as(input->crcs.layout(), &input->crcs_scratch, &source->crcs,
                   &fault)) {
    input->crcs.raise_fault(fault, kTokenIdRange);
    return false;
  }
  if (auto problem = check_source(*source)) {
    PyErr_Format(PyExc_ValueError, "%s: %s", input->name.c_str(),
                 problem->c_str());
    return false;
  }
  return true;
}

constexpr const char* kReadWindowsParams[] = {"sources", "starts", "length",
                                              "tokenizer"};
constexpr Signature kReadWindows{nullptr, "_read_windows", kReadWindowsParams,
                                 {}};

PyObject* read_windows(PyObject* /*module*/, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 4> bound;
  if (!bind_arguments(kReadWindows, args, nargs, kwnames, bound)) {
    return nullptr;
  }
  if (!PyTuple_Check(bound[0])) {
    PyErr_SetString(PyExc_TypeError, "_read_windows: sources is a tuple");
    return nullptr;
  }
  const size_t count = static_cast<size_t>(PyTuple_Size(bound[0]));
  std::vector<std::unique_ptr<SourceInput>> inputs;
  std::vector<ChunkSource> sources(count);
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    inputs.push_back(std::make_unique<SourceInput>());
    if (!convert_source(PyTuple_GetItem(bound[0], static_cast<Py_ssize_t>(i)),
                        inputs.back().get(), &sources[i])) {
      return nullptr;
    }
    sources[i].first_token = total;
    total += sources[i].token_count;
  }
  // The starts are copied even when they are int64 already: they are
  // checked here and read again without the lock, when another thread
  // could change the caller's array.
  IntegerInput starts_input;
  if (!starts_input.convert(bound[1], "starts", false)) return nullptr;
  std::vector<int64_t> starts_copy(starts_input.layout().count);
  ElementFault fault;
  if (!widen(starts_input.layout(), starts_copy.data(), &fault)) {
    starts_input.raise_fault(fault, kOffsetRange);
    return nullptr;
  }
  const std::span<const int64_t> starts = starts_copy;
  const Py_ssize_t length_arg = PyLong_AsSsize_t(bound[2]);
  if (length_arg < 0) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_ValueError, "window length must be >= 0");
    }
    return nullptr;
  }
  const auto length = static_cast<uint64_t>(length_arg);
  for (size_t i = 0; i < starts.size(); ++i) {
    const int64_t start = starts[i];
    if (start < 0 || length > total ||
        static_cast<uint64_t>(start) > total - length) {
      PyErr_Format(PyExc_IndexError,
                   "window %zu (start %lld, length %llu) lies outside the "
                   "%llu tokens",
                   i, static_cast<long long>(start),
                   static_cast<unsigned long long>(length),
                   static_cast<unsigned long long>(total));
      return nullptr;
    }
  }
  std::optional<Codec> codec;
  if (!open_tokenizer(bound[3], "tokenizer", &codec)) return nullptr;
  if (length != 0 && starts.size() > PY_SSIZE_T_MAX / 4 / length) {
    return PyErr_NoMemory();
  }
  const size_t row_bytes = static_cast<size_t>(length) * sizeof(uint32_t);
  PyRef result(PyByteArray_FromStringAndSize(
      nullptr, static_cast<Py_ssize_t>(starts.size() * row_bytes)));
  if (!result) return nullptr;
  auto* out = reinterpret_cast<uint32_t*>(PyByteArray_AsString(result.get()));

  // Windows in the order of their starts, so that neighbours share the
  // reader's cached chunks.
  std::vector<size_t> order(starts.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return starts[a] < starts[b]; });
  WindowReader reader(*codec, sources);
  size_t next = 0;
  while (next < order.size()) {
    std::optional<ChunkFault> failure;
    {
      ReleasedLock released;
      uint64_t read = 0;
      while (next < order.size() && read < kStretch) {
        const size_t row = order[next];
        failure = reader.read(
            static_cast<uint64_t>(starts[row]),
            std::span(out + row * static_cast<size_t>(length),
                      static_cast<size_t>(length)));
        if (failure) break;
        ++next;
        read += length + 1;
      }
    }
    if (failure) {
      PyErr_Format(PyExc_ValueError, "%s: chunk %llu is damaged: %s",
                   inputs[failure->source]->name.c_str(),
                   static_cast<unsigned long long>(failure->chunk),
                   failure->reason.c_str());
      return nullptr;
    }
    if (next < order.size() && PyErr_CheckSignals() != 0) return nullptr;
  }
  return result.release();
}

constexpr const char kReadWindowsDoc[] =
    "Windows of token ids read from the chunks of token files (private:\n"
    "vonk.TokenFile's engine). Returns a bytearray of len(starts) rows of\n"
    "`length` uint32 ids.";

const Callable kPrivateFunctions[] = {
    fast_call_row<read_windows, OutOfMemory::kMemoryError>(kReadWindows,
                                                            kReadWindowsDoc),
};

}  // namespace

std::span<const Callable> arrays_private_rows() { return kPrivateFunctions; }

}  // namespace vonk
