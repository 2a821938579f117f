// The buffer API. Each call converts its arguments with the interpreter
// lock held (holding every buffer it reads until it returns), then does all
// buffer-level work (widening, encoding, decoding, the batch loops) with
// the lock released, touching no Python object meanwhile, and builds its
// results with the lock held again, copying large ones without it. Long
// calls give the lock back between stretches, to honour Ctrl-C.
#include "python/arrays/entry_points.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "batches/batch.h"
#include "codec/payload.h"
#include "codec/token_id_reader.h"
#include "python/arrays/inputs.h"
#include "python/arrays/results.h"
#include "python/shared/errors.h"
#include "python/shared/ref.h"
#include "python/shared/state.h"

namespace vonk {
namespace {

// Ids (or payload bytes) a batch handles between two looks for signals:
// a few milliseconds of work.
constexpr size_t kStretch = size_t{1} << 20;

// Ids unpack() decodes between two appends to its result (256 KiB).
constexpr size_t kIdsPerPiece = size_t{1} << 16;

// Sets the attribute `document` of the pending exception.
void attach_document(size_t document) {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    PyRef index(PyLong_FromSize_t(document));
    if (!index || PyObject_SetAttrString(value, "document", index.get()) < 0) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
      return;
    }
  }
  PyErr_Restore(type, value, traceback);
}

// " (document N)", the suffix of a batch's messages.
std::string document_suffix(size_t document) {
  return " (document " + std::to_string(document) + ")";
}

// Raises the failure of one document of a batch: the core's exception, or
// OverflowError for an element out of range, its message ending in
// " (document N)" and its attribute `document` set to N.
void raise_document_failure(const DocumentFailure& failure,
                            const IntegerInput& input, ElementRange range) {
  const std::string suffix = document_suffix(failure.document);
  if (const auto* fault = std::get_if<ElementFault>(&failure.reason)) {
    input.raise_fault(*fault, range, suffix.c_str());
  } else {
    const CodecError& error = std::get<CodecError>(failure.reason);
    PyRef exception(new_codec_exception(error, suffix));
    if (!exception) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())),
                    exception.get());
  }
  attach_document(failure.document);
}

// Sets OverflowError for a document of `count` ids, more than a payload
// can hold.
void raise_too_many_ids(const char* name, size_t count, const char* suffix) {
  PyErr_Format(PyExc_OverflowError,
               "argument '%s': %zu ids are more than one payload holds "
               "(%llu)%s",
               name, count, static_cast<unsigned long long>(kMaxPayloadIds),
               suffix);
}

// --- Signatures and the one binder ------------------------------------------

constexpr const char* kPackParams[] = {"token_ids", "tokenizer"};
constexpr const char* kUnpackParams[] = {"payload", "tokenizer"};
constexpr const char* kPackManyParams[] = {"token_ids", "offsets",
                                           "tokenizer"};
constexpr const char* kUnpackManyParams[] = {"payloads", "payload_offsets",
                                             "tokenizer"};
constexpr const char* kGzip[] = {"gzip"};

constexpr Signature kPack{nullptr, "pack", kPackParams, kGzip};
constexpr Signature kUnpack{nullptr, "unpack", kUnpackParams, kGzip};
constexpr Signature kPackMany{nullptr, "pack_many", kPackManyParams, kGzip};
constexpr Signature kUnpackMany{nullptr, "unpack_many", kUnpackManyParams,
                                kGzip};

// The arguments of a call, converted.
struct Call {
  IntegerInput input;            // token ids or payload bytes
  std::vector<int64_t> offsets;  // n+1 document offsets (batches)
  std::optional<Codec> codec;
  bool gzip = false;
};

// Binds the arguments of `signature`, whose positional parameters are the
// integer input, for a batch its offsets, then the tokenizer, and converts
// them in that order, then the flag. `payloads`: the input holds payload
// bytes (one-byte items are unsigned whatever their sign).
template <const Signature& kSignature>
bool bind_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               bool payloads, Call* call) {
  constexpr size_t kPositional = kSignature.positional.size();
  constexpr bool kBatch = kPositional == 3;
  std::array<PyObject*, kSignature.parameter_count()> bound;
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return false;
  if (!call->input.convert(bound[0], kSignature.positional[0], payloads)) {
    return false;
  }
  if constexpr (kBatch) {
    if (!convert_offsets(bound[1], kSignature.positional[1],
                         call->input.layout().count, kSignature.positional[0],
                         &call->offsets)) {
      return false;
    }
  }
  return open_tokenizer(bound[kPositional - 1],
                        kSignature.positional[kPositional - 1],
                        &call->codec) &&
         convert_flag(bound[kPositional], kSignature.keyword_only[0],
                      &call->gzip);
}

// --- Entry points -------------------------------------------------------------

