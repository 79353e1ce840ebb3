// KivIndex queries: beam search and the scoped queries.
#include "adapters/python/binding.h"
#include "adapters/python/errors.h"
#include "adapters/python/kiv_index_methods.h"

namespace orlo_kiv::python {
namespace {

PyObject* not_built(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  PyObject* bound[kMaxParameters];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  PyErr_SetString(PyExc_NotImplementedError, "queries are not available yet");
  return nullptr;
}

}  // namespace

PyObject* kiv_index_near(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kSignature{"KivIndex.near()", {"query", "k"}, 2};
  return not_built(kSignature, args, nargs, kwnames);
}

PyObject* kiv_index_near_sessions(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static constexpr Signature kSignature{"KivIndex.near_sessions()", {"query", "k"}, 2};
  return not_built(kSignature, args, nargs, kwnames);
}

PyObject* kiv_index_near_documents(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static constexpr Signature kSignature{
      "KivIndex.near_documents()", {"session_id", "query", "k"}, 3};
  return not_built(kSignature, args, nargs, kwnames);
}

PyObject* kiv_index_near_in_document(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr Signature kSignature{"KivIndex.near_in_document()", {"doc_id", "query", "k"}, 3};
  return not_built(kSignature, args, nargs, kwnames);
}

}  // namespace orlo_kiv::python
