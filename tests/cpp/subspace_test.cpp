#include "adapters/index/subspace.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/internal_error.h"

namespace orlo_kiv {
namespace {

std::vector<std::span<const float>> spans(const std::vector<std::vector<float>>& vectors) {
  return {vectors.begin(), vectors.end()};
}

TEST(Subspace, StartsWithoutAllocatingMoments) {
  const Subspace s(1536);
  EXPECT_FALSE(s.has_moments());
  EXPECT_TRUE(s.mean().empty());
  EXPECT_TRUE(s.second_moments().empty());
  EXPECT_EQ(s.count(), 0u);
}

TEST(Subspace, AddPointAccumulatesPackedMoments) {
  Subspace s(2);
  s.add_point(std::vector<float>{3.0f, 4.0f});
  EXPECT_EQ(std::vector<float>(s.sum().begin(), s.sum().end()), (std::vector<float>{3, 4}));
  EXPECT_EQ(std::vector<float>(s.second_moments().begin(), s.second_moments().end()),
            (std::vector<float>{9, 12, 16}));
  EXPECT_EQ(s.count(), 1u);
  EXPECT_FLOAT_EQ(s.mean()[0], 0.6f);
  EXPECT_FLOAT_EQ(s.mean()[1], 0.8f);
}

TEST(Subspace, PackedIndexWalksRowsOfTheUpperTriangle) {
  const std::size_t d = 4;
  std::size_t expected = 0;
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = i; j < d; ++j) EXPECT_EQ(Subspace::packed_index(i, j, d), expected++);
  }
}

TEST(Subspace, TooLongVectorIsAnIndexError) {
  Subspace s(2);
  try {
    s.add_point(std::vector<float>{1, 2, 3});
    FAIL() << "expected an internal error";
  } catch (const InternalError& error) {
    EXPECT_EQ(error.message(), "index out of bounds: the len is 2 but the index is 2");
  }
  EXPECT_EQ(s.count(), 0u);
}

TEST(Subspace, RebuildOfTwoLeavesHasNoDirections) {
  const std::vector<std::vector<float>> leaves{{1, 0}, {0, 1}};
  const Subspace s = Subspace::rebuild(spans(leaves), 3, 2);
  EXPECT_EQ(s.count(), 2u);
  EXPECT_TRUE(s.components().empty());
  EXPECT_TRUE(s.variances().empty());
  EXPECT_EQ(s.mean().size(), 2u);
}

TEST(Subspace, IdenticalLeavesHaveZeroCovarianceAndNoDirections) {
  const std::vector<std::vector<float>> leaves{{1, 2, 3}, {1, 2, 3}, {1, 2, 3}};
  const Subspace s = Subspace::rebuild(spans(leaves), 3, 3);
  EXPECT_EQ(s.count(), 3u);
  EXPECT_TRUE(s.components().empty());
}

TEST(Subspace, SymmetricLeavesGiveOneDirectionWithVarianceTwoThirds) {
  const std::vector<std::vector<float>> leaves{{1, 0}, {-1, 0}, {0, 0}};
  const Subspace s = Subspace::rebuild(spans(leaves), 3, 2);
  ASSERT_EQ(s.components().size(), 1u);
  EXPECT_FLOAT_EQ(s.components()[0][0], 1.0f);
  EXPECT_FLOAT_EQ(s.components()[0][1], 0.0f);
  ASSERT_EQ(s.variances().size(), 1u);
  EXPECT_FLOAT_EQ(s.variances()[0], 2.0f / 3.0f);
}

TEST(Subspace, NeverMoreDirectionsThanDimensions) {
  const std::vector<std::vector<float>> leaves{{1, 0}, {0, 3}, {-2, 0}, {0, -1}, {1, 1}};
  const Subspace s = Subspace::rebuild(spans(leaves), 10, 2);
  EXPECT_LE(s.components().size(), 2u);
  EXPECT_EQ(s.components().size(), s.variances().size());
  for (const auto& component : s.components()) {
    EXPECT_NEAR(component[0] * component[0] + component[1] * component[1], 1.0f, 1e-5f);
  }
  // Strongest first.
  if (s.variances().size() == 2) EXPECT_GE(s.variances()[0], s.variances()[1]);
}

}  // namespace
}  // namespace orlo_kiv

namespace orlo_kiv {
namespace {

TEST(Subspace, MomentsThatCannotBeAddressedAreAnInternalError) {
  Subspace s(std::size_t{1} << 40);  // d(d+1)/2 floats exceed any address space
  try {
    s.add_point(std::vector<float>{});
    FAIL() << "expected an internal error";
  } catch (const InternalError& error) {
    EXPECT_EQ(error.message(), "capacity overflow");
  }
  EXPECT_FALSE(s.has_moments());
  EXPECT_EQ(s.count(), 0u);
}

}  // namespace
}  // namespace orlo_kiv
