// KivIndex maintenance: light and full consolidation runs.
#include "adapters/python/errors.h"
#include "adapters/python/kiv_index_methods.h"

namespace orlo_kiv::python {

PyObject* kiv_index_consolidate(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "consolidation is not available yet");
  return nullptr;
}

PyObject* kiv_index_consolidate_full(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "consolidation is not available yet");
  return nullptr;
}

}  // namespace orlo_kiv::python
