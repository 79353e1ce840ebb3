// The portable kernels: plain loops that accumulate in index order. They run
// on any processor and are the reference the vectorised variants are checked
// against.
#include "core/kernels_variants.h"

namespace orlo_kiv::kernels {
namespace {

float portable_dot(const float* a, const float* b, std::size_t n) noexcept {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float portable_sum_squares(const float* a, std::size_t n) noexcept {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * a[i];
  return sum;
}

DotAndNorm portable_dot_and_norm(const float* q, const float* v, std::size_t n) noexcept {
  float d = 0.0f;
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    d += q[i] * v[i];
    s += v[i] * v[i];
  }
  return {d, s};
}

float portable_squared_distance(const float* a, const float* b, std::size_t n) noexcept {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float diff = a[i] - b[i];
    sum += diff * diff;
  }
  return sum;
}

float portable_weighted_dot(const float* w, const float* a, const float* b,
                            std::size_t n) noexcept {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += w[i] * a[i] * b[i];
  return sum;
}

float portable_difference_dot(const float* a, const float* b, const float* c,
                              std::size_t n) noexcept {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += (a[i] - b[i]) * c[i];
  return sum;
}

void portable_add_into(float* acc, const float* v, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) acc[i] += v[i];
}

void portable_divide_into(float* out, const float* a, float divisor, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = a[i] / divisor;
}

}  // namespace

const KernelTable kPortableKernels = {
    portable_dot,          portable_sum_squares,
    portable_dot_and_norm, portable_squared_distance,
    portable_weighted_dot, portable_difference_dot,
    portable_add_into,     portable_divide_into,
};

}  // namespace orlo_kiv::kernels
