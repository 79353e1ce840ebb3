#include "adapters/python/value_object.h"

#include "adapters/python/convert.h"
#include "adapters/python/errors.h"

namespace orlo_kiv::python {

Borrow Borrow::shared(Py_ssize_t& flag) noexcept {
  if (flag == -1) {
    raise_with_message(PyExc_RuntimeError, "Already mutably borrowed");
    return Borrow(nullptr);
  }
  ++flag;
  return Borrow(&flag);
}

Borrow Borrow::exclusive(Py_ssize_t& flag) noexcept {
  if (flag != 0) {
    raise_with_message(PyExc_RuntimeError, "Already borrowed");
    return Borrow(nullptr);
  }
  flag = -1;
  return Borrow(&flag);
}

Borrow Borrow::refuse_uninitialised(PyObject* object) noexcept {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) return Borrow(nullptr);
  raise_with_text(PyExc_TypeError,
                  PyRef::steal(PyUnicode_FromFormat("'%U' object is not initialised", name.get())));
  return Borrow(nullptr);
}

Borrow::~Borrow() {
  if (flag_ == nullptr) return;
  if (*flag_ == -1) {
    *flag_ = 0;
  } else {
    --*flag_;
  }
}

PyObject* checked_receiver(PyObject* self, PyTypeObject* type, const char* class_name) noexcept {
  if (self != nullptr && PyObject_TypeCheck(self, type)) return self;
  if (self == nullptr) {
    PyErr_SetString(PyExc_SystemError, "method called without a receiver");
    return nullptr;
  }
  raise_cannot_convert(self, class_name);
  return nullptr;
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return nullptr;
  raise_with_text(PyExc_TypeError,
                  PyRef::steal(PyUnicode_FromFormat("No constructor defined for %U", name.get())));
  return nullptr;
}

}  // namespace orlo_kiv::python
