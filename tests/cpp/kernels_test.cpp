// Every kernel variant this processor supports against the portable loops:
// equal up to the rounding of a different summation order, for lengths around
// each vector width, and with the same NaN and infinity outcomes.
#include "core/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace orlo_kiv::kernels {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<Isa> vectorised_isas() {
  std::vector<Isa> isas;
  for (Isa isa : {Isa::Avx2, Isa::Avx512}) {
    if (isa_supported(isa)) isas.push_back(isa);
  }
  return isas;
}

std::vector<float> random_vector(std::size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  std::vector<float> v(n);
  for (float& x : v) x = value(rng);
  return v;
}

// Lengths of 0, around every multiple of 8 and 16 up to a few blocks, and a
// typical embedding width.
std::vector<std::size_t> test_lengths() {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (std::size_t n : {383, 384, 385, 1535, 1536, 1537}) lengths.push_back(n);
  return lengths;
}

// A reordered sum of n terms of magnitude at most `scale` differs from the
// index-order one by at most a few ulps of scale per term.
void expect_close(float got, float want, float scale, std::size_t n, const char* what,
                  std::size_t length, Isa isa) {
  const float tolerance =
      4.0f * static_cast<float>(n + 1) * scale * std::numeric_limits<float>::epsilon();
  EXPECT_NEAR(got, want, tolerance) << what << " length " << length << " " << isa_name(isa);
}

TEST(Kernels, PortableKernelsSumInIndexOrder) {
  const KernelTable& k = kernels_for(Isa::Portable);
  const std::vector<float> a{1.0f, 2.0f, 3.0f};
  const std::vector<float> b{4.0f, -5.0f, 6.0f};
  const std::vector<float> w{0.5f, 2.0f, 1.0f};
  EXPECT_EQ(k.dot(a.data(), b.data(), 3), 12.0f);
  EXPECT_EQ(k.sum_squares(a.data(), 3), 14.0f);
  EXPECT_EQ(k.dot_and_norm(a.data(), b.data(), 3).dot, 12.0f);
  EXPECT_EQ(k.dot_and_norm(a.data(), b.data(), 3).norm_sq, 77.0f);
  EXPECT_EQ(k.squared_distance(a.data(), b.data(), 3), 9.0f + 49.0f + 9.0f);
  EXPECT_EQ(k.weighted_dot(w.data(), a.data(), b.data(), 3), 2.0f - 20.0f + 18.0f);
  EXPECT_EQ(k.difference_dot(a.data(), b.data(), w.data(), 3), -1.5f + 14.0f - 3.0f);
  std::vector<float> acc{1.0f, 1.0f, 1.0f};
  k.add_into(acc.data(), a.data(), 3);
  EXPECT_EQ(acc, (std::vector<float>{2.0f, 3.0f, 4.0f}));
}

// No test here requests the portable kernels, so the widest variant serves.
TEST(Kernels, ActiveVariantIsTheWidestSupported) {
  const Isa active = active_isa();
  EXPECT_TRUE(isa_supported(active));
  if (isa_supported(Isa::Avx512)) {
    EXPECT_EQ(active, Isa::Avx512);
  }
  const std::vector<float> a{1.0f, 2.0f};
  EXPECT_EQ(dot(a.data(), a.data(), 2), kernels_for(active).dot(a.data(), a.data(), 2));
}

TEST(Kernels, VariantsAgreeWithPortableLoops) {
  const KernelTable& ref = kernels_for(Isa::Portable);
  std::mt19937 rng(7);
  for (Isa isa : vectorised_isas()) {
    const KernelTable& k = kernels_for(isa);
    for (std::size_t n : test_lengths()) {
      const auto a = random_vector(n, rng);
      const auto b = random_vector(n, rng);
      const auto c = random_vector(n, rng);
      const float* pa = a.data();
      const float* pb = b.data();
      const float* pc = c.data();
      expect_close(k.dot(pa, pb, n), ref.dot(pa, pb, n), 4.0f, n, "dot", n, isa);
      expect_close(k.sum_squares(pa, n), ref.sum_squares(pa, n), 4.0f, n, "sum_squares", n, isa);
      const DotAndNorm fused = k.dot_and_norm(pa, pb, n);
      const DotAndNorm fused_ref = ref.dot_and_norm(pa, pb, n);
      expect_close(fused.dot, fused_ref.dot, 4.0f, n, "dot_and_norm.dot", n, isa);
      expect_close(fused.norm_sq, fused_ref.norm_sq, 4.0f, n, "dot_and_norm.norm", n, isa);
      expect_close(k.squared_distance(pa, pb, n), ref.squared_distance(pa, pb, n), 16.0f, n,
                   "squared_distance", n, isa);
      expect_close(k.weighted_dot(pa, pb, pc, n), ref.weighted_dot(pa, pb, pc, n), 8.0f, n,
                   "weighted_dot", n, isa);
      expect_close(k.difference_dot(pa, pb, pc, n), ref.difference_dot(pa, pb, pc, n), 8.0f, n,
                   "difference_dot", n, isa);

      // Element-wise addition involves no reordering: the results are exact.
      std::vector<float> acc = c;
      std::vector<float> acc_ref = c;
      k.add_into(acc.data(), pa, n);
      ref.add_into(acc_ref.data(), pa, n);
      EXPECT_EQ(acc, acc_ref) << "add_into length " << n << " " << isa_name(isa);

      // So is element-wise division: every quotient is correctly rounded.
      for (const float divisor : {3.0f, -0.7f, 0.0f, 1e-30f}) {
        std::vector<float> quotient(n);
        std::vector<float> quotient_ref(n);
        k.divide_into(quotient.data(), pa, divisor, n);
        ref.divide_into(quotient_ref.data(), pa, divisor, n);
        const auto same_bits = [](float x, float y) {
          return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y);
        };
        EXPECT_TRUE(std::equal(quotient.begin(), quotient.end(), quotient_ref.begin(), same_bits))
            << "divide_into length " << n << " by " << divisor << " " << isa_name(isa);
      }
    }
  }
}

