#include "adapters/python/method_descriptor.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#include "adapters/python/errors.h"

namespace orlo_kiv::python {
namespace {

struct MethodDescriptor {
  PyObject_HEAD
  PyMethodDef* definition;
  PyTypeObject* owner;  // a module type object: it lives for the whole process
  vectorcallfunc vectorcall;
};

MethodDescriptor* as_descriptor(PyObject* object) noexcept {
  return reinterpret_cast<MethodDescriptor*>(object);
}

constexpr std::string_view kSignatureEnd = "\n--\n\n";

// The stored docstring is "name(signature)\n--\n\nprose"; these split it.
std::string_view stored_doc(const MethodDescriptor* d) noexcept {
  return d->definition->ml_doc == nullptr ? std::string_view() : d->definition->ml_doc;
}

std::size_t signature_end(std::string_view doc, std::string_view name) noexcept {
  if (doc.substr(0, name.size()) != name || doc.substr(name.size(), 1) != "(") {
    return std::string_view::npos;
  }
  return doc.find(kSignatureEnd);
}

PyObject* descriptor_qualname(PyObject* self, void*) noexcept {
  const MethodDescriptor* d = as_descriptor(self);
  PyRef owner_name = PyRef::steal(PyType_GetQualName(d->owner));
  if (!owner_name) return nullptr;
  return PyUnicode_FromFormat("%U.%s", owner_name.get(), d->definition->ml_name);
}

PyObject* descriptor_name(PyObject* self, void*) noexcept {
  return PyUnicode_FromString(as_descriptor(self)->definition->ml_name);
}

PyObject* descriptor_doc(PyObject* self, void*) noexcept {
  const std::string_view doc = stored_doc(as_descriptor(self));
  if (doc.data() == nullptr) return Py_NewRef(Py_None);
  const std::size_t end = signature_end(doc, as_descriptor(self)->definition->ml_name);
  const std::string_view prose =
      end == std::string_view::npos ? doc : doc.substr(end + kSignatureEnd.size());
  return PyUnicode_FromStringAndSize(prose.data(), static_cast<Py_ssize_t>(prose.size()));
}

PyObject* descriptor_text_signature(PyObject* self, void*) noexcept {
  const char* name = as_descriptor(self)->definition->ml_name;
  const std::string_view doc = stored_doc(as_descriptor(self));
  const std::size_t end = signature_end(doc, name);
  if (end == std::string_view::npos) return Py_NewRef(Py_None);
  const std::string_view signature = doc.substr(std::strlen(name), end - std::strlen(name));
  return PyUnicode_FromStringAndSize(signature.data(), static_cast<Py_ssize_t>(signature.size()));
}

PyObject* descriptor_objclass(PyObject* self, void*) noexcept {
  return Py_NewRef(reinterpret_cast<PyObject*>(as_descriptor(self)->owner));
}

// An unbound call: the first argument is the receiver, checked by the method.
PyObject* descriptor_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) noexcept {
  const MethodDescriptor* d = as_descriptor(self);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyRef qualname = PyRef::steal(descriptor_qualname(self, nullptr));
    if (!qualname) return nullptr;
    raise_with_text(PyExc_TypeError, PyRef::steal(PyUnicode_FromFormat(
                                         "unbound method %U() needs an argument", qualname.get())));
    return nullptr;
  }
  PyObject* receiver = args[0];
  const int flags = d->definition->ml_flags;
  if (flags & METH_NOARGS) {
    const Py_ssize_t extra = nargs - 1 + (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
    if (extra != 0) {
      PyRef qualname = PyRef::steal(descriptor_qualname(self, nullptr));
      if (!qualname) return nullptr;
      raise_with_text(PyExc_TypeError,
                      PyRef::steal(PyUnicode_FromFormat("%U() takes no arguments (%zd given)",
                                                        qualname.get(), extra)));
      return nullptr;
    }
    return d->definition->ml_meth(receiver, nullptr);
  }
  using Fastcall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
  const auto method =
      reinterpret_cast<Fastcall>(reinterpret_cast<void (*)()>(d->definition->ml_meth));
  return method(receiver, args + 1, nargs - 1, kwnames);
}

// Access through an instance yields a built-in method bound to it; access
// through the class yields the descriptor itself.
PyObject* descriptor_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyCFunction_NewEx(as_descriptor(self)->definition, instance, nullptr);
}

PyObject* descriptor_repr(PyObject* self) noexcept {
  PyRef owner_name = PyRef::steal(PyType_GetName(as_descriptor(self)->owner));
  if (!owner_name) return nullptr;
  return PyUnicode_FromFormat("<method '%s' of '%U' objects>",
                              as_descriptor(self)->definition->ml_name, owner_name.get());
}

void descriptor_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  PyRef::steal(reinterpret_cast<PyObject*>(type));
}

PyGetSetDef kDescriptorGetters[] = {
    {"__name__", descriptor_name, nullptr, nullptr, nullptr},
    {"__qualname__", descriptor_qualname, nullptr, nullptr, nullptr},
    {"__doc__", descriptor_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", descriptor_text_signature, nullptr, nullptr, nullptr},
    {"__objclass__", descriptor_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kDescriptorMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodDescriptor, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kDescriptorSlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descriptor_get)},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_getset, kDescriptorGetters},
    {Py_tp_members, kDescriptorMembers},
    {0, nullptr},
};

PyType_Spec kDescriptorSpec = {
    .name = "builtins.method_descriptor",
    .basicsize = static_cast<int>(sizeof(MethodDescriptor)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kDescriptorSlots,
};

PyTypeObject* descriptor_type() noexcept {
  static ProcessLifetimeRef type;
  if (!type) {
    PyRef created = PyRef::steal(PyType_FromSpec(&kDescriptorSpec));
    if (!created) return nullptr;
    type.keep(std::move(created));
  }
  return reinterpret_cast<PyTypeObject*>(type.get());
}

}  // namespace

bool install_method_descriptors(PyTypeObject* type) noexcept {
  PyTypeObject* kind = descriptor_type();
  if (kind == nullptr) return false;
  for (PyMethodDef* definition = type->tp_methods;
       definition != nullptr && definition->ml_name != nullptr; ++definition) {
    if (definition->ml_flags & (METH_STATIC | METH_CLASS)) continue;
    PyRef descriptor = PyRef::steal(PyType_GenericAlloc(kind, 0));
    if (!descriptor) return false;
    MethodDescriptor* d = as_descriptor(descriptor.get());
    d->definition = definition;
    d->owner = type;
    d->vectorcall = descriptor_vectorcall;
    // The type is immutable to Python code, so its dictionary is written
    // directly (replacing an entry keeps its place in the method order).
    if (PyDict_SetItemString(type->tp_dict, definition->ml_name, descriptor.get()) < 0) {
      return false;
    }
  }
  PyType_Modified(type);
  return true;
}

}  // namespace orlo_kiv::python
