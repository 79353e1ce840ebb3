// Numbers in the texts of reprs: fixed decimals, rounded from the exact binary
// value to nearest with ties to even, never in exponent form; "NaN", "inf" and
// "-inf" for the special values; negative zero keeps its sign. Independent of
// the process locale.
#pragma once

#include <string>

namespace orlo_kiv::python {

// Requires 0 <= decimals <= 20 (an internal error when the text outgrows its
// 64-character buffer).
std::string format_fixed(float value, int decimals);

}  // namespace orlo_kiv::python
