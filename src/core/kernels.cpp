#include "core/kernels.h"

namespace orlo_kiv::kernels {

float dot(const float* a, const float* b, std::size_t n) noexcept {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float sum_squares(const float* a, std::size_t n) noexcept {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * a[i];
  return sum;
}

DotAndNorm dot_and_norm(const float* q, const float* v, std::size_t n) noexcept {
  float d = 0.0f;
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    d += q[i] * v[i];
    s += v[i] * v[i];
  }
  return {d, s};
}

float squared_distance(const float* a, const float* b, std::size_t n) noexcept {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float diff = a[i] - b[i];
    sum += diff * diff;
  }
  return sum;
}

void add_into(float* acc, const float* v, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) acc[i] += v[i];
}

}  // namespace orlo_kiv::kernels
