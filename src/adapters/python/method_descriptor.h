// Instance methods of the module's classes.
//
// The interpreter's own method descriptor refuses an unbound call with a
// foreign receiver (`KivIndex.stats(5)`) before the method runs. The module's
// methods instead bind their arguments first and then report a foreign
// receiver as a conversion failure ("'int' object cannot be converted to
// 'KivIndex'"), so their descriptors pass any receiver through. Bound access
// (`index.add`) still yields an ordinary built-in method, and calls through an
// instance take the interpreter's fast method-call path.
#pragma once

#include "adapters/python/py_ref.h"

namespace orlo_kiv::python {

// Replaces every instance method of `type` (from its tp_methods) with a
// descriptor of the module's own, writing the type's dictionary directly (the
// module's types are immutable). False with an exception set on failure.
bool install_method_descriptors(PyTypeObject* type) noexcept;

}  // namespace orlo_kiv::python
