// The Python class Codec: a heap type whose instances hold a core Codec,
// constructed in place once the tokenizer has been opened.
#include "lib/py_codec.h"

#include <cstddef>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/codec.h"
#include "lib/py_convert.h"
#include "lib/py_errors.h"
#include "lib/py_panic.h"

namespace vonk {
namespace {

struct CodecObject {
  PyObject_HEAD
  alignas(Codec) std::byte storage[sizeof(Codec)];
};

// Created on first use and kept for the life of the process; guarded by the
// interpreter lock.
PyObject* the_type = nullptr;

// The core Codec of an instance of the_type.
const Codec& core_of(PyObject* self) {
  return *std::launder(
      reinterpret_cast<const Codec*>(reinterpret_cast<CodecObject*>(self)
                                         ->storage));
}

// The receiver must be a Codec, whoever called the method.
bool check_receiver(PyObject* self) {
  if (self != nullptr && the_type != nullptr &&
      PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(the_type))) {
    return true;
  }
  if (self == nullptr) self = Py_None;
  raise_conversion_error(self, "Codec");
  return false;
}

// --- Signatures -------------------------------------------------------------

constexpr const char* kTokenizerParam[] = {"tokenizer"};
constexpr const char* kTokensParam[] = {"tokens"};
constexpr const char* kTokenIdsParam[] = {"token_ids"};
constexpr const char* kMappedIdsParam[] = {"mapped_ids"};
constexpr const char* kPayloadParam[] = {"payload"};
constexpr const char* kGzipParam[] = {"gzip"};

const Signature kNew{"Codec.__new__()", kTokenizerParam, {}};
const Signature kEncodeTokens{"Codec.encode_tokens()", kTokensParam,
                              kGzipParam};
const Signature kEncodeTokenIds{"Codec.encode_token_ids()", kTokenIdsParam,
                                kGzipParam};
const Signature kEncodeMappedIds{"Codec.encode_mapped_ids()",
                                 kMappedIdsParam, kGzipParam};
const Signature kEncodeRawTokenIds{"Codec.encode_raw_token_ids()",
                                   kTokenIdsParam, kGzipParam};
const Signature kDecodeMappedIds{"Codec.decode_mapped_ids()", kPayloadParam,
                                 kGzipParam};
const Signature kDecodeTokens{"Codec.decode_tokens()", kPayloadParam,
                              kGzipParam};
const Signature kDecodeTokenIds{"Codec.decode_token_ids()", kPayloadParam,
                                kGzipParam};
const Signature kTokenIdToMappedId{"Codec.token_id_to_mapped_id()",
                                   kTokenIdsParam, {}};
const Signature kMappedIdToTokenId{"Codec.mapped_id_to_token_id()",
                                   kMappedIdsParam, {}};

// --- Members ------------------------------------------------------------------

// The frame every method runs: bind, check the receiver, convert the first
// argument and then gzip (when the method has it), run `operation` on the
// core Codec, and build the result list or raise its error. `Input` is the
// converted form of the first argument.
template <typename Input, typename Operation>
PyObject* run_method(const Signature& signature, PyObject* self,
                     PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Operation operation) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    std::span<PyObject*> bound(slots, signature.parameter_count());
    if (!bind_arguments(signature, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    if (!check_receiver(self)) return nullptr;
    Input input;
    if (!convert_sequence(bound[0], signature.positional[0], &input)) {
      return nullptr;
    }
    bool gzip = false;
    if (!signature.keyword_only.empty() && !convert_gzip(bound[1], &gzip)) {
      return nullptr;
    }
    return list_or_raise(operation(core_of(self), elements_of(input), gzip));
  });
}

PyObject* encode_tokens(PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  return run_method<TokenTexts>(
      kEncodeTokens, self, args, nargs, kwnames,
      [](const Codec& codec, auto tokens, bool gzip) {
        return codec.encode_tokens(tokens, gzip);
      });
}

PyObject* encode_token_ids(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return run_method<ReusedVector<uint32_t>>(
      kEncodeTokenIds, self, args, nargs, kwnames,
      [](const Codec& codec, auto token_ids, bool gzip) {
        return codec.encode_token_ids(token_ids, gzip);
      });
}

PyObject* encode_mapped_ids(PyObject* self, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  return run_method<ReusedVector<int32_t>>(
      kEncodeMappedIds, self, args, nargs, kwnames,
      [](const Codec& codec, auto mapped_ids, bool gzip) {
        return codec.encode_mapped_ids(mapped_ids, gzip);
      });
}

PyObject* encode_raw_token_ids(PyObject* self, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
  return run_method<ReusedVector<uint32_t>>(
      kEncodeRawTokenIds, self, args, nargs, kwnames,
      [](const Codec& codec, auto token_ids, bool gzip) {
        return codec.encode_raw_token_ids(token_ids, gzip);
      });
}

