// KivIndex persistence: bytes and files in the binary index format. `save`
// and `to_bytes` hold a shared borrow; `load` and `from_bytes` are static and
// build a new index with the default configuration. A signal that interrupts
// `save` or `load` while they wait on a file (a FIFO without its other end)
// runs its Python handler, and an exception the handler raises ends the call.
#include "adapters/index/persistence.h"
#include "adapters/python/binding.h"
#include "adapters/python/convert.h"
#include "adapters/python/errors.h"
#include "adapters/python/kiv_index_methods.h"

namespace orlo_kiv::python {
namespace {

// The interruption check of file input and output: runs the interpreter's
// signal handlers, and stops the operation when one of them raised (Ctrl-C
// raises KeyboardInterrupt), leaving that exception pending.
bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

// The loaded index as a new KivIndex object, or the load failure raised.
PyObject* new_loaded_index(std::expected<KivIndex, PersistError> loaded) noexcept {
  if (!loaded) {
    raise_persist_error(loaded.error());
    return nullptr;
  }
  return new_kiv_index(std::move(*loaded));
}

}  // namespace

PyObject* kiv_index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivIndex.save()", {"path"}, 1};
    PyObject* bound[1];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    const IndexCall call = IndexCall::shared(self);
    if (!call) return nullptr;
    std::string_view path;
    if (!to_text(bound[0], "path", path)) return nullptr;
    const auto saved = persistence::save(call.index(), path, python_signal_raised);
    if (!saved) {
      raise_persist_error(saved.error());
      return nullptr;
    }
    return Py_NewRef(Py_None);
  });
}

PyObject* kiv_index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivIndex.load()", {"path"}, 1};
    PyObject* bound[1];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string_view path;
    if (!to_text(bound[0], "path", path)) return nullptr;
    return new_loaded_index(persistence::load(path, python_signal_raised));
  });
}

PyObject* kiv_index_to_bytes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const IndexCall call = IndexCall::shared(self);
    if (!call) return nullptr;
    const auto size = persistence::encoded_size(call.index());
    if (!size) {
      raise_persist_error(size.error());
      return nullptr;
    }
    if (*size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    // Encoded straight into the bytes object: no second copy of a large index.
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size)));
    if (!bytes) return nullptr;
    persistence::encode_into(
        call.index(), {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), *size});
    return bytes.release();
  });
}

PyObject* kiv_index_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"KivIndex.from_bytes()", {"data"}, 1};
    PyObject* bound[1];
    if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
    std::span<const std::uint8_t> data;
    if (!to_byte_view(bound[0], "data", data)) return nullptr;
    return new_loaded_index(persistence::from_bytes(data));
  });
}

}  // namespace orlo_kiv::python
