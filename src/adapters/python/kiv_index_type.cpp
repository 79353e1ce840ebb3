// The KivIndex class: its type object and method table, construction,
// insertion, boundaries, removal and size.
#include <string>

#include "adapters/python/binding.h"
#include "adapters/python/convert.h"
#include "adapters/python/errors.h"
#include "adapters/python/kiv_index_methods.h"
#include "adapters/python/method_def.h"

namespace orlo_kiv::python {
namespace {

constexpr const char kKivIndexDoc[] =
    "Kiv Index\n\n"
    "A semantic memory index optimized for conversation history retrieval.\n"
    "Uses hierarchical structure (session -> document -> chunk) to enable\n"
    "O(log n) queries while maintaining high recall.";

constexpr const char kCosineDoc[] =
    "cosine(dimensionality)\n--\n\n"
    "Create a new KIV index with cosine similarity\n\n"
    "Args:\n"
    "    dimensionality: Number of embedding dimensions (e.g., 1536 for OpenAI)";
constexpr const char kWithConfigDoc[] =
    "with_config(dimensionality, config)\n--\n\n"
    "Create a new KIV index with custom configuration\n\n"
    "Args:\n"
    "    dimensionality: Number of embedding dimensions\n"
    "    config: KivConfig instance";
constexpr const char kAddDoc[] =
    "add($self, embedding)\n--\n\n"
    "Add an embedding to the index\n\n"
    "Args:\n"
    "    embedding: List of floats (must match dimensionality)\n\n"
    "Returns:\n"
    "    str: The generated ID as a hex string";
constexpr const char kAddWithIdDoc[] =
    "add_with_id($self, id_hex, embedding)\n--\n\n"
    "Add an embedding with a custom ID\n\n"
    "Args:\n"
    "    id_hex: 32-character hex string for the ID\n"
    "    embedding: List of floats (must match dimensionality)";
constexpr const char kNearDoc[] =
    "near($self, query, k)\n--\n\n"
    "Find k nearest neighbors to a query embedding\n\n"
    "Args:\n"
    "    query: Query embedding (list of floats)\n"
    "    k: Number of results to return\n\n"
    "Returns:\n"
    "    List[SearchResult]: Results sorted by relevance (best first)";
constexpr const char kNewSessionDoc[] =
    "new_session($self)\n--\n\n"
    "Start a new session (conversation boundary)\n\n"
    "Call this when starting a new conversation or context.";
constexpr const char kNewDocumentDoc[] =
    "new_document($self)\n--\n\n"
    "Start a new document within the current session\n\n"
    "Call this for logical groupings within a conversation\n"
    "(e.g., topic change, user turn).";
constexpr const char kStatsDoc[] = "stats($self)\n--\n\nGet index statistics";
constexpr const char kIsEmptyDoc[] = "is_empty($self)\n--\n\nCheck if the index is empty";
constexpr const char kRemoveDoc[] =
    "remove($self, id_hex)\n--\n\n"
    "Remove a point by ID\n\n"
    "Args:\n"
    "    id_hex: 32-character hex string for the ID";
constexpr const char kNearSessionsDoc[] =
    "near_sessions($self, query, k)\n--\n\n"
    "Find similar sessions (coarse-grained search)\n\n"
    "Args:\n"
    "    query: Query embedding\n"
    "    k: Number of sessions to return\n\n"
    "Returns:\n"
    "    List[SessionSummary]: Most relevant sessions";
constexpr const char kNearDocumentsDoc[] =
    "near_documents($self, session_id, query, k)\n--\n\n"
    "Find similar documents within a session\n\n"
    "Args:\n"
    "    session_id: Session ID (hex string)\n"
    "    query: Query embedding\n"
    "    k: Number of documents to return\n\n"
    "Returns:\n"
    "    List[DocumentSummary]: Most relevant documents in the session";
constexpr const char kNearInDocumentDoc[] =
    "near_in_document($self, doc_id, query, k)\n--\n\n"
    "Find chunks within a specific document\n\n"
    "Args:\n"
    "    doc_id: Document ID (hex string)\n"
    "    query: Query embedding\n"
    "    k: Number of results to return\n\n"
    "Returns:\n"
    "    List[SearchResult]: Most relevant chunks in the document";
constexpr const char kConsolidateDoc[] =
    "consolidate($self)\n--\n\n"
    "Run light consolidation (background maintenance)\n\n"
    "This optimizes the index structure. Call periodically\n"
    "(e.g., after every 100 inserts).";
constexpr const char kConsolidateFullDoc[] =
    "consolidate_full($self)\n--\n\n"
    "Run full consolidation (more thorough optimization)";
constexpr const char kSaveDoc[] =
    "save($self, path)\n--\n\n"
    "Save the index to a file\n\n"
    "Args:\n"
    "    path: File path to save to";
constexpr const char kLoadDoc[] =
    "load(path)\n--\n\n"
    "Load an index from a file\n\n"
    "Args:\n"
    "    path: File path to load from\n\n"
    "Returns:\n"
    "    KivIndex: The loaded index";
constexpr const char kToBytesDoc[] =
    "to_bytes($self)\n--\n\n"
    "Serialize the index to bytes\n\n"
    "Returns:\n"
    "    bytes: Serialized index data";
constexpr const char kFromBytesDoc[] =
    "from_bytes(data)\n--\n\n"
    "Load an index from bytes\n\n"
    "Args:\n"
    "    data: Serialized index data\n\n"
    "Returns:\n"
    "    KivIndex: The loaded index";

PyObject* none() noexcept { return Py_NewRef(Py_None); }

Py_ssize_t kiv_index_length(PyObject* self) noexcept {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    const IndexCall call = IndexCall::shared(self);
    if (!call) return -1;
    const std::uint64_t count = call.index().chunk_count();
    if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
      return -1;
    }
    return static_cast<Py_ssize_t>(count);
  });
}

