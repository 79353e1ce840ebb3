#include "adapters/python/binding.h"

#include <string>

#include "adapters/python/errors.h"

namespace orlo_kiv::python {
namespace {

void raise_type_error(const std::string& message) noexcept {
  raise_with_message(PyExc_TypeError, message);
}

// Interned parameter names, so that keywords (interned by the compiler) usually
// match by pointer. The set of names is small and fixed.
PyObject* interned_name(const char* name) noexcept {
  struct Entry {
    const char* name;
    PyObject* interned;
  };
  static std::array<Entry, 32> cache{};
  for (Entry& entry : cache) {
    if (entry.name == name) return entry.interned;
    if (entry.name == nullptr) {
      PyObject* interned = PyUnicode_InternFromString(name);
      if (interned == nullptr) {
        PyErr_Clear();  // matching falls back to comparing characters
        return nullptr;
      }
      entry = {name, interned};  // kept for the life of the process
      return interned;
    }
  }
  return nullptr;
}

int find_parameter(const Signature& signature, PyObject* keyword) noexcept {
  for (std::size_t i = 0; i < signature.parameter_count; ++i) {
    if (interned_name(signature.parameters[i]) == keyword) return static_cast<int>(i);
  }
  if (!PyUnicode_Check(keyword)) return -1;
  for (std::size_t i = 0; i < signature.parameter_count; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool check_positional_count(const Signature& signature, Py_ssize_t given) noexcept {
  if (static_cast<std::size_t>(given) <= signature.parameter_count) return true;
  try {
    raise_type_error(std::string(signature.display_name) + " takes " +
                     std::to_string(signature.parameter_count) + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return false;
}

bool place_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                   PyObject** out) noexcept {
  const int position = find_parameter(signature, keyword);
  if (position < 0) {
    raise_with_text(PyExc_TypeError,
                    PyRef::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                      signature.display_name, keyword)));
    return false;
  }
  if (out[position] != nullptr) {
    raise_with_text(PyExc_TypeError, PyRef::steal(PyUnicode_FromFormat(
                                         "%s got multiple values for argument '%s'",
                                         signature.display_name, signature.parameters[position])));
    return false;
  }
  out[position] = value;
  return true;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::array<const char*, kMaxParameters>& names, std::size_t count) {
  std::string list;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) {
      if (count > 2) list += ',';
      list += (i == count - 1) ? " and " : " ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

bool check_nothing_missing(const Signature& signature, PyObject** out) noexcept {
  std::array<const char*, kMaxParameters> missing{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.parameter_count; ++i) {
    if (out[i] == nullptr) missing[count++] = signature.parameters[i];
  }
  if (count == 0) return true;
  try {
    raise_type_error(std::string(signature.display_name) + " missing " + std::to_string(count) +
                     " required positional " + (count == 1 ? "argument" : "arguments") + ": " +
                     quoted_list(missing, count));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return false;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) noexcept {
  for (std::size_t i = 0; i < signature.parameter_count; ++i) out[i] = nullptr;
  if (!check_positional_count(signature, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
      if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) {
        return false;
      }
    }
  }
  return check_nothing_missing(signature, out);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    PyObject** out) noexcept {
  for (std::size_t i = 0; i < signature.parameter_count; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!check_positional_count(signature, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!place_keyword(signature, keyword, value, out)) return false;
    }
  }
  return check_nothing_missing(signature, out);
}

}  // namespace orlo_kiv::python
