#include "core/proximity.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/internal_error.h"
#include "core/merge.h"

namespace orlo_kiv {
namespace {

TEST(Proximity, CosineOfVectorWithItselfAndItsNegation) {
  const CosineProximity cosine;
  const std::vector<float> v{0.3f, -1.2f, 2.5f};
  const std::vector<float> negated{-0.3f, 1.2f, -2.5f};
  EXPECT_NEAR(cosine.proximity(v, v), 1.0f, 1e-6f);
  EXPECT_NEAR(cosine.proximity(v, negated), -1.0f, 1e-6f);
  EXPECT_EQ(cosine.name(), "cosine");
}

TEST(Proximity, ZeroOrEmptyVectorsGiveZero) {
  const CosineProximity cosine;
  const std::vector<float> zero{0.0f, 0.0f};
  const std::vector<float> v{1.0f, 2.0f};
  EXPECT_EQ(cosine.proximity(zero, v), 0.0f);
  EXPECT_EQ(cosine.proximity(v, zero), 0.0f);
  EXPECT_EQ(cosine.proximity(std::vector<float>{}, std::vector<float>{}), 0.0f);
}

TEST(Proximity, NanComponentGivesNanAndResultIsNotClamped) {
  const CosineProximity cosine;
  const std::vector<float> v{1.0f, std::numeric_limits<float>::quiet_NaN()};
  EXPECT_TRUE(std::isnan(cosine.proximity(v, std::vector<float>{1.0f, 1.0f})));
}

TEST(Proximity, LengthMismatchIsAnInternalError) {
  const CosineProximity cosine;
  try {
    cosine.proximity(std::vector<float>(3, 1.0f), std::vector<float>(4, 1.0f));
    FAIL() << "expected an internal error";
  } catch (const InternalError& error) {
    EXPECT_EQ(error.message(), "Points must have same dimensionality");
  }
}

TEST(Normalize, ZeroStaysZeroAndThreeFourBecomesUnit) {
  EXPECT_EQ(normalize(std::vector<float>{0.0f, 0.0f}), (std::vector<float>{0.0f, 0.0f}));
  const auto unit = normalize(std::vector<float>{3.0f, 4.0f});
  EXPECT_FLOAT_EQ(unit[0], 0.6f);
  EXPECT_FLOAT_EQ(unit[1], 0.8f);
}

TEST(Merge, MeanOfVectors) {
  const MeanMerge mean;
  const std::vector<float> a{1.0f, 2.0f};
  const std::vector<float> b{3.0f, 4.0f};
  const std::vector<std::span<const float>> both{a, b};
  EXPECT_EQ(mean.merge(both), (std::vector<float>{2.0f, 3.0f}));
  const std::vector<std::span<const float>> single{a};
  EXPECT_EQ(mean.merge(single), a);
  EXPECT_EQ(mean.name(), "mean");
}

TEST(Merge, EmptyOrRaggedInputIsAnInternalError) {
  const MeanMerge mean;
  const std::vector<float> a{1.0f, 2.0f};
  const std::vector<float> b{1.0f, 2.0f, 3.0f};
  const std::vector<std::span<const float>> ragged{a, b};
  const std::vector<std::span<const float>> empty;
  EXPECT_THROW(mean.merge(empty), InternalError);
  try {
    mean.merge(ragged);
    FAIL() << "expected an internal error";
  } catch (const InternalError& error) {
    EXPECT_EQ(error.message(), "All points must have same dimensionality");
  }
}

}  // namespace
}  // namespace orlo_kiv