PyObject* kiv_index_repr(PyObject* self) noexcept {
  return guarded([&]() -> PyObject* {
    const IndexCall call = IndexCall::shared(self);
    if (!call) return nullptr;
    const KivStats stats = call.index().stats();
    const std::string text = "KivIndex(points=" + std::to_string(stats.chunk_count) +
                             ", sessions=" + std::to_string(stats.session_count) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyMethodDef kKivIndexMethods[] = {
    {"cosine", as_cfunction(kiv_index_cosine), kStaticFastcall, kCosineDoc},
    {"with_config", as_cfunction(kiv_index_with_config), kStaticFastcall, kWithConfigDoc},
    {"add", as_cfunction(kiv_index_add), kFastcall, kAddDoc},
    {"add_with_id", as_cfunction(kiv_index_add_with_id), kFastcall, kAddWithIdDoc},
    {"near", as_cfunction(kiv_index_near), kFastcall, kNearDoc},
    {"new_session", as_cfunction(kiv_index_new_session), METH_NOARGS, kNewSessionDoc},
    {"new_document", as_cfunction(kiv_index_new_document), METH_NOARGS, kNewDocumentDoc},
    {"stats", as_cfunction(kiv_index_stats), METH_NOARGS, kStatsDoc},
    {"is_empty", as_cfunction(kiv_index_is_empty), METH_NOARGS, kIsEmptyDoc},
    {"remove", as_cfunction(kiv_index_remove), kFastcall, kRemoveDoc},
    {"near_sessions", as_cfunction(kiv_index_near_sessions), kFastcall, kNearSessionsDoc},
    {"near_documents", as_cfunction(kiv_index_near_documents), kFastcall, kNearDocumentsDoc},
    {"near_in_document", as_cfunction(kiv_index_near_in_document), kFastcall, kNearInDocumentDoc},
    {"consolidate", as_cfunction(kiv_index_consolidate), METH_NOARGS, kConsolidateDoc},
    {"consolidate_full", as_cfunction(kiv_index_consolidate_full), METH_NOARGS,
     kConsolidateFullDoc},
    {"save", as_cfunction(kiv_index_save), kFastcall, kSaveDoc},
    {"load", as_cfunction(kiv_index_load), kStaticFastcall, kLoadDoc},
    {"to_bytes", as_cfunction(kiv_index_to_bytes), METH_NOARGS, kToBytesDoc},
    {"from_bytes", as_cfunction(kiv_index_from_bytes), kStaticFastcall, kFromBytesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kKivIndexSlots[] = {
    {Py_tp_doc, const_cast<char*>(kKivIndexDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<KivIndex>)},
    {Py_tp_repr, reinterpret_cast<void*>(kiv_index_repr)},
    {Py_mp_length, reinterpret_cast<void*>(kiv_index_length)},
    {Py_tp_methods, kKivIndexMethods},
    {0, nullptr},
};

PyType_Spec kKivIndexSpec = {
    .name = "builtins.KivIndex",
    .basicsize = static_cast<int>(sizeof(KivIndexObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kKivIndexSlots,
};

}  // namespace

PyTypeObject* kiv_index_type() noexcept {
  static ProcessLifetimeRef type;
  return cached_type(type, kKivIndexSpec);
}

PyObject* new_kiv_index(KivIndex index) noexcept {
  PyTypeObject* type = kiv_index_type();
  if (type == nullptr) return nullptr;
  return new_value_object(type, std::move(index));
}

IndexCall IndexCall::shared(PyObject* self) noexcept {
  IndexCall call;
  PyTypeObject* type = kiv_index_type();
  if (type == nullptr || checked_receiver(self, type, "KivIndex") == nullptr) return call;
  auto* object = as_value_object<KivIndex>(self);
  call.borrow_ = Borrow::shared(*object);
  if (call.borrow_) call.index_ = &object->value;
  return call;
}

IndexCall IndexCall::exclusive(PyObject* self) noexcept {
  IndexCall call;
  PyTypeObject* type = kiv_index_type();
  if (type == nullptr || checked_receiver(self, type, "KivIndex") == nullptr) return call;
  auto* object = as_value_object<KivIndex>(self);
  call.borrow_ = Borrow::exclusive(*object);
  if (call.borrow_) call.index_ = &object->value;
  return call;
}

PyObject* kiv_index_cosine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivIndex.cosine()", {"dimensionality"}, 1};
    PyObject* bound[1];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::uint64_t dimensionality = 0;
    if (!to_u64(bound[0], "dimensionality", dimensionality)) return nullptr;
    return new_kiv_index(KivIndex::cosine(dimensionality));
  });
}

PyObject* kiv_index_with_config(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{
        "KivIndex.with_config()", {"dimensionality", "config"}, 2};
    PyObject* bound[2];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::uint64_t dimensionality = 0;
    if (!to_u64(bound[0], "dimensionality", dimensionality)) return nullptr;
    PyTypeObject* config_type = kiv_config_type();
    if (config_type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(bound[1], config_type)) {
      raise_cannot_convert(bound[1], "KivConfig");
      prefix_argument_error("config");
      return nullptr;
    }
    auto* config = as_value_object<KivConfig>(bound[1]);
    const Borrow borrow = Borrow::shared(*config);
    if (!borrow) return nullptr;
    return new_kiv_index(KivIndex::with_config(dimensionality, config->value));
  });
}

PyObject* kiv_index_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivIndex.add()", {"embedding"}, 1};
    PyObject* bound[1];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const IndexCall call = IndexCall::exclusive(self);
    if (!call) return nullptr;
    std::vector<float> embedding;
    if (!to_float_vector(bound[0], "embedding", embedding)) return nullptr;
    // A generated id that a caller's chunk already holds would replace it.
    const Id id = call.index().unused_id();
    const auto inserted = call.index().insert(id, std::move(embedding));
    if (!inserted) {
      raise_core_error(inserted.error());
      return nullptr;
    }
    return new_hex_string(id);
  });
}

