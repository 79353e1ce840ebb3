// Run-time choice of the kernel variant: the processor is inspected once, on
// the first kernel call, and the widest variant it supports serves every later
// call through one table of function pointers.
#include "core/kernels.h"

#include <atomic>

#include "core/kernels_variants.h"

namespace orlo_kiv::kernels {
namespace {

std::atomic<bool> portable_requested{false};

Isa widest_supported_isa() noexcept {
  if (isa_supported(Isa::Avx512)) return Isa::Avx512;
  if (isa_supported(Isa::Avx2)) return Isa::Avx2;
  return Isa::Portable;
}

// Made once, on the first kernel call, and kept for the life of the process.
Isa chosen_isa() noexcept {
  static const Isa isa = portable_requested.load() ? Isa::Portable : widest_supported_isa();
  return isa;
}

const KernelTable& active() noexcept {
  static const KernelTable& table = kernels_for(chosen_isa());
  return table;
}

}  // namespace

bool isa_supported(Isa isa) noexcept {
  // The processor checks also confirm that the operating system saves the
  // wider registers, so a supported variant is safe to run. Initialising the
  // feature table again is harmless and makes the answer independent of the
  // order in which shared-object constructors ran.
  __builtin_cpu_init();
  switch (isa) {
    case Isa::Portable:
      return true;
    case Isa::Avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Isa::Avx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
}

const KernelTable& kernels_for(Isa isa) noexcept {
  switch (isa) {
    case Isa::Avx512:
      return kAvx512Kernels;
    case Isa::Avx2:
      return kAvx2Kernels;
    case Isa::Portable:
      break;
  }
  return kPortableKernels;
}

Isa active_isa() noexcept { return chosen_isa(); }

void request_portable_kernels() noexcept { portable_requested.store(true); }

std::string_view isa_name(Isa isa) noexcept {
  switch (isa) {
    case Isa::Avx512:
      return "avx512";
    case Isa::Avx2:
      return "avx2";
    case Isa::Portable:
      break;
  }
  return "portable";
}

float dot(const float* a, const float* b, std::size_t n) noexcept { return active().dot(a, b, n); }

float sum_squares(const float* a, std::size_t n) noexcept { return active().sum_squares(a, n); }

DotAndNorm dot_and_norm(const float* q, const float* v, std::size_t n) noexcept {
  return active().dot_and_norm(q, v, n);
}

float squared_distance(const float* a, const float* b, std::size_t n) noexcept {
  return active().squared_distance(a, b, n);
}

float weighted_dot(const float* w, const float* a, const float* b, std::size_t n) noexcept {
  return active().weighted_dot(w, a, b, n);
}

float difference_dot(const float* a, const float* b, const float* c, std::size_t n) noexcept {
  return active().difference_dot(a, b, c, n);
}

void add_into(float* acc, const float* v, std::size_t n) noexcept { active().add_into(acc, v, n); }

void divide_into(float* out, const float* a, float divisor, std::size_t n) noexcept {
  active().divide_into(out, a, divisor, n);
}

}  // namespace orlo_kiv::kernels
