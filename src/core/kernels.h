// Vector kernels shared by proximity, centroid updates and queries.
//
// Each kernel makes one pass over its inputs and allocates nothing. The
// processor is inspected once, on first use, and the widest supported variant
// (AVX-512, AVX2 with FMA, or the portable loops) is chosen for the life of the
// process. Vectorised variants accumulate in several lanes and fuse multiply
// and add, so their sums can differ from strict index-order accumulation in the
// last bits; for a given machine they are deterministic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orlo_kiv::kernels {

struct DotAndNorm {
  float dot;      // Σ q[i] * v[i]
  float norm_sq;  // Σ v[i]²
};

// Σ a[i] * b[i].
float dot(const float* a, const float* b, std::size_t n) noexcept;

// Σ a[i]².
float sum_squares(const float* a, std::size_t n) noexcept;

// Both sums of a cosine against a query whose own norm is already known.
DotAndNorm dot_and_norm(const float* q, const float* v, std::size_t n) noexcept;

// Σ (a[i] - b[i])².
float squared_distance(const float* a, const float* b, std::size_t n) noexcept;

// Σ (w[i] * a[i]) * b[i].
float weighted_dot(const float* w, const float* a, const float* b, std::size_t n) noexcept;

// Σ (a[i] - b[i]) * c[i]: the dot product of a difference with a third vector,
// without materialising the difference.
float difference_dot(const float* a, const float* b, const float* c, std::size_t n) noexcept;

// acc[i] += v[i].
void add_into(float* acc, const float* v, std::size_t n) noexcept;

// out[i] = a[i] / divisor; out may be a. Each quotient is correctly rounded,
// so every variant gives the same bits as the plain loop.
void divide_into(float* out, const float* a, float divisor, std::size_t n) noexcept;

// --- Variants, for tests and benchmarks ------------------------------------------

enum class Isa : std::uint8_t { Portable, Avx2, Avx512 };

struct KernelTable {
  float (*dot)(const float*, const float*, std::size_t) noexcept;
  float (*sum_squares)(const float*, std::size_t) noexcept;
  DotAndNorm (*dot_and_norm)(const float*, const float*, std::size_t) noexcept;
  float (*squared_distance)(const float*, const float*, std::size_t) noexcept;
  float (*weighted_dot)(const float*, const float*, const float*, std::size_t) noexcept;
  float (*difference_dot)(const float*, const float*, const float*, std::size_t) noexcept;
  void (*add_into)(float*, const float*, std::size_t) noexcept;
  void (*divide_into)(float*, const float*, float, std::size_t) noexcept;
};

// Whether this processor (and its operating system) can run the variant.
bool isa_supported(Isa isa) noexcept;

// The kernels of one variant. Requires isa_supported(isa).
const KernelTable& kernels_for(Isa isa) noexcept;

// The variant the free functions above use: the widest supported, or the
// portable loops when they were requested before the first kernel call.
Isa active_isa() noexcept;

// Makes the free functions above run the portable loops, whatever the
// processor offers: results can then be compared across variants, and the
// fallback is exercised on machines with wide vector units. Takes effect only
// when called before the first kernel call, which fixes the choice.
void request_portable_kernels() noexcept;

std::string_view isa_name(Isa isa) noexcept;

}  // namespace orlo_kiv::kernels