PyObject* kiv_index_add_with_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivIndex.add_with_id()", {"id_hex", "embedding"}, 2};
    PyObject* bound[2];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const IndexCall call = IndexCall::exclusive(self);
    if (!call) return nullptr;
    std::string_view id_hex;
    if (!to_text(bound[0], "id_hex", id_hex)) return nullptr;
    std::vector<float> embedding;
    if (!to_float_vector(bound[1], "embedding", embedding)) return nullptr;
    Id id;
    if (!to_id(id_hex, id)) return nullptr;
    const auto inserted = call.index().insert(id, std::move(embedding));
    if (!inserted) {
      raise_core_error(inserted.error());
      return nullptr;
    }
    return none();
  });
}

PyObject* kiv_index_new_session(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const IndexCall call = IndexCall::exclusive(self);
    if (!call) return nullptr;
    call.index().new_session();
    return none();
  });
}

PyObject* kiv_index_new_document(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const IndexCall call = IndexCall::exclusive(self);
    if (!call) return nullptr;
    call.index().new_document();
    return none();
  });
}

PyObject* kiv_index_stats(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const IndexCall call = IndexCall::shared(self);
    if (!call) return nullptr;
    return new_kiv_stats(call.index().stats());
  });
}

PyObject* kiv_index_is_empty(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const IndexCall call = IndexCall::shared(self);
    if (!call) return nullptr;
    return PyBool_FromLong(call.index().is_empty() ? 1 : 0);
  });
}

PyObject* kiv_index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivIndex.remove()", {"id_hex"}, 1};
    PyObject* bound[1];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const IndexCall call = IndexCall::exclusive(self);
    if (!call) return nullptr;
    std::string_view id_hex;
    if (!to_text(bound[0], "id_hex", id_hex)) return nullptr;
    Id id;
    if (!to_id(id_hex, id)) return nullptr;
    call.index().remove(id);
    return none();
  });
}

}  // namespace orlo_kiv::python
