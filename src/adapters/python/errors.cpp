#include "adapters/python/errors.h"

#include <string>

#include "adapters/index/core_error.h"
#include "adapters/index/persistence_error.h"
#include "core/id.h"

namespace orlo_kiv::python {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the native code of orlo_kiv panics.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it\n"
    "typically propagates all the way up the stack and ends the interpreter,\n"
    "instead of being caught by ordinary `except Exception:` handlers.";

}  // namespace

PyRef fetch_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef traceback_ref = PyRef::steal(traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  return PyRef::steal(value);
#endif
}

void restore_raised_exception(PyRef exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  if (value == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void raise_with_text(PyObject* type, PyRef text) noexcept {
  if (!text) return;
  PyRef exception = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception) return;
  restore_raised_exception(std::move(exception));
}

void raise_with_message(PyObject* type, std::string_view message) noexcept {
  raise_with_text(type, PyRef::steal(PyUnicode_DecodeUTF8(
                            message.data(), static_cast<Py_ssize_t>(message.size()), "replace")));
}

void raise_core_error(const CoreError& error) noexcept {
  try {
    raise_with_message(PyExc_ValueError, to_string(error));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

void raise_id_parse_error(const IdParseError& error) noexcept {
  try {
    raise_with_message(PyExc_ValueError, to_string(error));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

void raise_persist_error(const PersistError& error) noexcept {
  // An interruption that a signal handler turned into an exception: that
  // exception is the report.
  if (error.kind == PersistError::Kind::Interrupted && PyErr_Occurred() != nullptr) return;
  try {
    raise_with_message(PyExc_OSError, to_string(error));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

PyObject* panic_exception_type() noexcept {
  static ProcessLifetimeRef type;
  if (!type) {
    PyRef created = PyRef::steal(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                           PyExc_BaseException, nullptr));
    if (!created) return nullptr;
    type.keep(std::move(created));
  }
  return type.get();
}

void raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the failure to create the class is raised instead
  raise_with_message(type, message);
}

}  // namespace orlo_kiv::python