PyObject* pack(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  Call call;
  if (!bind_call<kPack>(args, nargs, kwnames, false, &call)) return nullptr;
  const IntegerLayout& layout = call.input.layout();
  if (layout.count > kMaxPayloadIds) {
    raise_too_many_ids(kPack.positional[0], layout.count, "");
    return nullptr;
  }
  std::optional<Result<ByteBuffer>> payload;
  ElementFault fault;
  {
    ReleasedLock released;
    std::vector<uint32_t> scratch;
    std::span<const uint32_t> ids;
    if (elements_as(layout, &scratch, &ids, &fault)) {
      payload.emplace(call.codec->encode_token_ids(ids, call.gzip));
    }
  }
  if (!payload) {
    call.input.raise_fault(fault, kTokenIdRange);
    return nullptr;
  }
  if (!payload->ok()) return raise_codec_error(payload->error());
  const ByteBuffer& bytes = payload->value();
  return new_bytes(bytes.data(), bytes.size());
}

// The result grows piece by piece as ids are read, so it never holds more
// than the payload really gives; the array is written only with the lock
// held (through frombytes), and is kept from the garbage collector's lists
// while it fills, so no other code can reach it before it is returned.
PyObject* unpack(PyObject* /*module*/, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  Call call;
  if (!bind_call<kUnpack>(args, nargs, kwnames, true, &call)) return nullptr;
  std::vector<uint8_t> scratch;
  std::span<const uint8_t> payload;
  ElementFault fault;
  bool widened = false;
  std::optional<Result<TokenIdReader>> opened;
  PodBuffer<uint32_t> piece;
  size_t count = 0;
  std::optional<CodecError> error;
  // Reads the next piece into `piece`; its ids are its first `count`.
  auto read_piece = [&](TokenIdReader& reader) {
    count = std::min(reader.remaining(), kIdsPerPiece);
    error = reader.read(std::span(piece.data(), count));
  };
  {
    ReleasedLock released;
    widened = elements_as(call.input.layout(), &scratch, &payload, &fault);
    if (widened) {
      opened.emplace(TokenIdReader::open(*call.codec, payload, call.gzip));
      if (opened->ok()) {
        piece.resize(std::min(opened->value().declared(), kIdsPerPiece));
        read_piece(opened->value());
      }
    }
  }
  if (!widened) {
    call.input.raise_fault(fault, kByteRange);
    return nullptr;
  }
  if (!opened->ok()) return raise_codec_error(opened->error());
  TokenIdReader& reader = opened->value();
  PyRef array(new_empty_array("I"));
  if (!array) return nullptr;
  const bool tracked = PyObject_GC_IsTracked(array.get());
  if (tracked) PyObject_GC_UnTrack(array.get());
  for (;;) {
    if (error) return raise_codec_error(*error);
    if (!append_to_array(array.get(), piece.data(), count * sizeof(uint32_t))) {
      return nullptr;
    }
    if (reader.remaining() == 0) break;
    if (PyErr_CheckSignals() != 0) return nullptr;
    ReleasedLock released;
    read_piece(reader);
  }
  if (tracked) PyObject_GC_Track(array.get());
  return array.release();
}

// Runs `stretch` (one stretch of a batch, with the lock released) until
// every document is done, looking for signals between stretches. False
// with the exception set when a document fails or a signal handler raises.
template <typename Batch, typename Stretch>
bool run_batch(Batch* batch, size_t documents, const IntegerInput& input,
               ElementRange range, Stretch stretch) {
  for (;;) {
    std::optional<DocumentFailure> failure;
    {
      ReleasedLock released;
      failure = stretch();
    }
    if (failure) {
      raise_document_failure(*failure, input, range);
      return false;
    }
    if (batch->next_document == documents) return true;
    if (PyErr_CheckSignals() != 0) return false;
  }
}

// (bytes, array('q')) or (array('I'), array('q')) of a finished batch.
PyObject* pair(PyRef first, const std::vector<int64_t>& offsets) {
  if (!first) return nullptr;
  PyRef second(new_array("q", offsets.data(), offsets.size() * 8));
  if (!second) return nullptr;
  return PyTuple_Pack(2, first.get(), second.get());
}

PyObject* pack_many(PyObject* /*module*/, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  Call call;
  if (!bind_call<kPackMany>(args, nargs, kwnames, false, &call)) {
    return nullptr;
  }
  const std::vector<int64_t>& offsets = call.offsets;
  const size_t documents = offsets.size() - 1;
  for (size_t d = 0; d < documents; ++d) {
    const auto count = static_cast<size_t>(offsets[d + 1] - offsets[d]);
    if (count > kMaxPayloadIds) {
      raise_too_many_ids(kPackMany.positional[0], count,
                         document_suffix(d).c_str());
      attach_document(d);
      return nullptr;
    }
  }
  PackedBatch batch;
  // Room reserved ahead (address space only: pages are touched as they are
  // written), so that the output seldom moves as it grows.
  batch.payloads.reserve(2 * call.input.layout().count + 32 * documents);
  batch.offsets.reserve(offsets.size());
  if (!run_batch(&batch, documents, call.input, kTokenIdRange, [&] {
        return pack_documents(*call.codec, call.input.layout(), offsets,
                              call.gzip, kStretch, &batch);
      })) {
    return nullptr;
  }
  return pair(PyRef(new_bytes(batch.payloads.data(), batch.payloads.size())),
              batch.offsets);
}

