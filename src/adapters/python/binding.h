// Binding of call arguments to parameter names.
//
// Every parameter of the module's methods is positional-or-keyword and
// required, so binding is: positionals in order, then each keyword onto the
// parameter it names, then a check that nothing is missing. Failures raise
// TypeError with the interpreter-style messages, naming the method by its
// display name ("KivIndex.near()").
#pragma once

#include <array>
#include <cstddef>

#include "adapters/python/py_ref.h"

namespace orlo_kiv::python {

inline constexpr std::size_t kMaxParameters = 4;

struct Signature {
  const char* display_name;
  std::array<const char*, kMaxParameters> parameters;
  std::size_t parameter_count;
};

// Binds a vectorcall argument vector; fills out[0..parameter_count) with
// borrowed references. Returns false with TypeError set.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) noexcept;

// The same for a tuple of positionals and an optional dict of keywords.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    PyObject** out) noexcept;

}  // namespace orlo_kiv::python
