// Module initialisation: the entry point the interpreter calls at import.
//
// The module keeps process-wide state (type objects, the identifier counter),
// so it serves only the first interpreter that imports it and refuses others.
// A repeated import in that interpreter gets the same module object back.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "adapters/python/errors.h"
#include "adapters/python/types.h"
#include "core/kernels.h"

namespace orlo_kiv::python {
namespace {

constexpr const char kModuleDoc[] = "ORLO-KIV: Kiv for AI memory retrieval";
constexpr const char kVersion[] = "0.1.0";
// Callers can tell this refusal from other import errors only by its text, so
// the text is a fixed part of the module's interface, which
// tests/python/test_module.py checks. Keep every word up to "see " exactly as
// it is, however foreign it reads in this module; only the link may change.
constexpr const char kSubinterpreterMessage[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/PyO3/pyo3/issues/576";

// m_size 0 (not -1) makes the interpreter call the entry point again on every
// import elsewhere, so the interpreter check below always runs.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "orlo_kiv", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
ProcessLifetimeRef module_object;

// Adds `value` as attribute `name` and appends the name to __all__.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  PyRef all_ref = PyRef::steal(all);
  if (!all_ref) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all_ref = PyRef::steal(PyList_New(0));
    if (!all_ref || PyModule_AddObjectRef(module, "__all__", all_ref.get()) < 0) return false;
  }
  PyRef name_text = PyRef::steal(PyUnicode_FromString(name));
  if (!name_text || PyList_Append(all_ref.get(), name_text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
  return type != nullptr && add_exported(module, name, reinterpret_cast<PyObject*>(type));
}

bool add_text(PyObject* module, const char* name, const char* text) {
  PyRef value = PyRef::steal(PyUnicode_FromString(text));
  return value && add_exported(module, name, value.get());
}

bool claim_interpreter() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return false;
  }
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    raise_with_message(PyExc_ImportError, kSubinterpreterMessage);
    return false;
  }
  return true;
}

PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  PyObject* m = module.get();
  const bool added = add_type(m, "KivIndex", kiv_index_type()) &&
                     add_type(m, "KivConfig", kiv_config_type()) &&
                     add_type(m, "SearchResult", search_result_type()) &&
                     add_type(m, "SessionSummary", session_summary_type()) &&
                     add_type(m, "DocumentSummary", document_summary_type()) &&
                     add_type(m, "KivStats", kiv_stats_type()) &&
                     add_text(m, "__doc__", kModuleDoc) && add_text(m, "__version__", kVersion);
  if (!added) return nullptr;
  module_object.keep(PyRef::borrow(m));
  return module.release();
}

// ORLO_KIV_PORTABLE_KERNELS=1 in the environment at import makes the process
// run the portable vector kernels instead of the widest its processor offers.
// No kernel has run before the module is first created, so the request holds.
void choose_kernels() {
  const char* portable = std::getenv("ORLO_KIV_PORTABLE_KERNELS");
  if (portable != nullptr && std::string_view(portable) == "1") kernels::request_portable_kernels();
}

PyObject* init_module() {
  if (!claim_interpreter()) return nullptr;
  if (module_object) return Py_NewRef(module_object.get());
  choose_kernels();
  return create_module();
}

}  // namespace
}  // namespace orlo_kiv::python

PyMODINIT_FUNC PyInit_orlo_kiv() {
  return orlo_kiv::python::guarded([] { return orlo_kiv::python::init_module(); });
}
