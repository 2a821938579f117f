// MappingTables objects hold their tables through a shared reference, so a
// built-in mapping shares the cache's tables with every Codec of its name.
// Every member but the built-in records of a named mapping is set when the
// object is made; those are read from the embedded text when first asked
// for, without the interpreter lock.
#include "python/arrays/mapping_type.h"

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "batches/token_counts.h"
#include "mapping/mapping_cache.h"
#include "mapping/ranked_text.h"
#include "mapping/tokenizer_registry.h"
#include "python/arrays/inputs.h"
#include "python/arrays/results.h"
#include "python/shared/callable.h"
#include "python/shared/errors.h"
#include "python/shared/ref.h"
#include "python/shared/state.h"

namespace vonk {
namespace {

struct MappingTables {
  std::string name;
  bool built_in = false;
  size_t size = 0;
  std::shared_ptr<const TokenMapping> mapping;
  // Always set for a mapping ranked here; read on first use for a built-in.
  std::shared_ptr<const RankedVocabulary> vocabulary;
};

struct MappingTablesObject {
  PyObject_HEAD
  MappingTables* tables;
};

MappingTables& tables_of(PyObject* self) {
  return *reinterpret_cast<MappingTablesObject*>(self)->tables;
}

// A new instance of `type` owning `tables`.
PyObject* new_instance(PyTypeObject* type, std::unique_ptr<MappingTables> tables) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<MappingTablesObject*>(self)->tables = tables.release();
  return self;
}

void mapping_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<MappingTablesObject*>(self)->tables;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// The records of `self`, read from its embedded text on first use.
const RankedVocabulary* vocabulary_of(PyObject* self) {
  MappingTables& tables = tables_of(self);
  if (tables.vocabulary) return tables.vocabulary.get();
  const std::optional<std::string_view> text =
      TokenizerRegistry::find(tables.name);
  if (!text) {
    PyErr_SetString(PyExc_SystemError, "a built-in mapping lost its text");
    return nullptr;
  }
  std::optional<Result<RankedVocabulary>> read;
  {
    ReleasedLock released;
    read.emplace(read_ranked_text(*text));
  }
  if (!read->ok()) {
    raise_codec_error(read->error());
    return nullptr;
  }
  // Another thread may have read it meanwhile; the first stays.
  if (!tables.vocabulary) {
    tables.vocabulary = std::make_shared<const RankedVocabulary>(
        std::move(*read).value());
  }
  return tables.vocabulary.get();
}

bool check_vocabulary_size(size_t size, const char* what) {
  if (size == 0) {
    PyErr_Format(PyExc_ValueError, "%s: a mapping needs at least one token id",
                 what);
    return false;
  }
  if (size > kMaxVocabularySize) {
    PyErr_Format(PyExc_ValueError,
                 "%s: %zu token ids are more than a mapping holds (%zu)", what,
                 size, kMaxVocabularySize);
    return false;
  }
  return true;
}

// --- Constructors ---------------------------------------------------------

constexpr const char* kNameParam[] = {"name"};
constexpr Signature kNew{"MappingTables", "__new__", kNameParam, {}};

// A built-in mapping: the cached tables of `name`.
PyObject* mapping_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return run_guarded<PyObject*>(nullptr, OutOfMemory::kMemoryError,
                                [&]() -> PyObject* {
    std::array<PyObject*, kNew.parameter_count()> bound;
    if (!bind_arguments(kNew, args, kwargs, bound)) return nullptr;
    std::string_view name;
    if (!convert_text(bound[0], kNew.positional[0], &name)) return nullptr;
    Result<std::shared_ptr<const TokenMapping>> mapping = load_mapping(name);
    if (!mapping.ok()) return raise_codec_error(mapping.error());
    auto tables = std::make_unique<MappingTables>();
    tables->name = std::string(name);
    tables->built_in = true;
    tables->mapping = std::move(mapping).value();
    tables->size = tables->mapping->token_id_count();
    return new_instance(type, std::move(tables));
  });
}

constexpr const char* kBuildParams[] = {"name", "counts", "ranking", "texts",
                                        "text_ends"};
constexpr Signature kBuild{"MappingTables", "_build", kBuildParams, {}};

