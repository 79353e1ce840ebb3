// Numbers in the texts of reprs: fixed decimals, rounded from the exact binary
// value to nearest with ties to even, never in exponent form; "NaN", "inf" and
// "-inf" for the special values; negative zero keeps its sign. Independent of
// the process locale.
#pragma once

#include <string>

namespace orlo_kiv::python {

std::string format_fixed(float value, int decimals);

}  // namespace orlo_kiv::python
