// The snapshot classes returned by statistics and queries: KivStats,
// SearchResult, SessionSummary and DocumentSummary. Their attributes are
// read-only; each read converts the stored value into a new Python object.
#include <string>

#include "adapters/python/errors.h"
#include "adapters/python/number_format.h"
#include "adapters/python/types.h"

namespace orlo_kiv::python {
namespace {

PyObject* to_python(const Id& id) noexcept { return new_hex_string(id); }
PyObject* to_python(float value) noexcept { return PyFloat_FromDouble(value); }
PyObject* to_python(std::uint64_t value) noexcept { return PyLong_FromUnsignedLongLong(value); }

template <class Record, auto Field>
PyObject* get_field(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    auto* object = as_value_object<Record>(self);
    const Borrow borrow = Borrow::shared(*object);
    if (!borrow) return nullptr;
    return to_python(object->value.*Field);
  });
}

// Renders the record under a shared borrow with `text_of`.
template <class Record, class TextOf>
PyObject* render(PyObject* self, TextOf text_of) noexcept {
  return guarded([&]() -> PyObject* {
    auto* object = as_value_object<Record>(self);
    const Borrow borrow = Borrow::shared(*object);
    if (!borrow) return nullptr;
    const std::string text = text_of(object->value);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

std::string score_text(float score) { return format_fixed(score, 4); }

template <class Record>
PyObject* new_list(PyTypeObject* (*type_of)() noexcept, std::span<const Record> records) noexcept {
  PyTypeObject* type = type_of();
  if (type == nullptr) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* item = new_value_object(type, Record(records[i]));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// --- KivStats ------------------------------------------------------------------

PyObject* kiv_stats_repr(PyObject* self) noexcept {
  return render<KivStats>(self, [](const KivStats& s) {
    return "KivStats(points=" + std::to_string(s.chunk_count) +
           ", sessions=" + std::to_string(s.session_count) +
           ", documents=" + std::to_string(s.document_count) +
           ", chunks=" + std::to_string(s.chunk_count) + ")";
  });
}

PyGetSetDef kKivStatsGetters[] = {
    {"global_count", get_field<KivStats, &KivStats::global_count>, nullptr, "", nullptr},
    {"session_count", get_field<KivStats, &KivStats::session_count>, nullptr, "", nullptr},
    {"document_count", get_field<KivStats, &KivStats::document_count>, nullptr, "", nullptr},
    {"chunk_count", get_field<KivStats, &KivStats::chunk_count>, nullptr, "", nullptr},
    {"total_points", get_field<KivStats, &KivStats::chunk_count>, nullptr,
     "Total number of indexed points", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kKivStatsSlots[] = {
    {Py_tp_doc, const_cast<char*>("Index statistics")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<KivStats>)},
    {Py_tp_repr, reinterpret_cast<void*>(kiv_stats_repr)},
    {Py_tp_getset, kKivStatsGetters},
    {0, nullptr},
};

PyType_Spec kKivStatsSpec = {
    .name = "builtins.KivStats",
    .basicsize = static_cast<int>(sizeof(ValueObject<KivStats>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kKivStatsSlots,
};

// --- SearchResult --------------------------------------------------------------

PyObject* search_result_repr(PyObject* self) noexcept {
  return render<SearchHit>(self, [](const SearchHit& r) {
    return "SearchResult(id='" + to_hex(r.id) + "', score=" + score_text(r.score) + ")";
  });
}

PyObject* search_result_str(PyObject* self) noexcept {
  return render<SearchHit>(
      self, [](const SearchHit& r) { return to_hex(r.id) + ": " + score_text(r.score); });
}

PyGetSetDef kSearchResultGetters[] = {
    {"id", get_field<SearchHit, &SearchHit::id>, nullptr, "The ID as a hex string", nullptr},
    {"score", get_field<SearchHit, &SearchHit::score>, nullptr, "The similarity/distance score",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSearchResultSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for search results")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<SearchHit>)},
    {Py_tp_repr, reinterpret_cast<void*>(search_result_repr)},
    {Py_tp_str, reinterpret_cast<void*>(search_result_str)},
    {Py_tp_getset, kSearchResultGetters},
    {0, nullptr},
};

PyType_Spec kSearchResultSpec = {
    .name = "builtins.SearchResult",
    .basicsize = static_cast<int>(sizeof(ValueObject<SearchHit>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSearchResultSlots,
};

// --- SessionSummary ------------------------------------------------------------

PyObject* session_summary_repr(PyObject* self) noexcept {
  return render<SessionHit>(self, [](const SessionHit& s) {
    return "SessionSummary(id='" + to_hex(s.id) + "', score=" + score_text(s.score) +
           ", chunks=" + std::to_string(s.chunk_count) + ")";
  });
}

PyGetSetDef kSessionSummaryGetters[] = {
    {"id", get_field<SessionHit, &SessionHit::id>, nullptr, "", nullptr},
    {"score", get_field<SessionHit, &SessionHit::score>, nullptr, "", nullptr},
    {"chunk_count", get_field<SessionHit, &SessionHit::chunk_count>, nullptr, "", nullptr},
    {"timestamp_ms", get_field<SessionHit, &SessionHit::timestamp_ms>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSessionSummarySlots[] = {
    {Py_tp_doc, const_cast<char*>("Session summary for coarse-grained retrieval")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<SessionHit>)},
    {Py_tp_repr, reinterpret_cast<void*>(session_summary_repr)},
    {Py_tp_getset, kSessionSummaryGetters},
    {0, nullptr},
};

PyType_Spec kSessionSummarySpec = {
    .name = "builtins.SessionSummary",
    .basicsize = static_cast<int>(sizeof(ValueObject<SessionHit>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSessionSummarySlots,
};

// --- DocumentSummary -----------------------------------------------------------

PyObject* document_summary_repr(PyObject* self) noexcept {
  return render<DocumentHit>(self, [](const DocumentHit& d) {
    return "DocumentSummary(id='" + to_hex(d.id) + "', score=" + score_text(d.score) +
           ", chunks=" + std::to_string(d.chunk_count) + ")";
  });
}

PyGetSetDef kDocumentSummaryGetters[] = {
    {"id", get_field<DocumentHit, &DocumentHit::id>, nullptr, "", nullptr},
    {"score", get_field<DocumentHit, &DocumentHit::score>, nullptr, "", nullptr},
    {"chunk_count", get_field<DocumentHit, &DocumentHit::chunk_count>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kDocumentSummarySlots[] = {
    {Py_tp_doc, const_cast<char*>("Document summary for mid-level retrieval")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value_object<DocumentHit>)},
    {Py_tp_repr, reinterpret_cast<void*>(document_summary_repr)},
    {Py_tp_getset, kDocumentSummaryGetters},
    {0, nullptr},
};

PyType_Spec kDocumentSummarySpec = {
    .name = "builtins.DocumentSummary",
    .basicsize = static_cast<int>(sizeof(ValueObject<DocumentHit>)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kDocumentSummarySlots,
};

}  // namespace

PyTypeObject* kiv_stats_type() noexcept {
  static ProcessLifetimeRef type;
  return cached_type(type, kKivStatsSpec);
}

PyTypeObject* search_result_type() noexcept {
  static ProcessLifetimeRef type;
  return cached_type(type, kSearchResultSpec);
}

PyTypeObject* session_summary_type() noexcept {
  static ProcessLifetimeRef type;
  return cached_type(type, kSessionSummarySpec);
}

PyTypeObject* document_summary_type() noexcept {
  static ProcessLifetimeRef type;
  return cached_type(type, kDocumentSummarySpec);
}

PyObject* new_kiv_stats(const KivStats& stats) noexcept {
  PyTypeObject* type = kiv_stats_type();
  if (type == nullptr) return nullptr;
  return new_value_object(type, KivStats(stats));
}

PyObject* new_search_result_list(std::span<const SearchHit> hits) noexcept {
  return new_list(search_result_type, hits);
}

PyObject* new_session_summary_list(std::span<const SessionHit> hits) noexcept {
  return new_list(session_summary_type, hits);
}

PyObject* new_document_summary_list(std::span<const DocumentHit> hits) noexcept {
  return new_list(document_summary_type, hits);
}

}  // namespace orlo_kiv::python
