// Conversion of Python argument values into the core's values.
//
// Each converter returns false with the exception set. A failure whose type is
// exactly TypeError is re-raised as TypeError("argument '<parameter>': ...")
// keeping the original's cause; other failures (OverflowError,
// UnicodeEncodeError, errors raised by the caller's own objects) pass unchanged.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "adapters/python/py_ref.h"
#include "core/id.h"

namespace orlo_kiv::python {

// Through the index protocol, then to an unsigned 64-bit value.
bool to_u64(PyObject* value, const char* parameter, std::uint64_t& out) noexcept;

// Through the float conversion, rounded to the nearest f32.
bool to_f32(PyObject* value, const char* parameter, float& out) noexcept;

// A str (or subclass) as UTF-8; the view lives as long as `value`.
bool to_text(PyObject* value, const char* parameter, std::string_view& out) noexcept;

// A bytes object (or subclass), viewed in place; the view lives as long as `value`.
bool to_byte_view(PyObject* value, const char* parameter,
                  std::span<const std::uint8_t>& out) noexcept;

// A sequence of numbers as f32 values, in iteration order. A str is refused, as
// is anything that is not a sequence. Exact lists and tuples are read item by
// item, and one-dimensional contiguous float32 or float64 buffers of exact
// numpy arrays and array.array objects in place; the values are always those
// the general iteration would give. Throws std::bad_alloc when out of memory.
bool to_float_vector(PyObject* value, const char* parameter, std::vector<float>& out);

// 32 hex digits as an Id; raises ValueError with the parse message.
bool to_id(std::string_view text, Id& out) noexcept;

// Round to nearest, ties to even; beyond the f32 range, infinities.
float narrow_to_f32(double value) noexcept;

// Raises TypeError "'<type>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* value, const char* target) noexcept;

// Applies the argument prefix rule to the exception currently raised.
void prefix_argument_error(const char* parameter) noexcept;

}  // namespace orlo_kiv::python
