#include "adapters/python/number_format.h"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "core/internal_error.h"

namespace orlo_kiv::python {

std::string format_fixed(float value, int decimals) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // The largest f32 has 39 integer digits; 64 characters hold it with decimals.
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                    static_cast<double>(value), std::chars_format::fixed, decimals);
  // Only a request for more decimals than the buffer holds can fail.
  if (result.ec != std::errc()) {
    internal_error("cannot format a float with " + std::to_string(decimals) + " decimals");
  }
  return std::string(buffer.data(), result.ptr);
}

}  // namespace orlo_kiv::python
