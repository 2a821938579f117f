// Module-level functions: list_available_tokenizers, compress_token_ids and
// decompress_token_ids.
#include "python/internal/functions.h"

#include <string>
#include <string_view>
#include <vector>

#include "mapping/tokenizer_registry.h"
#include "python/internal/operation_row.h"
#include "python/shared/ref.h"

namespace vonk {
namespace {

PyObject* list_available_tokenizers(PyObject* /*module*/,
                                    PyObject* /*unused*/) {
  return guarded([]() -> PyObject* {
    const std::vector<std::string> list = TokenizerRegistry::list();
    PyRef names(PyList_New(static_cast<Py_ssize_t>(list.size())));
    if (!names) return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string& name = list[i];
      PyObject* item = PyUnicode_FromStringAndSize(
          name.data(), static_cast<Py_ssize_t>(name.size()));
      if (item == nullptr) return nullptr;
      PyList_SetItem(names.get(), static_cast<Py_ssize_t>(i), item);
    }
    return names.release();
  });
}

constexpr const char* kCompressParams[] = {"token_ids", "tokenizer"};
constexpr const char* kDecompressParams[] = {"payload", "tokenizer"};
constexpr const char* kGzip[] = {"gzip"};

constexpr Signature kList{nullptr, "list_available_tokenizers", {}, {}};
constexpr Signature kCompress{nullptr, "compress_token_ids", kCompressParams,
                              kGzip};
constexpr Signature kDecompress{nullptr, "decompress_token_ids",
                                kDecompressParams, kGzip};

const Callable kFunctions[] = {
    {&kList, "", as_cfunction(list_available_tokenizers), METH_NOARGS},
    operation_row<kCompress, &Codec::encode_token_ids>(
        "Compress token IDs with selected tokenizer"),
    operation_row<kDecompress, &Codec::decode_token_ids>(
        "Decompress bytes to token IDs"),
};

}  // namespace

std::span<const Callable> module_function_rows() { return kFunctions; }

}  // namespace vonk