// Reads `object` (any integer buffer or sequence) as argument `name` into
// *out, each element in [0, limit].
bool convert_unsigned(PyObject* object, const char* name, uint64_t limit,
                      const char* range_text, PodBuffer<uint64_t>* out) {
  IntegerInput input;
  if (!input.convert(object, name, false)) return false;
  const IntegerLayout& layout = input.layout();
  PodBuffer<int64_t> values;
  values.resize(layout.count);
  ElementFault fault;
  const ElementRange range{range_text};
  if (!widen(layout, values.data(), &fault)) {
    input.raise_fault(fault, range);
    return false;
  }
  if (const std::optional<size_t> at = input.first_beyond()) {
    input.raise_fault(ElementFault{*at, true, uint64_t{1} << 63}, range);
    return false;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] < 0 || static_cast<uint64_t>(values[i]) > limit) {
      const bool negative = values[i] < 0;
      const uint64_t magnitude =
          negative ? 0 - static_cast<uint64_t>(values[i])
                   : static_cast<uint64_t>(values[i]);
      input.raise_fault(ElementFault{i, negative, magnitude}, range);
      return false;
    }
  }
  *out = std::move(values).take_as<uint64_t>();
  return true;
}

// The mapping of the given counts, ranked by them or by `ranking` (which
// must rank them), with each id's text from texts[text_ends[i-1] ..
// text_ends[i]) when texts are given (UTF-8; None for none).
PyObject* mapping_build(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  std::array<PyObject*, kBuild.parameter_count()> bound;
  if (!bind_arguments(kBuild, args, nargs, kwnames, bound)) return nullptr;
  std::string_view name;
  if (!convert_text(bound[0], "name", &name)) return nullptr;
  auto vocabulary = std::make_shared<RankedVocabulary>();
  if (!convert_unsigned(bound[1], "counts", uint64_t{INT64_MAX},
                        "the count range 0 to 9223372036854775807",
                        &vocabulary->counts) ||
      !check_vocabulary_size(vocabulary->counts.size(), "argument 'counts'")) {
    return nullptr;
  }
  const size_t n = vocabulary->counts.size();
  if (bound[2] != Py_None) {
    PodBuffer<uint64_t> ranking;
    if (!convert_unsigned(bound[2], "ranking", UINT32_MAX,
                          "the token id range 0 to 4294967295", &ranking)) {
      return nullptr;
    }
    vocabulary->ranking.resize(ranking.size());
    for (size_t p = 0; p < ranking.size(); ++p) {
      vocabulary->ranking[p] = static_cast<uint32_t>(ranking[p]);
    }
    size_t position = 0;
    if (std::optional<std::string> fault =
            check_ranking(vocabulary->ranking, vocabulary->counts, &position)) {
      PyErr_Format(PyExc_ValueError, "argument 'ranking': position %zu: %s",
                   position, fault->c_str());
      return nullptr;
    }
  }
  if (bound[3] != Py_None) {
    char* texts;
    Py_ssize_t texts_size;
    if (PyBytes_AsStringAndSize(bound[3], &texts, &texts_size) < 0) {
      return nullptr;
    }
    if (!convert_unsigned(bound[4], "text_ends",
                          static_cast<uint64_t>(texts_size),
                          "the size of argument 'texts'",
                          &vocabulary->text_ends)) {
      return nullptr;
    }
    const PodBuffer<uint64_t>& ends = vocabulary->text_ends;
    if (ends.size() != n) {
      PyErr_Format(PyExc_ValueError,
                   "%zu texts for a vocabulary of %zu token ids", ends.size(),
                   n);
      return nullptr;
    }
    for (size_t i = 1; i < n; ++i) {
      if (ends[i] < ends[i - 1]) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'text_ends': element %zu is before the one "
                     "preceding it",
                     i);
        return nullptr;
      }
    }
    if (ends[n - 1] != static_cast<uint64_t>(texts_size) ||
        ends[n - 1] > UINT32_MAX) {
      PyErr_Format(PyExc_ValueError,
                   "the texts are %zd bytes in all, where the most is "
                   "4294967295 and text_ends must end at their size",
                   texts_size);
      return nullptr;
    }
    vocabulary->texts.append(texts, static_cast<size_t>(texts_size));
  }
  auto tables = std::make_unique<MappingTables>();
  tables->name = std::string(name);
  tables->size = n;
  {
    ReleasedLock released;
    if (vocabulary->ranking.empty()) {
      vocabulary->ranking = rank_by_counts(vocabulary->counts);
    }
    tables->mapping = TokenMapping::from_vocabulary(*vocabulary);
  }
  tables->vocabulary = std::move(vocabulary);
  return new_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(tables));
}

