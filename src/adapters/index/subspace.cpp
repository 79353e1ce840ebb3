#include "adapters/index/subspace.h"

#include <cmath>
#include <cstdint>

#include "core/internal_error.h"
#include "core/kernels.h"
#include "core/proximity.h"

namespace orlo_kiv {
namespace {

// d(d+1)/2 floats, or an internal error when that many cannot be addressed.
std::size_t packed_size(std::size_t d) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(d, d + 1, &product) || d + 1 == 0 ||
      product / 2 > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(float)) {
    internal_error("capacity overflow");
  }
  return product / 2;
}

// Power iteration on the symmetric d x d matrix `c`: returns false when the
// iteration collapses (|Cv| below 1e-10), otherwise leaves the direction in `v`
// and the Rayleigh quotient of the last step in `lambda`.
bool dominant_direction(const std::vector<float>& c, std::size_t d, std::vector<float>& v,
                        std::vector<float>& w, float& lambda) {
  for (std::size_t i = 0; i < d; ++i) v[i] = 1.0f + 0.1f * static_cast<float>(i);
  normalize_in_place(v);
  constexpr int kMaxIterations = 50;
  for (int iteration = 1; iteration <= kMaxIterations; ++iteration) {
    for (std::size_t i = 0; i < d; ++i) w[i] = kernels::dot(&c[i * d], v.data(), d);
    lambda = kernels::dot(w.data(), v.data(), d);
    const float norm = std::sqrt(kernels::sum_squares(w.data(), d));
    if (norm < 1e-10f) return false;
    float delta = 0.0f;
    for (std::size_t i = 0; i < d; ++i) {
      const float next = w[i] / norm;
      delta += std::fabs(v[i] - next);
      v[i] = next;
    }
    if (delta < 1e-8f) break;
  }
  return true;
}

}  // namespace

void Subspace::allocate_moments() {
  const std::size_t moments = packed_size(dimensionality_);
  std::vector<float> mean(dimensionality_, 0.0f);
  std::vector<float> sum(dimensionality_, 0.0f);
  std::vector<float> second_moments(moments, 0.0f);
  mean_ = std::move(mean);
  sum_ = std::move(sum);
  second_moments_ = std::move(second_moments);
}

void Subspace::add_point(std::span<const float> v) {
  if (v.size() > dimensionality_) {
    internal_error(index_out_of_bounds_message(dimensionality_, dimensionality_));
  }
  if (!has_moments() && dimensionality_ > 0) allocate_moments();

  kernels::add_into(sum_.data(), v.data(), v.size());
  const std::size_t len = v.size();
  for (std::size_t i = 0; i < len; ++i) {
    float* row = &second_moments_[packed_index(i, i, dimensionality_)];
    const float vi = v[i];
    for (std::size_t j = i; j < len; ++j) row[j - i] += v[j] * vi;
  }
  ++count_;
  const float count = static_cast<float>(count_);
  for (std::size_t i = 0; i < dimensionality_; ++i) mean_[i] = sum_[i] / count;
  normalize_in_place(mean_);
}

Subspace Subspace::rebuild(std::span<const std::span<const float>> leaves,
                           std::size_t max_components, std::size_t dimensionality) {
  Subspace s(dimensionality);
  for (const auto& leaf : leaves) s.add_point(leaf);
  if (s.count_ < 3) return s;

  const std::size_t d = dimensionality;
  const float count = static_cast<float>(s.count_);
  std::vector<float> mean(d);
  for (std::size_t i = 0; i < d; ++i) mean[i] = s.sum_[i] / count;

  std::vector<float> covariance(d * d);
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = i; j < d; ++j) {
      const float value = s.second_moments_[packed_index(i, j, d)] / count - mean[i] * mean[j];
      covariance[i * d + j] = value;
      covariance[j * d + i] = value;
    }
  }

  std::vector<float> v(d);
  std::vector<float> w(d);
  const std::size_t wanted = std::min(max_components, d);
  for (std::size_t l = 0; l < wanted; ++l) {
    float lambda = 0.0f;
    if (!dominant_direction(covariance, d, v, w, lambda)) break;
    const float variance = std::fabs(lambda);
    if (variance < 1e-8f) break;
    s.variances_.push_back(variance);
    s.components_.push_back(normalize(v));
    // Deflate, so the next round finds the next strongest direction.
    for (std::size_t i = 0; i < d; ++i) {
      const float scaled = v[i] * variance;
      for (std::size_t j = 0; j < d; ++j) covariance[i * d + j] -= scaled * v[j];
    }
  }
  return s;
}

}  // namespace orlo_kiv
