// KivIndex maintenance: light and full consolidation runs. Each call runs a
// whole pass under an exclusive borrow and returns None; the run's report
// stays inside the core.
#include "adapters/index/consolidation.h"
#include "adapters/python/errors.h"
#include "adapters/python/kiv_index_methods.h"

namespace orlo_kiv::python {
namespace {

PyObject* consolidate_with(PyObject* self, const ConsolidationConfig& config) {
  return guarded([&]() -> PyObject* {
    const IndexCall call = IndexCall::exclusive(self);
    if (!call) return nullptr;
    run_consolidation(call.index(), config);
    return Py_NewRef(Py_None);
  });
}

}  // namespace

PyObject* kiv_index_consolidate(PyObject* self, PyObject*) {
  return consolidate_with(self, ConsolidationConfig::light());
}

PyObject* kiv_index_consolidate_full(PyObject* self, PyObject*) {
  return consolidate_with(self, ConsolidationConfig::full());
}

}  // namespace orlo_kiv::python
