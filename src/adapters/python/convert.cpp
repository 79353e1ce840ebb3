#include "adapters/python/convert.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "adapters/python/errors.h"

namespace orlo_kiv::python {
namespace {

// Capacity reserved from a sequence's own length report at most: __len__ can
// lie, and the list grows past this as items actually arrive.
constexpr std::size_t kMaxTrustedLengthHint = std::size_t{1} << 20;

// Reads an exact list or tuple item by item, exactly as its iterator would:
// the length is re-read before each item because converting an item that is not
// an exact float runs Python code, which may resize a list.
bool read_list_or_tuple(PyObject* sequence, std::vector<float>& out) {
  const bool is_list = PyList_CheckExact(sequence);
  auto size = [&] { return is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence); };
  auto item = [&](Py_ssize_t i) {
    return is_list ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i);
  };

  // Fast loop: exact floats need no Python code and cannot change the sequence.
  const Py_ssize_t initial_size = size();
  out.resize(static_cast<std::size_t>(initial_size));
  Py_ssize_t i = 0;
  for (; i < initial_size; ++i) {
    PyObject* element = item(i);
    if (!PyFloat_CheckExact(element)) break;
    out[static_cast<std::size_t>(i)] = narrow_to_f32(PyFloat_AS_DOUBLE(element));
  }
  if (i == initial_size) return true;

  out.resize(static_cast<std::size_t>(i));
  for (; i < size(); ++i) {
    PyRef element = PyRef::borrow(item(i));
    double value;
    if (PyFloat_CheckExact(element.get())) {
      value = PyFloat_AS_DOUBLE(element.get());
    } else {
      value = PyFloat_AsDouble(element.get());
      if (value == -1.0 && PyErr_Occurred()) return false;
    }
    out.push_back(narrow_to_f32(value));
  }
  return true;
}

bool read_any_sequence(PyObject* sequence, std::vector<float>& out) {
  const Py_ssize_t hint = PyObject_Size(sequence);
  if (hint < 0) {
    PyErr_Clear();  // the length is only a capacity hint
  } else {
    out.reserve(std::min(static_cast<std::size_t>(hint), kMaxTrustedLengthHint));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (PyRef element = PyRef::steal(PyIter_Next(iterator.get()))) {
    double value;
    if (PyFloat_CheckExact(element.get())) {
      value = PyFloat_AS_DOUBLE(element.get());
    } else {
      value = PyFloat_AsDouble(element.get());
      if (value == -1.0 && PyErr_Occurred()) return false;
    }
    out.push_back(narrow_to_f32(value));
  }
  return PyErr_Occurred() == nullptr;
}

}  // namespace

float narrow_to_f32(double value) noexcept {
  // Halfway between FLT_MAX and the next power of two: from here on, rounding
  // to nearest gives infinity. Checked explicitly because an out-of-range
  // conversion is undefined in C++.
  constexpr double kOverflowThreshold = 0x1.ffffffp127;
  if (value >= kOverflowThreshold) return std::numeric_limits<float>::infinity();
  if (value <= -kOverflowThreshold) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

void raise_cannot_convert(PyObject* value, const char* target) noexcept {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!type_name) return;
  raise_with_text(PyExc_TypeError,
                  PyRef::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'",
                                                    type_name.get(), target)));
}

void prefix_argument_error(const char* parameter) noexcept {
  PyRef error = fetch_raised_exception();
  if (!error) return;
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_raised_exception(std::move(error));
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(error.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  // Setting the cause (even to none) also suppresses the implicit context.
  PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));
  restore_raised_exception(std::move(replacement));
}

bool to_u64(PyObject* value, const char* parameter, std::uint64_t& out) noexcept {
  PyRef integer = PyRef::steal(PyNumber_Index(value));
  if (!integer) {
    prefix_argument_error(parameter);
    return false;
  }
  const unsigned long long converted = PyLong_AsUnsignedLongLong(integer.get());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_argument_error(parameter);
    return false;
  }
  out = converted;
  return true;
}

bool to_f32(PyObject* value, const char* parameter, float& out) noexcept {
  const double converted =
      PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred()) {
    prefix_argument_error(parameter);
    return false;
  }
  out = narrow_to_f32(converted);
  return true;
}

bool to_text(PyObject* value, const char* parameter, std::string_view& out) noexcept {
  if (!PyUnicode_Check(value)) {
    raise_cannot_convert(value, "PyString");
    prefix_argument_error(parameter);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) {
    prefix_argument_error(parameter);
    return false;
  }
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_byte_view(PyObject* value, const char* parameter,
                  std::span<const std::uint8_t>& out) noexcept {
  if (!PyBytes_Check(value)) {
    raise_cannot_convert(value, "PyBytes");
    prefix_argument_error(parameter);
    return false;
  }
  out = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
                                      static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
  return true;
}

bool to_float_vector(PyObject* value, const char* parameter, std::vector<float>& out) {
  out.clear();
  bool converted;
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
    converted = read_list_or_tuple(value, out);
  } else if (PyUnicode_Check(value)) {
    raise_with_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
    converted = false;
  } else if (!PySequence_Check(value)) {
    raise_cannot_convert(value, "Sequence");
    converted = false;
  } else {
    converted = read_any_sequence(value, out);
  }
  if (!converted) prefix_argument_error(parameter);
  return converted;
}

bool to_id(std::string_view text, Id& out) noexcept {
  const auto parsed = parse_hex(text);
  if (!parsed) {
    raise_id_parse_error(parsed.error());
    return false;
  }
  out = *parsed;
  return true;
}

}  // namespace orlo_kiv::python
