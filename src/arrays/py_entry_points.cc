// The buffer API. Each call converts its arguments with the interpreter
// lock held (holding every buffer it reads until it returns), then does all
// buffer-level work (widening, encoding, decoding, the batch loops) with
// the lock released, touching no Python object meanwhile, and builds its
// results with the lock held again. Batches give the lock back between
// stretches of about kStretch ids or payload bytes, to honour Ctrl-C.
#include "arrays/py_entry_points.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrays/batch.h"
#include "arrays/py_arrays_state.h"
#include "arrays/py_inputs.h"
#include "codec/gzip.h"
#include "codec/payload.h"
#include "lib/py_ref.h"

namespace vonk {
namespace {

// Ids (or payload bytes) a batch handles between two looks for signals:
// a few milliseconds of work.
constexpr size_t kStretch = size_t{1} << 20;

// Releases the interpreter lock for its lifetime.
class ReleasedLock {
 public:
  ReleasedLock() : thread_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(thread_); }

 private:
  PyThreadState* thread_;
};

using EncodeResult = decltype(std::declval<const Codec&>().encode_token_ids(
    std::span<const uint32_t>(), false));
using DecodeResult = decltype(std::declval<const Codec&>().decode_token_ids(
    std::span<const uint8_t>(), false));

// PyBUF_READ: the flag of a read-only memoryview, a stable value that the
// 3.10 limited-API headers leave undeclared.
constexpr int kReadOnlyView = 0x100;

// A new array.array of `typecode` holding a copy of the `bytes` bytes at
// `data`, filled by one copy of the memory.
PyObject* new_array(const char* typecode, const void* data, size_t bytes) {
  PyRef array(PyObject_CallFunction(arrays_state().array_type, "s", typecode));
  if (!array || bytes == 0) return array.release();
  PyRef view(PyMemoryView_FromMemory(
      const_cast<char*>(static_cast<const char*>(data)),
      static_cast<Py_ssize_t>(bytes), kReadOnlyView));
  if (!view) return nullptr;
  PyRef done(PyObject_CallMethod(array.get(), "frombytes", "O", view.get()));
  if (!done) return nullptr;
  return array.release();
}

PyObject* new_bytes(const uint8_t* data, size_t size) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                   static_cast<Py_ssize_t>(size));
}

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

// Raises the failure of one document of a batch: the core's exception, or
// OverflowError for an id out of range, its message ending in
// " (document N)" and its attribute `document` set to N.
PyObject* raise_document_failure(const DocumentFailure& failure,
                                 const char* ids_name) {
  const std::string suffix =
      " (document " + std::to_string(failure.document) + ")";
  if (const auto* fault = std::get_if<ElementFault>(&failure.reason)) {
    raise_element_fault(ids_name, *fault, kTokenIdRange, suffix.c_str());
  } else {
    const CodecError& error = std::get<CodecError>(failure.reason);
    PyRef exception(new_codec_exception(error, suffix));
    if (!exception) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())),
                    exception.get());
  }
  attach_document(failure.document);
  return nullptr;
}

// --- Signatures ---------------------------------------------------------------

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

constexpr size_t kMostParameters = 4;

// Binds the arguments of `signature` into `bound` (kMostParameters slots).
bool bind_common(const Signature& signature, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
  return bind_arguments(signature, args, nargs, kwnames,
                        std::span(bound, signature.parameter_count()));
}

// Opens the tokenizer (the last positional parameter) and converts the
// flag.
bool tokenizer_and_flag(const Signature& signature, PyObject** bound,
                        std::optional<Codec>* codec, bool* gzip) {
  const size_t last = signature.positional.size() - 1;
  return open_tokenizer(bound[last], signature.positional[last],
                        arrays_state().codec_type, codec) &&
         convert_flag(bound[last + 1], signature.keyword_only[0], gzip);
}

// --- Entry points -------------------------------------------------------------

PyObject* pack(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  PyObject* bound[kMostParameters];
  if (!bind_common(kPack, args, nargs, kwnames, bound)) return nullptr;
  IntegerInput input;
  std::optional<Codec> codec;
  bool gzip;
  if (!convert_token_ids(bound[0], kPack.positional[0], &input) ||
      !tokenizer_and_flag(kPack, bound, &codec, &gzip)) {
    return nullptr;
  }
  std::optional<EncodeResult> payload;
  ElementFault fault;
  {
    ReleasedLock released;
    std::vector<uint32_t> scratch;
    std::span<const uint32_t> ids;
    if (elements_as(input.layout(), &scratch, &ids, &fault)) {
      payload.emplace(codec->encode_token_ids(ids, gzip));
    }
  }
  if (!payload) {
    raise_element_fault(kPack.positional[0], fault, kTokenIdRange);
    return nullptr;
  }
  if (!payload->ok()) return raise_codec_error(payload->error());
  const auto& bytes = payload->value();
  return new_bytes(bytes.data(), bytes.size());
}

