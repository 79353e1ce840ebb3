// Helpers for method tables: the calling-convention casts the C API requires.
#pragma once

#include "adapters/python/py_ref.h"

namespace orlo_kiv::python {

using FastcallMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsMethod = PyObject* (*)(PyObject*, PyObject*);

// PyMethodDef stores every function as PyCFunction; the flags say how the
// interpreter calls it back. The detour through void(*)() keeps the cast free
// of function-type warnings.
inline PyCFunction as_cfunction(FastcallMethod method) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}
inline PyCFunction as_cfunction(NoArgsMethod method) noexcept { return method; }

inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;
inline constexpr int kStaticFastcall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

}  // namespace orlo_kiv::python
