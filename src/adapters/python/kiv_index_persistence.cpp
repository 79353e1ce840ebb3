// KivIndex persistence: bytes and files in the binary index format.
#include "adapters/python/binding.h"
#include "adapters/python/errors.h"
#include "adapters/python/kiv_index_methods.h"

namespace orlo_kiv::python {
namespace {

PyObject* not_built(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  PyObject* bound[kMaxParameters];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  PyErr_SetString(PyExc_NotImplementedError, "persistence is not available yet");
  return nullptr;
}

}  // namespace

PyObject* kiv_index_save(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kSignature{"KivIndex.save()", {"path"}, 1};
  return not_built(kSignature, args, nargs, kwnames);
}

PyObject* kiv_index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kSignature{"KivIndex.load()", {"path"}, 1};
  return not_built(kSignature, args, nargs, kwnames);
}

PyObject* kiv_index_to_bytes(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "persistence is not available yet");
  return nullptr;
}

PyObject* kiv_index_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr Signature kSignature{"KivIndex.from_bytes()", {"data"}, 1};
  return not_built(kSignature, args, nargs, kwnames);
}

}  // namespace orlo_kiv::python
