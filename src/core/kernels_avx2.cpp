// The AVX2 + FMA kernels: four 8-lane accumulators over blocks of 32 floats,
// then 8-lane steps, then one masked step for the last few floats, so no load
// ever reads past the end of a vector.
//
// Everything after the target pragma is compiled for AVX2; only intrinsics and
// functions local to this file live there, so no inline function shared with
// other files is ever emitted with AVX2 instructions.
#include <immintrin.h>

#include "core/kernels_variants.h"

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace orlo_kiv::kernels {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kBlock = 4 * kLanes;

// Selects the first `count` lanes (count < 8); masked-off lanes load as 0.
__m256i first_lanes(std::size_t count) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)),
                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

float horizontal_sum(__m256 v) {
  __m128 sum = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  sum = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
  sum = _mm_add_ss(sum, _mm_movehdup_ps(sum));
  return _mm_cvtss_f32(sum);
}

struct FullLoad {
  __m256 operator()(const float* p) const { return _mm256_loadu_ps(p); }
};

struct MaskedLoad {
  __m256i mask;
  __m256 operator()(const float* p) const { return _mm256_maskload_ps(p, mask); }
};

// Sums term(acc, i, load) over the vector: `term` folds the floats at offset i,
// read through `load`, into the accumulator it is given.
template <class Term>
__m256 accumulate(std::size_t n, const Term& term) {
  __m256 acc0 = _mm256_setzero_ps();
  __m256 acc1 = _mm256_setzero_ps();
  __m256 acc2 = _mm256_setzero_ps();
  __m256 acc3 = _mm256_setzero_ps();
  const FullLoad full;
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    acc0 = term(acc0, i, full);
    acc1 = term(acc1, i + kLanes, full);
    acc2 = term(acc2, i + 2 * kLanes, full);
    acc3 = term(acc3, i + 3 * kLanes, full);
  }
  for (; i + kLanes <= n; i += kLanes) acc0 = term(acc0, i, full);
  if (i < n) acc1 = term(acc1, i, MaskedLoad{first_lanes(n - i)});
  return _mm256_add_ps(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3));
}

float avx2_dot(const float* a, const float* b, std::size_t n) noexcept {
  return horizontal_sum(accumulate(n, [=](__m256 acc, std::size_t i, const auto& load) {
    return _mm256_fmadd_ps(load(a + i), load(b + i), acc);
  }));
}

float avx2_sum_squares(const float* a, std::size_t n) noexcept {
  return horizontal_sum(accumulate(n, [=](__m256 acc, std::size_t i, const auto& load) {
    const __m256 x = load(a + i);
    return _mm256_fmadd_ps(x, x, acc);
  }));
}

float avx2_squared_distance(const float* a, const float* b, std::size_t n) noexcept {
  return horizontal_sum(accumulate(n, [=](__m256 acc, std::size_t i, const auto& load) {
    const __m256 diff = _mm256_sub_ps(load(a + i), load(b + i));
    return _mm256_fmadd_ps(diff, diff, acc);
  }));
}

float avx2_weighted_dot(const float* w, const float* a, const float* b, std::size_t n) noexcept {
  return horizontal_sum(accumulate(n, [=](__m256 acc, std::size_t i, const auto& load) {
    return _mm256_fmadd_ps(_mm256_mul_ps(load(w + i), load(a + i)), load(b + i), acc);
  }));
}

float avx2_difference_dot(const float* a, const float* b, const float* c, std::size_t n) noexcept {
  return horizontal_sum(accumulate(n, [=](__m256 acc, std::size_t i, const auto& load) {
    return _mm256_fmadd_ps(_mm256_sub_ps(load(a + i), load(b + i)), load(c + i), acc);
  }));
}

DotAndNorm avx2_dot_and_norm(const float* q, const float* v, std::size_t n) noexcept {
  __m256 dot0 = _mm256_setzero_ps();
  __m256 dot1 = _mm256_setzero_ps();
  __m256 norm0 = _mm256_setzero_ps();
  __m256 norm1 = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
    const __m256 v0 = _mm256_loadu_ps(v + i);
    const __m256 v1 = _mm256_loadu_ps(v + i + kLanes);
    dot0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), v0, dot0);
    dot1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + kLanes), v1, dot1);
    norm0 = _mm256_fmadd_ps(v0, v0, norm0);
    norm1 = _mm256_fmadd_ps(v1, v1, norm1);
  }
  if (i + kLanes <= n) {
    const __m256 v0 = _mm256_loadu_ps(v + i);
    dot0 = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), v0, dot0);
    norm0 = _mm256_fmadd_ps(v0, v0, norm0);
    i += kLanes;
  }
  if (i < n) {
    const __m256i mask = first_lanes(n - i);
    const __m256 v1 = _mm256_maskload_ps(v + i, mask);
    dot1 = _mm256_fmadd_ps(_mm256_maskload_ps(q + i, mask), v1, dot1);
    norm1 = _mm256_fmadd_ps(v1, v1, norm1);
  }
  return {horizontal_sum(_mm256_add_ps(dot0, dot1)), horizontal_sum(_mm256_add_ps(norm0, norm1))};
}

void avx2_add_into(float* acc, const float* v, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    _mm256_storeu_ps(acc + i, _mm256_add_ps(_mm256_loadu_ps(acc + i), _mm256_loadu_ps(v + i)));
  }
  for (; i < n; ++i) acc[i] += v[i];
}

void avx2_divide_into(float* out, const float* a, float divisor, std::size_t n) noexcept {
  const __m256 d = _mm256_set1_ps(divisor);
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_loadu_ps(a + i), d));
  for (; i < n; ++i) out[i] = a[i] / divisor;
}

}  // namespace

const KernelTable kAvx2Kernels = {
    avx2_dot,          avx2_sum_squares,    avx2_dot_and_norm, avx2_squared_distance,
    avx2_weighted_dot, avx2_difference_dot, avx2_add_into,     avx2_divide_into,
};

}  // namespace orlo_kiv::kernels

#pragma GCC pop_options
