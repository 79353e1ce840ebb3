// The AVX-512 kernels: four 16-lane accumulators over blocks of 64 floats,
// then 16-lane steps, then one masked step for the last few floats, so no load
// ever reads past the end of a vector.
//
// Everything after the target pragma is compiled for AVX-512F; only intrinsics
// and functions local to this file live there, so no inline function shared
// with other files is ever emitted with AVX-512 instructions.
// GCC 12's AVX-512 headers build their "undefined" register values by
// self-initialisation, which -Wuninitialized reports wherever they are inlined.
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include "core/kernels_variants.h"

#pragma GCC push_options
#pragma GCC target("avx512f")

namespace orlo_kiv::kernels {
namespace {

constexpr std::size_t kLanes = 16;
constexpr std::size_t kBlock = 4 * kLanes;

// Selects the first `count` lanes (count < 16); masked-off lanes load as 0.
__mmask16 first_lanes(std::size_t count) { return static_cast<__mmask16>((1u << count) - 1u); }

struct FullLoad {
  __m512 operator()(const float* p) const { return _mm512_loadu_ps(p); }
};

struct MaskedLoad {
  __mmask16 mask;
  __m512 operator()(const float* p) const { return _mm512_maskz_loadu_ps(mask, p); }
};

// Sums term(acc, i, load) over the vector: `term` folds the floats at offset i,
// read through `load`, into the accumulator it is given.
template <class Term>
float accumulate(std::size_t n, const Term& term) {
  __m512 acc0 = _mm512_setzero_ps();
  __m512 acc1 = _mm512_setzero_ps();
  __m512 acc2 = _mm512_setzero_ps();
  __m512 acc3 = _mm512_setzero_ps();
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
  return _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(acc0, acc1), _mm512_add_ps(acc2, acc3)));
}

float avx512_dot(const float* a, const float* b, std::size_t n) noexcept {
  return accumulate(n, [=](__m512 acc, std::size_t i, const auto& load) {
    return _mm512_fmadd_ps(load(a + i), load(b + i), acc);
  });
}

float avx512_sum_squares(const float* a, std::size_t n) noexcept {
  return accumulate(n, [=](__m512 acc, std::size_t i, const auto& load) {
    const __m512 x = load(a + i);
    return _mm512_fmadd_ps(x, x, acc);
  });
}

float avx512_squared_distance(const float* a, const float* b, std::size_t n) noexcept {
  return accumulate(n, [=](__m512 acc, std::size_t i, const auto& load) {
    const __m512 diff = _mm512_sub_ps(load(a + i), load(b + i));
    return _mm512_fmadd_ps(diff, diff, acc);
  });
}

float avx512_weighted_dot(const float* w, const float* a, const float* b, std::size_t n) noexcept {
  return accumulate(n, [=](__m512 acc, std::size_t i, const auto& load) {
    return _mm512_fmadd_ps(_mm512_mul_ps(load(w + i), load(a + i)), load(b + i), acc);
  });
}

float avx512_difference_dot(const float* a, const float* b, const float* c,
                            std::size_t n) noexcept {
  return accumulate(n, [=](__m512 acc, std::size_t i, const auto& load) {
    return _mm512_fmadd_ps(_mm512_sub_ps(load(a + i), load(b + i)), load(c + i), acc);
  });
}

DotAndNorm avx512_dot_and_norm(const float* q, const float* v, std::size_t n) noexcept {
  __m512 dot0 = _mm512_setzero_ps();
  __m512 dot1 = _mm512_setzero_ps();
  __m512 norm0 = _mm512_setzero_ps();
  __m512 norm1 = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
    const __m512 v0 = _mm512_loadu_ps(v + i);
    const __m512 v1 = _mm512_loadu_ps(v + i + kLanes);
    dot0 = _mm512_fmadd_ps(_mm512_loadu_ps(q + i), v0, dot0);
    dot1 = _mm512_fmadd_ps(_mm512_loadu_ps(q + i + kLanes), v1, dot1);
    norm0 = _mm512_fmadd_ps(v0, v0, norm0);
    norm1 = _mm512_fmadd_ps(v1, v1, norm1);
  }
  if (i + kLanes <= n) {
    const __m512 v0 = _mm512_loadu_ps(v + i);
    dot0 = _mm512_fmadd_ps(_mm512_loadu_ps(q + i), v0, dot0);
    norm0 = _mm512_fmadd_ps(v0, v0, norm0);
    i += kLanes;
  }
  if (i < n) {
    const __mmask16 mask = first_lanes(n - i);
    const __m512 v1 = _mm512_maskz_loadu_ps(mask, v + i);
    dot1 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask, q + i), v1, dot1);
    norm1 = _mm512_fmadd_ps(v1, v1, norm1);
  }
  return {_mm512_reduce_add_ps(_mm512_add_ps(dot0, dot1)),
          _mm512_reduce_add_ps(_mm512_add_ps(norm0, norm1))};
}

void avx512_add_into(float* acc, const float* v, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    _mm512_storeu_ps(acc + i, _mm512_add_ps(_mm512_loadu_ps(acc + i), _mm512_loadu_ps(v + i)));
  }
  if (i < n) {
    const __mmask16 mask = first_lanes(n - i);
    const __m512 sum =
        _mm512_add_ps(_mm512_maskz_loadu_ps(mask, acc + i), _mm512_maskz_loadu_ps(mask, v + i));
    _mm512_mask_storeu_ps(acc + i, mask, sum);
  }
}

void avx512_divide_into(float* out, const float* a, float divisor, std::size_t n) noexcept {
  const __m512 d = _mm512_set1_ps(divisor);
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    _mm512_storeu_ps(out + i, _mm512_div_ps(_mm512_loadu_ps(a + i), d));
  if (i < n) {
    const __mmask16 mask = first_lanes(n - i);
    _mm512_mask_storeu_ps(out + i, mask,
                          _mm512_maskz_div_ps(mask, _mm512_maskz_loadu_ps(mask, a + i), d));
  }
}

}  // namespace

const KernelTable kAvx512Kernels = {
    avx512_dot,          avx512_sum_squares,    avx512_dot_and_norm, avx512_squared_distance,
    avx512_weighted_dot, avx512_difference_dot, avx512_add_into,     avx512_divide_into,
};

}  // namespace orlo_kiv::kernels

#pragma GCC pop_options