PyObject* unpack_many(PyObject* /*module*/, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  Call call;
  if (!bind_call<kUnpackMany>(args, nargs, kwnames, true, &call)) {
    return nullptr;
  }
  const size_t documents = call.offsets.size() - 1;
  UnpackedBatch batch;
  // A plain payload of n bytes holds at most n ids: room reserved ahead
  // (address space only) keeps the output from moving as it grows.
  if (!call.gzip) batch.token_ids.reserve(call.input.layout().count);
  batch.offsets.reserve(call.offsets.size());
  std::vector<uint8_t> scratch;
  std::span<const uint8_t> payloads;
  ElementFault fault;
  bool widened;
  {
    ReleasedLock released;
    widened = elements_as(call.input.layout(), &scratch, &payloads, &fault);
  }
  if (!widened) {
    call.input.raise_fault(fault, kByteRange);
    return nullptr;
  }
  if (!run_batch(&batch, documents, call.input, kByteRange, [&] {
        return unpack_documents(*call.codec, payloads, call.offsets,
                                call.gzip, kStretch, &batch);
      })) {
    return nullptr;
  }
  return pair(PyRef(new_array("I", batch.token_ids.data(),
                              batch.token_ids.size() * sizeof(uint32_t))),
              batch.offsets);
}

constexpr const char kPackDoc[] =
    "Pack token ids into one payload.\n\n"
    "token_ids: any object exporting a one-dimensional buffer of integers\n"
    "(numpy arrays of any integer dtype and stride, array.array,\n"
    "memoryview), or any other sequence of ints. tokenizer: a tokenizer\n"
    "name or a vonk.Codec. The result is byte for byte\n"
    "Codec(tokenizer).encode_token_ids(list(token_ids), gzip=gzip).\n"
    "An object that exports a buffer is read through it even when it is\n"
    "also a sequence. More ids than a payload holds (2**31 - 1) raise\n"
    "OverflowError before any work. The interpreter lock is released\n"
    "while the ids are packed: do not mutate token_ids until the call\n"
    "returns.";
constexpr const char kUnpackDoc[] =
    "Unpack one payload into an array.array('I') of token ids.\n\n"
    "payload: any bytes-like object (bytes, bytearray, memoryview, mmap,\n"
    "a numpy uint8 array) or a sequence of ints. numpy.frombuffer(result,\n"
    "numpy.uint32) shares the result's memory. The result grows as ids are\n"
    "read, never beyond what the payload holds. The interpreter lock is\n"
    "released while the payload is read: do not mutate it meanwhile.";
constexpr const char kPackManyDoc[] =
    "Pack many documents, one payload each, in Arrow's layout.\n\n"
    "Document d is token_ids[offsets[d]:offsets[d+1]]; offsets: n+1\n"
    "integers from 0, never decreasing, ending at len(token_ids) (any\n"
    "integer buffer or sequence). Returns (payloads, payload_offsets):\n"
    "every document's pack(), back to back in one bytes object, and an\n"
    "array.array('q') of their n+1 offsets. A failing document raises\n"
    "with its index in the message and as the attribute `document`.\n"
    "The interpreter lock is released while the batch is packed: do not\n"
    "mutate the arguments until the call returns.";
constexpr const char kUnpackManyDoc[] =
    "Unpack many payloads laid out as pack_many() returns them.\n\n"
    "Returns (token_ids, offsets): every document's ids back to back in\n"
    "one array.array('I'), and an array.array('q') of their n+1 offsets.\n"
    "A failing document raises with its index in the message and as the\n"
    "attribute `document`. The interpreter lock is released while the\n"
    "batch is unpacked: do not mutate the arguments until it returns.";

const Callable kFunctions[] = {
    fast_call_row<pack, OutOfMemory::kMemoryError>(kPack, kPackDoc),
    fast_call_row<unpack, OutOfMemory::kMemoryError>(kUnpack, kUnpackDoc),
    fast_call_row<pack_many, OutOfMemory::kMemoryError>(kPackMany,
                                                         kPackManyDoc),
    fast_call_row<unpack_many, OutOfMemory::kMemoryError>(kUnpackMany,
                                                           kUnpackManyDoc),
};

}  // namespace

std::span<const Callable> arrays_function_rows() { return kFunctions; }

}  // namespace vonk
