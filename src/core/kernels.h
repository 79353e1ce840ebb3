// Vector kernels shared by proximity, centroid updates and queries.
//
// Each kernel makes one pass over its inputs and allocates nothing. Sums may be
// accumulated in a vectorised order, so results can differ from strict
// index-order accumulation in the last bits; for a given machine they are
// deterministic.
#pragma once

#include <cstddef>

namespace orlo_kiv::kernels {

// Σ a[i] * b[i].
float dot(const float* a, const float* b, std::size_t n) noexcept;

// Σ a[i]².
float sum_squares(const float* a, std::size_t n) noexcept;

struct DotAndNorm {
  float dot;      // Σ q[i] * v[i]
  float norm_sq;  // Σ v[i]²
};

// Both sums of a cosine against a query whose own norm is already known.
DotAndNorm dot_and_norm(const float* q, const float* v, std::size_t n) noexcept;

// Σ (a[i] - b[i])².
float squared_distance(const float* a, const float* b, std::size_t n) noexcept;

// acc[i] += v[i].
void add_into(float* acc, const float* v, std::size_t n) noexcept;

}  // namespace orlo_kiv::kernels
