// The one place where failures become Python exceptions.
//
// Core errors arrive as values and are raised with their display text as the
// only argument: CoreError and id parsing as ValueError, PersistError as OSError. C++ exceptions
// never cross into the interpreter: every entry point runs its body through `guarded`, which turns
// an internal error into PanicException and an allocation failure into MemoryError.
#pragma once

#include <new>
#include <string_view>

#include "adapters/python/py_ref.h"
#include "core/internal_error.h"

namespace orlo_kiv {
struct CoreError;
struct IdParseError;
struct PersistError;
}  // namespace orlo_kiv

namespace orlo_kiv::python {

// Takes the raised exception out of the error indicator (null when none).
PyRef fetch_raised_exception() noexcept;
// Makes `exception` the raised exception.
void restore_raised_exception(PyRef exception) noexcept;

// Raises `type(message)`, created with exactly one argument and no context.
void raise_with_message(PyObject* type, std::string_view message) noexcept;
// The same with a ready str (null: the failure that produced it stays raised).
void raise_with_text(PyObject* type, PyRef text) noexcept;

void raise_core_error(const CoreError& error) noexcept;
void raise_id_parse_error(const IdParseError& error) noexcept;
// Persistence failures are raised as OSError with their display text only, so
// errno, strerror and filename stay None. An interruption whose signal handler
// already raised keeps that exception instead.
void raise_persist_error(const PersistError& error) noexcept;

// Raises the module's PanicException (a BaseException, not an Exception).
void raise_panic(std::string_view message) noexcept;

// The class "pyo3_runtime.PanicException", created on first use.
PyObject* panic_exception_type() noexcept;

// Runs `body`, which returns a result with a Python exception set on failure,
// and maps any C++ exception escaping it to a Python exception.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const InternalError& error) {
    raise_panic(error.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unknown internal error");
  }
  return failure;
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded<PyObject*>(nullptr, std::forward<Body>(body));
}

}  // namespace orlo_kiv::python