// Decodes the plain `payload`, whose list declares `count` ids, straight
// into a new array('I') of that many: one block for the result, touched by
// the fill and then by the ids, instead of the core's own block and a copy.
PyObject* unpack_into_new_array(const Codec& codec,
                                std::span<const uint8_t> payload,
                                size_t count) {
  PyRef one(PyObject_CallFunction(arrays_state().array_type, "s(i)", "I", 0));
  if (!one) return nullptr;
  PyRef array(PySequence_Repeat(one.get(), static_cast<Py_ssize_t>(count)));
  if (!array) return nullptr;
  // The array is this call's alone until it is returned, so its block
  // stays where buffer_info() says.
  PyRef info(PyObject_CallMethod(array.get(), "buffer_info", nullptr));
  if (!info) return nullptr;
  PyObject* address = PyTuple_GetItem(info.get(), 0);
  if (address == nullptr) return nullptr;
  void* room = PyLong_AsVoidPtr(address);
  if (room == nullptr && PyErr_Occurred()) return nullptr;
  std::optional<CodecError> error;
  {
    ReleasedLock released;
    error = codec.decode_token_ids_into(
        payload, std::span<uint32_t>(static_cast<uint32_t*>(room), count));
  }
  if (error) return raise_codec_error(*error);
  return array.release();
}

PyObject* unpack(PyObject* /*module*/, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kMostParameters];
  if (!bind_common(kUnpack, args, nargs, kwnames, bound)) return nullptr;
  IntegerInput input;
  std::optional<Codec> codec;
  bool gzip;
  if (!convert_payload(bound[0], kUnpack.positional[0], &input) ||
      !tokenizer_and_flag(kUnpack, bound, &codec, &gzip)) {
    return nullptr;
  }
  // A payload in one piece whose list header reads soundly (after
  // inflation, with gzip) goes straight into the result. Anything else takes
  // the general road, which names the fault (inflating again on the way).
  if (input.layout().holds_exactly<uint8_t>()) {
    std::span<const uint8_t> payload(
        reinterpret_cast<const uint8_t*>(input.layout().data),
        input.layout().count);
    std::optional<Result<ByteBuffer>> inflated;
    if (gzip) {
      {
        ReleasedLock released;
        inflated.emplace(gzip_unwrap(payload));
      }
      if (!inflated->ok()) return raise_codec_error(inflated->error());
      payload = std::span<const uint8_t>(inflated->value().data(),
                                         inflated->value().size());
    }
    if (const std::optional<size_t> count = declared_payload_ids(payload)) {
      return unpack_into_new_array(*codec, payload, *count);
    }
  }
  std::optional<DecodeResult> ids;
  ElementFault fault;
  {
    ReleasedLock released;
    std::vector<uint8_t> scratch;
    std::span<const uint8_t> payload;
    if (elements_as(input.layout(), &scratch, &payload, &fault)) {
      ids.emplace(codec->decode_token_ids(payload, gzip));
    }
  }
  if (!ids) {
    raise_element_fault(kUnpack.positional[0], fault, kByteRange);
    return nullptr;
  }
  if (!ids->ok()) return raise_codec_error(ids->error());
  const auto& values = ids->value();
  return new_array("I", values.data(), values.size() * sizeof(uint32_t));
}

