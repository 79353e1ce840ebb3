// KivIndex queries: the beam search over the whole tree and the three queries
// scoped to the root, a session or a document. Each holds a shared borrow of
// the index for the whole call, so other reads may run from inside an argument
// conversion but changes may not.
#include "adapters/python/binding.h"
#include "adapters/python/convert.h"
#include "adapters/python/errors.h"
#include "adapters/python/kiv_index_methods.h"

namespace orlo_kiv::python {
namespace {

// The hits of a query as a list of result objects, or its error raised.
template <class Hits, class MakeList>
PyObject* to_result_list(const Hits& hits, MakeList make_list) noexcept {
  if (!hits) {
    raise_core_error(hits.error());
    return nullptr;
  }
  return make_list(*hits);
}

// Shared body of near and near_sessions: a query and a count.
template <class Query, class MakeList>
PyObject* tree_query(const Signature& signature, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Query query_of, MakeList make_list) {
  PyObject* bound[2];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  const IndexCall call = IndexCall::shared(self);
  if (!call) return nullptr;
  std::vector<float> query;
  if (!to_float_vector(bound[0], "query", query)) return nullptr;
  std::uint64_t k = 0;
  if (!to_u64(bound[1], "k", k)) return nullptr;
  return to_result_list(query_of(call.index(), query, k), make_list);
}

// Shared body of near_documents and near_in_document: an id, a query and a count.
template <class Query, class MakeList>
PyObject* scoped_query(const Signature& signature, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Query query_of, MakeList make_list) {
  PyObject* bound[3];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  const IndexCall call = IndexCall::shared(self);
  if (!call) return nullptr;
  std::string_view id_hex;
  if (!to_text(bound[0], signature.parameters[0], id_hex)) return nullptr;
  std::vector<float> query;
  if (!to_float_vector(bound[1], "query", query)) return nullptr;
  std::uint64_t k = 0;
  if (!to_u64(bound[2], "k", k)) return nullptr;
  Id id;
  if (!to_id(id_hex, id)) return nullptr;
  return to_result_list(query_of(call.index(), id, query, k), make_list);
}

}  // namespace

PyObject* kiv_index_near(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivIndex.near()", {"query", "k"}, 2};
    return tree_query(
        kSignature, self, args, nargs, kwnames,
        [](const KivIndex& index, const std::vector<float>& query, std::uint64_t k) {
          return index.near(query, k);
        },
        [](const std::vector<SearchHit>& hits) { return new_search_result_list(hits); });
  });
}

PyObject* kiv_index_near_sessions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivIndex.near_sessions()", {"query", "k"}, 2};
    return tree_query(
        kSignature, self, args, nargs, kwnames,
        [](const KivIndex& index, const std::vector<float>& query, std::uint64_t k) {
          return index.near_sessions(query, k);
        },
        [](const std::vector<SessionHit>& hits) { return new_session_summary_list(hits); });
  });
}

PyObject* kiv_index_near_documents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{
        "KivIndex.near_documents()", {"session_id", "query", "k"}, 3};
    return scoped_query(
        kSignature, self, args, nargs, kwnames,
        [](const KivIndex& index, const Id& id, const std::vector<float>& query, std::uint64_t k) {
          return index.near_documents(id, query, k);
        },
        [](const std::vector<DocumentHit>& hits) { return new_document_summary_list(hits); });
  });
}

PyObject* kiv_index_near_in_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{
        "KivIndex.near_in_document()", {"doc_id", "query", "k"}, 3};
    return scoped_query(
        kSignature, self, args, nargs, kwnames,
        [](const KivIndex& index, const Id& id, const std::vector<float>& query, std::uint64_t k) {
          return index.near_in_document(id, query, k);
        },
        [](const std::vector<SearchHit>& hits) { return new_search_result_list(hits); });
  });
}

}  // namespace orlo_kiv::python
