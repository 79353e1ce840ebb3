// The distance rule of every query: cosine, recency blend, routed distance and
// the subspace rule, checked on single containers against hand-computed values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "adapters/index/kiv.h"
#include "core/internal_error.h"
#include "tree_builder.h"

namespace orlo_kiv {
namespace {

using testing::TreeBuilder;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::uint64_t kNow = 1'700'000'000'000;
constexpr std::uint64_t kHourMs = 3'600'000;

Container chunk_at(std::vector<float> v, std::uint64_t timestamp_ms) {
  return Container::chunk(testing::id_of(1), std::move(v), timestamp_ms);
}

Container branch_with(std::unique_ptr<Subspace> subspace, std::vector<float> centroid) {
  return Container(testing::id_of(2), ContainerLevel::Document, kNow, {}, 1, std::move(centroid),
                   std::nullopt, std::move(subspace));
}

KivConfig subspace_config() {
  KivConfig config;
  config.use_subspaces = true;
  return config;
}

std::unique_ptr<Subspace> rebuilt(std::vector<std::vector<float>> leaves, std::size_t d) {
  std::vector<std::span<const float>> views(leaves.begin(), leaves.end());
  return std::make_unique<Subspace>(Subspace::rebuild(views, 3, d));
}

TEST(ContainerDistance, CosineGivesOneMinusSimilarity) {
  const KivIndex index = KivIndex::cosine(2);
  const std::vector<float> q{1.0f, 0.0f};
  const float d = index.container_distance(q, kNow, chunk_at({0.6f, 0.8f}, kNow));
  EXPECT_FLOAT_EQ(d, 0.4f);
  EXPECT_FLOAT_EQ(index.reported_score(d), 0.6f);
  // A zero vector on either side has similarity 0.
  EXPECT_EQ(index.container_distance(q, kNow, chunk_at({0.0f, 0.0f}, kNow)), 1.0f);
  const std::vector<float> zero{0.0f, 0.0f};
  EXPECT_EQ(index.container_distance(zero, kNow, chunk_at({0.6f, 0.8f}, kNow)), 1.0f);
  // Not normalised away: the same direction at another length is as close.
  EXPECT_NEAR(index.container_distance(q, kNow, chunk_at({5.0f, 0.0f}, kNow)), 0.0f, 1e-7f);
}

TEST(ContainerDistance, CosineMatchesTheProximityStrategy) {
  const KivIndex index = KivIndex::cosine(37);
  std::vector<float> q(37);
  std::vector<float> c(37);
  for (std::size_t i = 0; i < 37; ++i) {
    q[i] = std::sin(static_cast<float>(i));
    c[i] = std::cos(static_cast<float>(3 * i));
  }
  const float s = index.proximity().proximity(q, c);
  EXPECT_EQ(index.container_distance(q, kNow, chunk_at(c, kNow)), 1.0f - s);
}

TEST(ContainerDistance, CentroidOfAnotherLengthIsAnInternalError) {
  const KivIndex index = KivIndex::cosine(2);
  const std::vector<float> q{1.0f, 0.0f};
  try {
    index.container_distance(q, kNow, chunk_at({1.0f, 0.0f, 0.0f}, kNow));
    FAIL() << "expected an internal error";
  } catch (const InternalError& error) {
    EXPECT_EQ(error.message(), "Points must have same dimensionality");
  }
}

TEST(ContainerDistance, TemporalWeightBlendsRecency) {
  KivConfig config;
  config.temporal_weight = 0.5f;
  const KivIndex index = KivIndex::with_config(2, config);
  const std::vector<float> q{1.0f, 0.0f};
  // Cosine 0.8, ten hours old: recency distance 1 - e^-0.01 = 0.00995.
  const float d = index.container_distance(q, kNow, chunk_at({0.8f, 0.6f}, kNow - 10 * kHourMs));
  EXPECT_NEAR(d, 0.10498f, 1e-5f);
  EXPECT_NEAR(index.reported_score(d), 0.8950f, 1e-4f);
}

TEST(ContainerDistance, FullTemporalWeightIgnoresTheQuery) {
  KivConfig config;
  config.temporal_weight = 1.0f;
  const KivIndex index = KivIndex::with_config(2, config);
  const Container day_old = chunk_at({0.8f, 0.6f}, kNow - 24 * kHourMs);
  const Container day_ahead = chunk_at({0.8f, 0.6f}, kNow + 24 * kHourMs);
  for (const std::vector<float>& q : {std::vector<float>{1.0f, 0.0f}, {-3.0f, 2.0f}}) {
    const float score = index.reported_score(index.container_distance(q, kNow, day_old));
    EXPECT_NEAR(score, std::exp(-0.024), 1e-6);
    EXPECT_NEAR(score, 0.9763f, 1e-4f);
    // A timestamp in the future counts by its distance from now.
    EXPECT_EQ(index.container_distance(q, kNow, day_ahead),
              index.container_distance(q, kNow, day_old));
  }
}

TEST(ContainerDistance, ZeroTemporalWeightKeepsTheSemanticDistanceExactly) {
  const KivIndex index = KivIndex::cosine(2);
  const std::vector<float> q{0.3f, -0.7f};
  const Container old = chunk_at({0.8f, 0.6f}, 0);
  const float s = index.proximity().proximity(q, old.centroid());
  EXPECT_EQ(index.container_distance(q, kNow, old), 1.0f - s);
  const std::vector<float> nan_query{kNaN, 0.0f};
  EXPECT_TRUE(std::isnan(index.container_distance(nan_query, kNow, old)));
}

KivIndex routed_index(std::size_t d, bool per_dimension) {
  KivConfig config;
  config.use_learnable_routing = true;
  config.use_subspaces = true;  // routing takes precedence
  config.routing.per_dimension = per_dimension;
  return KivIndex::with_config(d, config);
}

TEST(ContainerDistance, RoutedDistanceIsOneMinusWeightedDot) {
  for (bool per_dimension : {true, false}) {
    const KivIndex index = routed_index(4, per_dimension);
    ASSERT_TRUE(index.routing_weights().has_value());
    EXPECT_EQ(index.routing_weights()->weights().size(), per_dimension ? 4u : 1u);
    const std::vector<float> q{1.0f, 0.0f, 0.0f, 0.0f};
    const float d = index.container_distance(q, kNow, chunk_at({0.5f, 0.5f, 0.0f, 0.0f}, kNow));
    EXPECT_EQ(d, 0.5f);
    EXPECT_EQ(index.reported_score(d), 0.5f);
    // No normalisation: a longer query is "closer than identical".
    const std::vector<float> long_q{2.0f, 0.0f, 0.0f, 0.0f};
    const float routed = index.container_distance(long_q, kNow, chunk_at({1.0f, 0, 0, 0}, kNow));
    EXPECT_EQ(routed, -1.0f);
    EXPECT_EQ(index.reported_score(routed), 2.0f);
    // Branch containers route too, ahead of their subspaces.
    const Container branch = branch_with(std::make_unique<Subspace>(4), {0.5f, 0.5f, 0.0f, 0.0f});
    EXPECT_EQ(index.container_distance(q, kNow, branch), 0.5f);
  }
}

TEST(ContainerDistance, RoutedDistanceUsesEachWeight) {
  KivIndex index = routed_index(4, true);
  const float weights[4] = {2.0f, 0.5f, 1.0f, 1.0f};
  std::uint8_t bytes[16];
  std::memcpy(bytes, weights, sizeof bytes);  // little-endian machine
  RoutingWeights replaced = *index.routing_weights();
  replaced.replace_from_bytes(bytes);
  index.set_routing_weights(replaced);
  const std::vector<float> q{1.0f, 1.0f, 0.0f, 3.0f};
  const float d = index.container_distance(q, kNow, chunk_at({1.0f, 1.0f, 0.0f, 1.0f}, kNow));
  EXPECT_EQ(d, 1.0f - (2.0f + 0.5f + 3.0f));
}

TEST(ContainerDistance, RoutingWithoutWeightsFallsBackToCosine) {
  KivIndex index = routed_index(2, true);
  index.set_routing_weights(std::nullopt);
  const std::vector<float> q{2.0f, 0.0f};
  EXPECT_NEAR(index.container_distance(q, kNow, chunk_at({1.0f, 0.0f}, kNow)), 0.0f, 1e-7f);
}

TEST(ContainerDistance, WeightsWithoutRoutingSwitchAreIgnored) {
  KivIndex index = KivIndex::cosine(2);
  index.set_routing_weights(RoutingWeights(2, RoutingConfig{}));
  const std::vector<float> q{2.0f, 0.0f};
  EXPECT_NEAR(index.container_distance(q, kNow, chunk_at({1.0f, 0.0f}, kNow)), 0.0f, 1e-7f);
}

TEST(ContainerDistance, SubspaceRuleWithOneDirectionAndZeroMean) {
  const KivIndex index = KivIndex::with_config(2, subspace_config());
  // Leaves (1,0), (-1,0), (0,0): mean 0, one direction (1,0) of variance 2/3.
  const Container doc = branch_with(rebuilt({{1, 0}, {-1, 0}, {0, 0}}, 2), {1.0f, 0.0f});
  ASSERT_EQ(doc.subspace()->components().size(), 1u);
  const std::vector<float> q{0.6f, 0.8f};
  // base 0; energy 0.36 over |r|² = 1; t = 0.18; blended 0.3 * 0.18.
  EXPECT_NEAR(index.container_distance(q, kNow, doc), 1.0f - 0.054f, 1e-6f);
  // Chunks are scored by cosine even with subspaces on.
  EXPECT_NEAR(index.container_distance(q, kNow, chunk_at({0.6f, 0.8f}, kNow)), 0.0f, 1e-6f);
}

TEST(ContainerDistance, SubspaceRuleMeasuresTheOffsetFromTheMean) {
  const KivIndex index = KivIndex::with_config(2, subspace_config());
  // Leaves (1,1), (3,1), (2,1): mean direction (2,1)/√5, one direction (1,0).
  const Container doc = branch_with(rebuilt({{1, 1}, {3, 1}, {2, 1}}, 2), {0.0f, 0.0f});
  const std::vector<float> q{1.0f, 0.0f};
  const float base = 2.0f / std::sqrt(5.0f);
  const float rx = 1.0f - base;
  const float ry = -1.0f / std::sqrt(5.0f);
  const float t = (base + rx * rx / (rx * rx + ry * ry)) * 0.5f;
  EXPECT_NEAR(index.container_distance(q, kNow, doc), 1.0f - (0.3f * t + 0.7f * base), 1e-5f);
  EXPECT_NEAR(index.container_distance(q, kNow, doc), 0.231819f, 1e-5f);
}

TEST(ContainerDistance, SubspaceRuleWeighsDirectionsByTheirVariance) {
  const KivIndex index = KivIndex::with_config(3, subspace_config());
  // Variance 2 along x, 0.5 along y, nothing along z.
  const Container doc =
      branch_with(rebuilt({{2, 0, 0}, {-2, 0, 0}, {0, 1, 0}, {0, -1, 0}}, 3), {0, 0, 0});
  ASSERT_EQ(doc.subspace()->components().size(), 2u);
  const std::vector<float> q{0.6f, 0.8f, 0.0f};
  // energy = 0.36·√(2/2) + 0.64·√(0.5/2) = 0.68; t = 0.34.
  EXPECT_NEAR(index.container_distance(q, kNow, doc), 1.0f - 0.3f * 0.34f, 1e-5f);
}

TEST(ContainerDistance, SubspaceRuleWithoutDirectionsUsesTheClampedMean) {
  const KivIndex index = KivIndex::with_config(2, subspace_config());
  auto subspace = std::make_unique<Subspace>(2);
  subspace->add_point(std::vector<float>{1.0f, 0.0f});
  const Container doc = branch_with(std::move(subspace), {0.0f, 0.0f});
  EXPECT_EQ(index.container_distance(std::vector<float>{3.0f, 0.0f}, kNow, doc), 0.0f);
  EXPECT_EQ(index.container_distance(std::vector<float>{-3.0f, 0.0f}, kNow, doc), 2.0f);
  EXPECT_FLOAT_EQ(index.container_distance(std::vector<float>{0.5f, 9.0f}, kNow, doc), 0.5f);
}

TEST(ContainerDistance, TinySubspaceWeightUsesTheMeanAlone) {
  KivConfig config = subspace_config();
  config.subspace_weight = 1e-7f;
  const KivIndex index = KivIndex::with_config(2, config);
  const Container doc = branch_with(rebuilt({{1, 0}, {-1, 0}, {0, 0}}, 2), {1.0f, 0.0f});
  EXPECT_EQ(index.container_distance(std::vector<float>{0.6f, 0.8f}, kNow, doc), 1.0f);
}

TEST(ContainerDistance, UnallocatedMeanScoresAsZeros) {
  const KivIndex index = KivIndex::with_config(3, subspace_config());
  const Container fresh = branch_with(std::make_unique<Subspace>(3), {1.0f, 0.0f, 0.0f});
  auto zeros = std::make_unique<Subspace>(3);
  zeros->add_point(std::vector<float>{0.0f, 0.0f, 0.0f});
  ASSERT_FALSE(zeros->mean().empty());
  ASSERT_TRUE(fresh.subspace()->mean().empty());
  const Container zero_mean = branch_with(std::move(zeros), {1.0f, 0.0f, 0.0f});

  for (const std::vector<float>& q : {std::vector<float>{1.0f, -2.0f, 0.5f},
                                      {0.0f, kInf, 1.0f},
                                      {kNaN, 0.0f, 0.0f},
                                      {0, 0, -kInf}}) {
    const float from_fresh = index.container_distance(q, kNow, fresh);
    const float from_zeros = index.container_distance(q, kNow, zero_mean);
    if (std::isfinite(q[0]) && std::isfinite(q[1]) && std::isfinite(q[2])) {
      EXPECT_EQ(from_fresh, 1.0f);
    } else {
      EXPECT_TRUE(std::isnan(from_fresh));
    }
    EXPECT_EQ(std::isnan(from_fresh), std::isnan(from_zeros));
    if (!std::isnan(from_fresh)) {
      EXPECT_EQ(from_fresh, from_zeros);
    }
  }
}

}  // namespace
}  // namespace orlo_kiv