// Runs `stretch` (one stretch of a batch, with the lock released) until
// every document is done, looking for signals between stretches. False
// with the exception set when a document fails or a signal handler raises.
template <typename Batch, typename Stretch>
bool run_batch(Batch* batch, size_t documents, const char* ids_name,
               Stretch stretch) {
  for (;;) {
    std::optional<DocumentFailure> failure;
    {
      ReleasedLock released;
      failure = stretch();
    }
    if (failure) {
      raise_document_failure(*failure, ids_name);
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
  PyObject* bound[kMostParameters];
  if (!bind_common(kPackMany, args, nargs, kwnames, bound)) return nullptr;
  IntegerInput input;
  std::vector<int64_t> offsets;
  std::optional<Codec> codec;
  bool gzip;
  if (!convert_token_ids(bound[0], kPackMany.positional[0], &input) ||
      !convert_offsets(bound[1], kPackMany.positional[1],
                       input.layout().count, kPackMany.positional[0],
                       &offsets) ||
      !tokenizer_and_flag(kPackMany, bound, &codec, &gzip)) {
    return nullptr;
  }
  PackedBatch batch;
  const size_t documents = offsets.size() - 1;
  // Room reserved ahead (address space only: pages are touched as they are
  // written), so that the output seldom moves as it grows.
  batch.payloads.reserve(2 * input.layout().count + 32 * documents);
  batch.offsets.reserve(offsets.size());
  if (!run_batch(&batch, documents, kPackMany.positional[0], [&] {
        return pack_documents(*codec, input.layout(), offsets, gzip, kStretch,
                              &batch);
      })) {
    return nullptr;
  }
  return pair(PyRef(new_bytes(batch.payloads.data(), batch.payloads.size())),
              batch.offsets);
}

PyObject* unpack_many(PyObject* /*module*/, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[kMostParameters];
  if (!bind_common(kUnpackMany, args, nargs, kwnames, bound)) return nullptr;
  IntegerInput input;
  std::vector<int64_t> offsets;
  std::optional<Codec> codec;
  bool gzip;
  if (!convert_payload(bound[0], kUnpackMany.positional[0], &input) ||
      !convert_offsets(bound[1], kUnpackMany.positional[1],
                       input.layout().count, kUnpackMany.positional[0],
                       &offsets) ||
      !tokenizer_and_flag(kUnpackMany, bound, &codec, &gzip)) {
    return nullptr;
  }
  UnpackedBatch batch;
  const size_t documents = offsets.size() - 1;
  // A plain payload of n bytes holds at most n ids: room reserved ahead
  // (address space only) keeps the output from moving as it grows.
  if (!gzip) batch.token_ids.reserve(input.layout().count);
  batch.offsets.reserve(offsets.size());
  std::vector<uint8_t> scratch;
  std::span<const uint8_t> payloads;
  ElementFault fault;
  bool widened;
  {
    ReleasedLock released;
    widened = elements_as(input.layout(), &scratch, &payloads, &fault);
  }
  if (!widened) {
    raise_element_fault(kUnpackMany.positional[0], fault, kByteRange);
    return nullptr;
  }
  if (!run_batch(&batch, documents, kUnpackMany.positional[0], [&] {
        return unpack_documents(*codec, payloads, offsets, gzip, kStretch,
                                &batch);
      })) {
    return nullptr;
  }
  return pair(PyRef(new_array("I", batch.token_ids.data(),
                              batch.token_ids.size() * sizeof(uint32_t))),
              batch.offsets);
}

template <auto kFunction>
PyObject* guarded_call(PyObject* module, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return kFunction(module, args, nargs, kwnames); });
}

template <auto kFunction>
Callable row(const Signature& signature, const char* summary) {
  return {&signature, summary, as_cfunction(&guarded_call<kFunction>),
          METH_FASTCALL | METH_KEYWORDS};
}

constexpr const char kPackDoc[] =
    "Pack token ids into one payload.\n\n"
    "token_ids: any object exporting a one-dimensional buffer of integers\n"
    "(numpy arrays of any integer dtype and stride, array.array,\n"
    "memoryview), or any other sequence of ints. tokenizer: a tokenizer\n"
    "name or a vonk.Codec. The result is byte for byte\n"
    "Codec(tokenizer).encode_token_ids(list(token_ids), gzip=gzip).\n"
    "The interpreter lock is released while the ids are packed: do not\n"
    "mutate token_ids until the call returns.";
constexpr const char kUnpackDoc[] =
    "Unpack one payload into an array.array('I') of token ids.\n\n"
    "payload: any bytes-like object (bytes, bytearray, memoryview, mmap,\n"
    "a numpy uint8 array) or a sequence of ints. numpy.frombuffer(result,\n"
    "numpy.uint32) shares the result's memory. The interpreter lock is\n"
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
    row<pack>(kPack, kPackDoc),
    row<unpack>(kUnpack, kUnpackDoc),
    row<pack_many>(kPackMany, kPackManyDoc),
    row<unpack_many>(kUnpackMany, kUnpackManyDoc),
};

}  // namespace

std::span<const Callable> arrays_function_rows() { return kFunctions; }

}  // namespace vonk
