// The error value of index operations that depend on caller input.
#pragma once

#include <cstddef>
#include <string>

namespace orlo_kiv {

struct CoreError {
  enum class Kind { DimensionMismatch };
  Kind kind = Kind::DimensionMismatch;
  std::size_t expected = 0;
  std::size_t got = 0;

  static CoreError dimension_mismatch(std::size_t expected, std::size_t got) {
    return {Kind::DimensionMismatch, expected, got};
  }
};

// "Dimensionality mismatch: expected {expected}, got {got}".
inline std::string to_string(const CoreError& error) {
  return "Dimensionality mismatch: expected " + std::to_string(error.expected) + ", got " +
         std::to_string(error.got);
}

}  // namespace orlo_kiv
