#include "core/proximity.h"

#include <cmath>

#include "core/internal_error.h"
#include "core/kernels.h"

namespace orlo_kiv {

float cosine_from_sums(float dot, float norm_sq_a, float norm_sq_b) noexcept {
  if (norm_sq_a == 0.0f || norm_sq_b == 0.0f) return 0.0f;
  return dot / (std::sqrt(norm_sq_b) * std::sqrt(norm_sq_a));
}

float CosineProximity::proximity(std::span<const float> a, std::span<const float> b) const {
  if (a.size() != b.size()) internal_error("Points must have same dimensionality");
  // The same sums, from the same kernels, as a query that scores many vectors
  // against one precomputed query norm: both paths give identical results.
  const auto sums = kernels::dot_and_norm(a.data(), b.data(), a.size());
  const float norm_sq_a = kernels::sum_squares(a.data(), a.size());
  return cosine_from_sums(sums.dot, norm_sq_a, sums.norm_sq);
}

void normalize_in_place(std::span<float> v) noexcept {
  const float s = kernels::sum_squares(v.data(), v.size());
  if (s == 0.0f) return;
  const float norm = std::sqrt(s);
  kernels::divide_into(v.data(), v.data(), norm, v.size());
}

std::vector<float> normalize(std::span<const float> v) {
  std::vector<float> out(v.begin(), v.end());
  normalize_in_place(out);
  return out;
}

}  // namespace orlo_kiv