TEST(Kernels, EmptyVectorsSumToZero) {
  for (Isa isa : {Isa::Portable, Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    const KernelTable& k = kernels_for(isa);
    // Pointers that must never be read for length 0.
    const float* none = nullptr;
    EXPECT_EQ(k.dot(none, none, 0), 0.0f) << isa_name(isa);
    EXPECT_EQ(k.sum_squares(none, 0), 0.0f) << isa_name(isa);
    EXPECT_EQ(k.dot_and_norm(none, none, 0).dot, 0.0f) << isa_name(isa);
    EXPECT_EQ(k.dot_and_norm(none, none, 0).norm_sq, 0.0f) << isa_name(isa);
    EXPECT_EQ(k.squared_distance(none, none, 0), 0.0f) << isa_name(isa);
    EXPECT_EQ(k.weighted_dot(none, none, none, 0), 0.0f) << isa_name(isa);
    EXPECT_EQ(k.difference_dot(none, none, none, 0), 0.0f) << isa_name(isa);
  }
}

enum class Outcome { Finite, PositiveInfinity, NegativeInfinity, NaN };

Outcome outcome(float x) {
  if (std::isnan(x)) return Outcome::NaN;
  if (std::isinf(x)) return x > 0 ? Outcome::PositiveInfinity : Outcome::NegativeInfinity;
  return Outcome::Finite;
}

TEST(Kernels, NonFiniteInputsGiveTheSameOutcomeInEveryVariant) {
  const KernelTable& ref = kernels_for(Isa::Portable);
  struct Case {
    std::size_t position;
    float value;
  };
  // Positions in the unrolled blocks, the single steps and the masked tail.
  const std::vector<Case> cases{{0, kNaN},  {5, kInf},   {17, -kInf}, {33, kNaN},
                                {70, kInf}, {71, -kInf}, {3, 0.0f}};
  std::mt19937 rng(11);
  for (Isa isa : vectorised_isas()) {
    const KernelTable& k = kernels_for(isa);
    for (std::size_t n : {1u, 7u, 9u, 40u, 72u, 75u}) {
      for (const Case& c : cases) {
        if (c.position >= n) continue;
        auto a = random_vector(n, rng);
        auto b = random_vector(n, rng);
        const auto w = random_vector(n, rng);
        a[c.position] = c.value;
        // A second infinity of the other sign makes some sums inf - inf.
        if (n > 1 && std::isinf(c.value)) b[n - 1 - (c.position == n - 1)] = -c.value;
        const float* pa = a.data();
        const float* pb = b.data();
        const float* pw = w.data();
        const std::string where = std::string(isa_name(isa)) + " length " + std::to_string(n) +
                                  " position " + std::to_string(c.position);
        EXPECT_EQ(outcome(k.dot(pa, pb, n)), outcome(ref.dot(pa, pb, n))) << where;
        EXPECT_EQ(outcome(k.sum_squares(pa, n)), outcome(ref.sum_squares(pa, n))) << where;
        EXPECT_EQ(outcome(k.dot_and_norm(pa, pb, n).dot), outcome(ref.dot_and_norm(pa, pb, n).dot))
            << where;
        EXPECT_EQ(outcome(k.dot_and_norm(pb, pa, n).norm_sq),
                  outcome(ref.dot_and_norm(pb, pa, n).norm_sq))
            << where;
        EXPECT_EQ(outcome(k.squared_distance(pa, pb, n)), outcome(ref.squared_distance(pa, pb, n)))
            << where;
        EXPECT_EQ(outcome(k.weighted_dot(pw, pa, pb, n)), outcome(ref.weighted_dot(pw, pa, pb, n)))
            << where;
        EXPECT_EQ(outcome(k.difference_dot(pa, pb, pw, n)),
                  outcome(ref.difference_dot(pa, pb, pw, n)))
            << where;
      }
    }
  }
}

TEST(Kernels, TailLoadsStayInsideTheVector) {
  // Each vector ends exactly at the end of its own heap block, so a load past
  // the end is caught by the address sanitizer; the values are checked too.
  for (Isa isa : {Isa::Portable, Isa::Avx2, Isa::Avx512}) {
    if (!isa_supported(isa)) continue;
    const KernelTable& k = kernels_for(isa);
    for (std::size_t n = 1; n <= 40; ++n) {
      const std::vector<float> ones(n, 1.0f);
      std::vector<float> acc(n, 2.0f);
      EXPECT_EQ(k.dot(ones.data(), ones.data(), n), static_cast<float>(n)) << isa_name(isa);
      EXPECT_EQ(k.dot_and_norm(ones.data(), ones.data(), n).norm_sq, static_cast<float>(n));
      k.add_into(acc.data(), ones.data(), n);
      EXPECT_EQ(acc, std::vector<float>(n, 3.0f)) << isa_name(isa);
    }
  }
}

}  // namespace
}  // namespace orlo_kiv::kernels
