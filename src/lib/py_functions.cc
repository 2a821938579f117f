// Module-level functions: list_available_tokenizers, compress_token_ids and
// decompress_token_ids.
#include "lib/py_functions.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/codec.h"
#include "lib/py_convert.h"
#include "lib/py_errors.h"
#include "lib/py_panic.h"
#include "mapping/tokenizer_registry.h"

namespace vonk {
namespace {

PyObject* list_available_tokenizers(PyObject* /*module*/,
                                    PyObject* /*unused*/) {
  return guarded([]() -> PyObject* {
    const std::vector<std::string> list = TokenizerRegistry::list();
    PyObject* names = PyList_New(static_cast<Py_ssize_t>(list.size()));
    if (names == nullptr) return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string& name = list[i];
      PyObject* item = PyUnicode_FromStringAndSize(
          name.data(), static_cast<Py_ssize_t>(name.size()));
      if (item == nullptr) {
        Py_DECREF(names);
        return nullptr;
      }
      PyList_SetItem(names, static_cast<Py_ssize_t>(i), item);
    }
    return names;
  });
}

constexpr const char* kCompressParams[] = {"token_ids", "tokenizer"};
constexpr const char* kDecompressParams[] = {"payload", "tokenizer"};
constexpr const char* kGzipParam[] = {"gzip"};

const Signature kCompress{"compress_token_ids()", kCompressParams,
                          kGzipParam};
const Signature kDecompress{"decompress_token_ids()", kDecompressParams,
                            kGzipParam};

// Binds, converts the first argument, the tokenizer name and gzip in that
// order, opens a core Codec for the call only and runs `operation` on it.
// `Input` is the converted form of the first argument.
template <typename Input, typename Operation>
PyObject* run_function(const Signature& signature, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames,
                       Operation operation) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    std::span<PyObject*> bound(slots, signature.parameter_count());
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    Input input;
    if (!convert_sequence(bound[0], signature.positional[0], &input)) {
      return nullptr;
    }
    std::string_view tokenizer;
    if (!convert_text(bound[1], signature.positional[1], &tokenizer)) {
      return nullptr;
    }
    bool gzip = false;
    if (!convert_gzip(bound[2], &gzip)) return nullptr;
    Result<Codec> codec = Codec::open(tokenizer);
    if (!codec.ok()) return raise_codec_error(codec.error());
    return list_or_raise(operation(codec.value(), elements_of(input), gzip));
  });
}

PyObject* compress_token_ids(PyObject* /*module*/, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  return run_function<ReusedVector<uint32_t>>(
      kCompress, args, nargs, kwnames,
      [](const Codec& codec, auto token_ids, bool gzip) {
        return codec.encode_token_ids(token_ids, gzip);
      });
}

PyObject* decompress_token_ids(PyObject* /*module*/, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
  return run_function<ReusedVector<uint8_t>>(
      kDecompress, args, nargs, kwnames,
      [](const Codec& codec, auto payload, bool gzip) {
        return codec.decode_token_ids(payload, gzip);
      });
}

PyCFunction as_cfunction(_PyCFunctionFastWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

PyMethodDef list_available_tokenizers_def = {
    "list_available_tokenizers", list_available_tokenizers, METH_NOARGS,
    "list_available_tokenizers()\n--\n\n"};

PyMethodDef compress_token_ids_def = {
    "compress_token_ids", as_cfunction(compress_token_ids),
    METH_FASTCALL | METH_KEYWORDS,
    "compress_token_ids(token_ids, tokenizer, *, gzip=False)\n--\n\n"
    "Compress token IDs with selected tokenizer"};

PyMethodDef decompress_token_ids_def = {
    "decompress_token_ids", as_cfunction(decompress_token_ids),
    METH_FASTCALL | METH_KEYWORDS,
    "decompress_token_ids(payload, tokenizer, *, gzip=False)\n--\n\n"
    "Decompress bytes to token IDs"};

}  // namespace vonk