constexpr const char* kFromTextParams[] = {"name", "text"};
constexpr Signature kFromText{"MappingTables", "_from_text", kFromTextParams,
                              {}};

// The mapping of a saved record text (bytes). A text that does not read,
// or breaks a rule of rankings, raises ValueError "line L[, column C]:
// description", L the line of the text.
PyObject* mapping_from_text(PyObject* cls, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kFromText.parameter_count()> bound;
  if (!bind_arguments(kFromText, args, nargs, kwnames, bound)) return nullptr;
  std::string_view name;
  if (!convert_text(bound[0], "name", &name)) return nullptr;
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bound[1], &data, &size) < 0) return nullptr;
  const std::string_view text(data, static_cast<size_t>(size));
  std::optional<Result<RankedVocabulary>> read;
  auto tables = std::make_unique<MappingTables>();
  {
    // The bytes object is immutable and held by the caller's argument.
    ReleasedLock released;
    read.emplace(read_ranked_text(text));
    if (read->ok()) {
      tables->mapping = TokenMapping::from_vocabulary(read->value());
    }
  }
  if (!read->ok()) {
    const CodecError& error = read->error();
    if (error.number() == 0) {
      PyErr_Format(PyExc_ValueError, "%s", error.text().c_str());
    } else if (error.column() == 0) {
      PyErr_Format(PyExc_ValueError, "line %lld: %s",
                   static_cast<long long>(error.number()),
                   error.text().c_str());
    } else {
      PyErr_Format(PyExc_ValueError, "line %lld, column %llu: %s",
                   static_cast<long long>(error.number()),
                   static_cast<unsigned long long>(error.column()),
                   error.text().c_str());
    }
    return nullptr;
  }
  tables->name = std::string(name);
  tables->size = read->value().size();
  tables->vocabulary =
      std::make_shared<const RankedVocabulary>(std::move(*read).value());
  return new_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(tables));
}

// --- Counting ---------------------------------------------------------------

constexpr const char* kCountParams[] = {"token_ids", "vocab_size"};
constexpr Signature kCount{"MappingTables", "_count", kCountParams, {}};

// array('Q') of how often each id 0..vocab_size-1 occurs in token_ids,
// counted without the interpreter lock.
PyObject* mapping_count(PyObject* /*cls*/, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, kCount.parameter_count()> bound;
  if (!bind_arguments(kCount, args, nargs, kwnames, bound)) return nullptr;
  IntegerInput ids;
  if (!ids.convert(bound[0], kCount.positional[0], false)) return nullptr;
  const size_t size = PyLong_AsSize_t(bound[1]);
  if (size == static_cast<size_t>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError,
                      "argument 'vocab_size': must be a positive int that "
                      "fits a mapping");
    }
    return nullptr;
  }
  if (!check_vocabulary_size(size, "argument 'vocab_size'")) return nullptr;
  PodBuffer<uint64_t> counts;
  ElementFault fault;
  bool counted;
  {
    ReleasedLock released;
    counts.assign_zeroed(size);
    counted = count_token_ids(ids.layout(), std::span(counts.data(), size),
                              &fault);
  }
  if (!counted) {
    const std::string range =
        "the vocabulary's token ids 0 to " + std::to_string(size - 1);
    ids.raise_fault(fault, ElementRange{range.c_str()});
    return nullptr;
  }
  return new_array("Q", counts.data(), size * sizeof(uint64_t));
}

// --- Members ----------------------------------------------------------------

constexpr Signature kRender{"MappingTables", "_render", {}, {}};