PyObject* decode_mapped_ids(PyObject* self, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  return run_method<ReusedVector<uint8_t>>(
      kDecodeMappedIds, self, args, nargs, kwnames,
      [](const Codec& codec, auto payload, bool gzip) {
        return codec.decode_mapped_ids(payload, gzip);
      });
}

PyObject* decode_tokens(PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  // The returned views point into the instance's mapping, which outlives
  // the call.
  return run_method<ReusedVector<uint8_t>>(
      kDecodeTokens, self, args, nargs, kwnames,
      [](const Codec& codec, auto payload, bool gzip) {
        return codec.decode_tokens(payload, gzip);
      });
}

PyObject* decode_token_ids(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return run_method<ReusedVector<uint8_t>>(
      kDecodeTokenIds, self, args, nargs, kwnames,
      [](const Codec& codec, auto payload, bool gzip) {
        return codec.decode_token_ids(payload, gzip);
      });
}

PyObject* token_id_to_mapped_id(PyObject* self, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
  return run_method<ReusedVector<uint32_t>>(
      kTokenIdToMappedId, self, args, nargs, kwnames,
      [](const Codec& codec, auto token_ids, bool /*gzip*/) {
        return codec.token_id_to_mapped_id(token_ids);
      });
}

PyObject* mapped_id_to_token_id(PyObject* self, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
  return run_method<ReusedVector<int32_t>>(
      kMappedIdToTokenId, self, args, nargs, kwnames,
      [](const Codec& codec, auto mapped_ids, bool /*gzip*/) {
        return codec.mapped_id_to_token_id(mapped_ids);
      });
}

PyObject* get_tokenizer_name(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver(self)) return nullptr;
    const std::string& name = core_of(self).tokenizer_name();
    return PyUnicode_FromStringAndSize(name.data(),
                                       static_cast<Py_ssize_t>(name.size()));
  });
}

// Opens the tokenizer first, so a failed construction allocates nothing.
PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[kMaxParameters];
    std::span<PyObject*> bound(slots, kNew.parameter_count());
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
  std::launder(reinterpret_cast<Codec*>(
                   reinterpret_cast<CodecObject*>(self)->storage))
      ->~Codec();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// --- Type ---------------------------------------------------------------------

template <auto kFunction>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kFunction));
}

constexpr int kMethodFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"encode_tokens", as_cfunction<encode_tokens>(), kMethodFlags,
     "encode_tokens($self, tokens, *, gzip=False)\n--\n\n"
     "Encode tokens to compressed bytes"},
    {"encode_token_ids", as_cfunction<encode_token_ids>(), kMethodFlags,
     "encode_token_ids($self, token_ids, *, gzip=False)\n--\n\n"
     "Encode token IDs to compressed bytes"},
    {"encode_mapped_ids", as_cfunction<encode_mapped_ids>(), kMethodFlags,
     "encode_mapped_ids($self, mapped_ids, *, gzip=False)\n--\n\n"
     "Encode mapped IDs directly (no mapping)"},
    {"encode_raw_token_ids", as_cfunction<encode_raw_token_ids>(),
     kMethodFlags,
     "encode_raw_token_ids($self, token_ids, *, gzip=False)\n--\n\n"
     "Benchmark: encode raw token IDs as i32"},
    {"decode_mapped_ids", as_cfunction<decode_mapped_ids>(), kMethodFlags,
     "decode_mapped_ids($self, payload, *, gzip=False)\n--\n\n"
     "Decode to mapped IDs"},
    {"decode_tokens", as_cfunction<decode_tokens>(), kMethodFlags,
     "decode_tokens($self, payload, *, gzip=False)\n--\n\n"
     "Decode to tokens"},
    {"decode_token_ids", as_cfunction<decode_token_ids>(), kMethodFlags,
     "decode_token_ids($self, payload, *, gzip=False)\n--\n\n"
     "Decode to token IDs"},
    {"token_id_to_mapped_id", as_cfunction<token_id_to_mapped_id>(),
     kMethodFlags, "token_id_to_mapped_id($self, token_ids)\n--\n\n"},
    {"mapped_id_to_token_id", as_cfunction<mapped_id_to_token_id>(),
     kMethodFlags, "mapped_id_to_token_id($self, mapped_ids)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {"tokenizer_name", get_tokenizer_name, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Codec(tokenizer)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(codec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(codec_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getsets},
    {0, nullptr},
};

// "builtins." puts the type in no module of its own: __module__ reports
// "builtins" while the type's short name stays "Codec". No base-type flag,
// so the class cannot be subclassed; no __dict__ and no weak references.
PyType_Spec type_spec = {
    "builtins.Codec",
    static_cast<int>(sizeof(CodecObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

PyObject* codec_type() {
  if (the_type == nullptr) {
    the_type = PyType_FromSpec(&type_spec);
    if (the_type == nullptr) return nullptr;
  }
  return Py_NewRef(the_type);
}

}  // namespace vonk
