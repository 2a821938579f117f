// The Python class Codec: a heap type whose instances hold a core Codec,
// constructed in place once the tokenizer has been opened.
#include "python/internal/codec_type.h"

#include <array>
#include <cstddef>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "python/internal/operation_row.h"
#include "python/shared/state.h"

namespace vonk {
namespace {

struct CodecObject {
  PyObject_HEAD
  alignas(Codec) std::byte storage[sizeof(Codec)];
};

Codec* core_of(PyObject* self) {
  return std::launder(
      reinterpret_cast<Codec*>(reinterpret_cast<CodecObject*>(self)->storage));
}

// --- Members ------------------------------------------------------------------

constexpr const char* kTokenizer[] = {"tokenizer"};
constexpr const char* kTokens[] = {"tokens"};
constexpr const char* kTokenIds[] = {"token_ids"};
constexpr const char* kMappedIds[] = {"mapped_ids"};
constexpr const char* kPayload[] = {"payload"};
constexpr const char* kGzip[] = {"gzip"};

constexpr Signature kNew{"Codec", "__new__", kTokenizer, {}};
constexpr Signature kEncodeTokens{"Codec", "encode_tokens", kTokens, kGzip};
constexpr Signature kEncodeTokenIds{"Codec", "encode_token_ids", kTokenIds,
                                    kGzip};
constexpr Signature kEncodeMappedIds{"Codec", "encode_mapped_ids", kMappedIds,
                                     kGzip};
constexpr Signature kEncodeRawTokenIds{"Codec", "encode_raw_token_ids",
                                       kTokenIds, kGzip};
constexpr Signature kDecodeMappedIds{"Codec", "decode_mapped_ids", kPayload,
                                     kGzip};
constexpr Signature kDecodeTokens{"Codec", "decode_tokens", kPayload, kGzip};
constexpr Signature kDecodeTokenIds{"Codec", "decode_token_ids", kPayload,
                                    kGzip};
constexpr Signature kTokenIdToMappedId{"Codec", "token_id_to_mapped_id",
                                       kTokenIds, {}};
constexpr Signature kMappedIdToTokenId{"Codec", "mapped_id_to_token_id",
                                       kMappedIds, {}};

// The methods, in the order the class lists them. The texts returned by
// decode_tokens point into the receiver's mapping, which outlives the call.
const Callable kMethods[] = {
    operation_row<kEncodeTokens, &Codec::encode_tokens>(
        "Encode tokens to compressed bytes"),
    operation_row<kEncodeTokenIds, &Codec::encode_token_ids>(
        "Encode token IDs to compressed bytes"),
    operation_row<kEncodeMappedIds, &Codec::encode_mapped_ids>(
        "Encode mapped IDs directly (no mapping)"),
    operation_row<kEncodeRawTokenIds, &Codec::encode_raw_token_ids>(
        "Benchmark: encode raw token IDs as i32"),
    operation_row<kDecodeMappedIds, &Codec::decode_mapped_ids>(
        "Decode to mapped IDs"),
    operation_row<kDecodeTokens, &Codec::decode_tokens>("Decode to tokens"),
    operation_row<kDecodeTokenIds, &Codec::decode_token_ids>(
        "Decode to token IDs"),
    operation_row<kTokenIdToMappedId, &Codec::token_id_to_mapped_id>(""),
    operation_row<kMappedIdToTokenId, &Codec::mapped_id_to_token_id>(""),
};

PyObject* get_tokenizer_name(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    const Codec* codec = codec_of(self);
    if (codec == nullptr) return nullptr;
    const std::string& name = codec->tokenizer_name();
    return PyUnicode_FromStringAndSize(name.data(),
                                       static_cast<Py_ssize_t>(name.size()));
  });
}

// Opens the tokenizer first, so a failed construction allocates nothing.
PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kNew.parameter_count()> bound;
    if (!bind_arguments(kNew, args, kwargs, bound)) return nullptr;
    std::string_view name;
    if (!convert_text(bound[0], kNew.positional[0], &name)) return nullptr;
    Result<Codec> opened = Codec::open(name);
    if (!opened.ok()) return raise_codec_error(opened.error());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (reinterpret_cast<CodecObject*>(self)->storage)
        Codec(std::move(opened).value());
    return self;
  });
}

void codec_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  core_of(self)->~Codec();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

PyGetSetDef getsets[] = {
    {"tokenizer_name", get_tokenizer_name, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const Codec* codec_of(PyObject* self) {
  PyObject* type = module_state().codec_type;
  if (self != nullptr && type != nullptr &&
      PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    return core_of(self);
  }
  raise_conversion_error(self == nullptr ? Py_None : self, "Codec");
  return nullptr;
}

PyObject* codec_type() {
  ModuleState& state = module_state();
  if (state.codec_type == nullptr) {
    static PyMethodDef* const methods = method_table(kMethods);
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Codec(tokenizer)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(codec_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(codec_dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getsets},
        {0, nullptr},
    };
    // "builtins." puts the type in no module of its own: __module__ reports
    // "builtins" while the type's short name stays "Codec". No base-type
    // flag, so the class cannot be subclassed; no __dict__ and no weak
    // references.
    PyType_Spec spec = {
        "builtins.Codec",
        static_cast<int>(sizeof(CodecObject)),
        0,
        Py_TPFLAGS_DEFAULT,
        slots,
    };
    state.codec_type = PyType_FromSpec(&spec);
    if (state.codec_type == nullptr) return nullptr;
  }
  return Py_NewRef(state.codec_type);
}

}  // namespace vonk
