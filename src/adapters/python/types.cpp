#include "adapters/python/types.h"

#include "adapters/python/method_descriptor.h"

namespace orlo_kiv::python {

PyTypeObject* cached_type(ProcessLifetimeRef& slot, PyType_Spec& definition) noexcept {
  if (!slot) {
    PyRef type = PyRef::steal(PyType_FromSpec(&definition));
    if (!type || !install_method_descriptors(reinterpret_cast<PyTypeObject*>(type.get()))) {
      return nullptr;
    }
    slot.keep(std::move(type));
  }
  return reinterpret_cast<PyTypeObject*>(slot.get());
}

PyObject* new_hex_string(const Id& id) noexcept {
  char text[kHexIdLength];
  write_hex(id, text);
  return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(kHexIdLength));
}

}  // namespace orlo_kiv::python