// The record text (bytes): a built-in mapping's embedded text itself.
PyObject* mapping_render(PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 0> bound;
  if (!bind_arguments(kRender, args, nargs, kwnames, bound)) return nullptr;
  MappingTables& tables = tables_of(self);
  if (tables.built_in) {
    const std::optional<std::string_view> text =
        TokenizerRegistry::find(tables.name);
    if (text) {
      return new_bytes(reinterpret_cast<const uint8_t*>(text->data()),
                       text->size());
    }
  }
  const RankedVocabulary* vocabulary = vocabulary_of(self);
  if (vocabulary == nullptr) return nullptr;
  std::string text;
  {
    ReleasedLock released;
    text = render_ranked_text(*vocabulary);
  }
  return new_bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

const Callable kMethods[] = {
    {&kBuild, "", as_cfunction(&callable_internal::guarded_call<
                                   mapping_build, OutOfMemory::kMemoryError>),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS},
    {&kFromText, "",
     as_cfunction(&callable_internal::guarded_call<mapping_from_text,
                                                   OutOfMemory::kMemoryError>),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS},
    {&kCount, "", as_cfunction(&callable_internal::guarded_call<
                                   mapping_count, OutOfMemory::kMemoryError>),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS},
    fast_call_row<mapping_render, OutOfMemory::kMemoryError>(kRender, ""),
};

PyObject* get_name(PyObject* self, void* /*closure*/) {
  const std::string& name = tables_of(self).name;
  return PyUnicode_FromStringAndSize(name.data(),
                                     static_cast<Py_ssize_t>(name.size()));
}

PyObject* get_built_in(PyObject* self, void* /*closure*/) {
  return PyBool_FromLong(tables_of(self).built_in);
}

// A getter of a value made from the records by kMake.
template <PyObject* (*kMake)(const RankedVocabulary&)>
PyObject* vocabulary_getter(PyObject* self, void* /*closure*/) {
  return run_guarded<PyObject*>(nullptr, OutOfMemory::kMemoryError,
                                [&]() -> PyObject* {
    const RankedVocabulary* vocabulary = vocabulary_of(self);
    return vocabulary == nullptr ? nullptr : kMake(*vocabulary);
  });
}

// array('Q') of each id's count.
PyObject* counts_of(const RankedVocabulary& vocabulary) {
  return new_array("Q", vocabulary.counts.data(),
                   vocabulary.counts.size() * sizeof(uint64_t));
}

// array('I') of the token ids by ranking position.
PyObject* ranking_of(const RankedVocabulary& vocabulary) {
  return new_array("I", vocabulary.ranking.data(),
                   vocabulary.ranking.size() * sizeof(uint32_t));
}

// (texts, text_ends) as given to _build, or None for a mapping without
// texts.
PyObject* texts_of(const RankedVocabulary& vocabulary) {
  if (!vocabulary.has_texts()) Py_RETURN_NONE;
  PyRef texts(new_bytes(reinterpret_cast<const uint8_t*>(vocabulary.texts.data()),
                        vocabulary.texts.size()));
  if (!texts) return nullptr;
  PyRef ends(new_array("Q", vocabulary.text_ends.data(),
                       vocabulary.text_ends.size() * sizeof(uint64_t)));
  if (!ends) return nullptr;
  return PyTuple_Pack(2, texts.get(), ends.get());
}

Py_ssize_t mapping_length(PyObject* self) {
  return static_cast<Py_ssize_t>(tables_of(self).size);
}

PyGetSetDef getsets[] = {
    {"name", get_name, nullptr, "The mapping's name.", nullptr},
    {"counts", vocabulary_getter<counts_of>, nullptr,
     "Each token id's count, as array('Q'), indexed by token id.", nullptr},
    {"_built_in", get_built_in, nullptr, nullptr, nullptr},
    {"_ranking", vocabulary_getter<ranking_of>, nullptr, nullptr, nullptr},
    {"_texts", vocabulary_getter<texts_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool codec_of_mapping(PyObject* object, std::optional<Codec>* out) {
  PyObject* type = module_state().mapping_tables_type;
  if (type == nullptr ||
      !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    return false;
  }
  const MappingTables& tables = tables_of(object);
  out->emplace(Codec::over(tables.name, tables.mapping));
  return true;
}

PyObject* mapping_tables_type() {
  ModuleState& state = module_state();
  if (state.mapping_tables_type == nullptr) {
    static PyMethodDef* const methods = method_table(kMethods);
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(
                        "MappingTables(name)\n--\n\nThe tables of one "
                        "mapping; see vonk.Mapping.")},
        {Py_tp_new, reinterpret_cast<void*>(mapping_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(mapping_dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getsets},
        {Py_sq_length, reinterpret_cast<void*>(mapping_length)},
        {0, nullptr},
    };
    // A base type: vonk.Mapping adds what is plain Python.
    PyType_Spec spec = {
        "vonk._arrays.MappingTables",
        static_cast<int>(sizeof(MappingTablesObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
        slots,
    };
    state.mapping_tables_type = PyType_FromSpec(&spec);
    if (state.mapping_tables_type == nullptr) return nullptr;
  }
  return Py_NewRef(state.mapping_tables_type);
}

}  // namespace vonk
