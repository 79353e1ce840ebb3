#include "adapters/python/convert.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "adapters/python/errors.h"

namespace orlo_kiv::python {
namespace {

// Capacity reserved from a sequence's own length report at most: __len__ can
// lie, and the list grows past this as items actually arrive.
constexpr std::size_t kMaxTrustedLengthHint = std::size_t{1} << 20;

// Appends one item: an exact float directly, anything else through the float
// conversion (ints, __float__, __index__). False with the conversion's error set.
bool append_item(PyObject* element, std::vector<float>& out) {
  double value;
  if (PyFloat_CheckExact(element)) {
    value = PyFloat_AS_DOUBLE(element);
  } else {
    value = PyFloat_AsDouble(element);
    if (value == -1.0 && PyErr_Occurred()) return false;
  }
  out.push_back(narrow_to_f32(value));
  return true;
}

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
    if (!append_item(element.get(), out)) return false;
  }
  return true;
}

// The exact array types whose buffers are read directly, recognised by their
// qualified names so that numpy need not be imported. Both are immutable
// types; a class defined in Python never is, so one that merely borrows the
// name is not mistaken for them, and subclasses have names of their own.
bool is_exact_array_type(PyTypeObject* type) noexcept {
  if (!PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return false;
  return std::strcmp(type->tp_name, "numpy.ndarray") == 0 ||
         std::strcmp(type->tp_name, "array.array") == 0;
}

enum class BufferElement { Unsupported, Float32, Float64 };

// Native little-endian float32 or float64, as the struct-module format names them.
BufferElement buffer_element(const Py_buffer& view) noexcept {
  const char* format = view.format == nullptr ? "B" : view.format;
  if (*format == '<' && std::endian::native != std::endian::little) {
    return BufferElement::Unsupported;
  }
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (std::strcmp(format, "f") == 0 && view.itemsize == 4) return BufferElement::Float32;
  if (std::strcmp(format, "d") == 0 && view.itemsize == 8) return BufferElement::Float64;
  return BufferElement::Unsupported;
}

// The value a float32 takes on its way through a Python float: widening to
// double and narrowing back keeps every value and quiets a signalling NaN.
float through_double(std::uint32_t bits) noexcept {
  constexpr std::uint32_t kExponent = 0x7f800000u;
  constexpr std::uint32_t kMantissa = 0x007fffffu;
  constexpr std::uint32_t kQuietBit = 0x00400000u;
  if ((bits & kExponent) == kExponent && (bits & kMantissa) != 0) bits |= kQuietBit;
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Reads a one-dimensional C-contiguous float32 or float64 buffer of an exact
// ndarray or array.array without creating Python objects; the values equal
// those that iterating the object would give. False, with no exception set,
// when the object does not qualify and must take the general path.
bool read_float_buffer(PyObject* array, std::vector<float>& out) {
  BufferView buffer;
  if (!buffer.acquire(array, PyBUF_RECORDS_RO)) {
    PyErr_Clear();  // the general path reports whatever is wrong with the object
    return false;
  }
  const Py_buffer& view = buffer.view();
  if (view.ndim != 1 || view.shape == nullptr || !PyBuffer_IsContiguous(&view, 'C')) return false;
  const BufferElement element = buffer_element(view);
  if (element == BufferElement::Unsupported) return false;

  const auto count = static_cast<std::size_t>(view.shape[0]);
  const auto* bytes = static_cast<const unsigned char*>(view.buf);
  out.resize(count);
  if (element == BufferElement::Float32) {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint32_t bits;
      std::memcpy(&bits, bytes + 4 * i, sizeof bits);
      out[i] = through_double(bits);
    }
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      double value;
      std::memcpy(&value, bytes + 8 * i, sizeof value);
      out[i] = narrow_to_f32(value);
    }
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
    if (!append_item(element.get(), out)) return false;
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
  out =
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
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
  } else if (is_exact_array_type(Py_TYPE(value)) && read_float_buffer(value, out)) {
    converted = true;
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
