#include "adapters/index/learnable_routing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapters/index/kiv.h"
#include "core/internal_error.h"

namespace orlo_kiv {
namespace {

TEST(RoutingWeights, PerDimensionStartsAtOnePerDimension) {
  const RoutingWeights weights(4, RoutingConfig{});
  ASSERT_EQ(weights.weights().size(), 4u);
  for (float w : weights.weights()) EXPECT_EQ(w, 1.0f);
  const std::vector<float> q{1, 0, 0, 0};
  const std::vector<float> c{0.5f, 0.5f, 0, 0};
  EXPECT_FLOAT_EQ(weights.routed_distance(q, c), 0.5f);
}

TEST(RoutingWeights, SingleWeightGivesTheSameDistance) {
  RoutingConfig config;
  config.per_dimension = false;
  const RoutingWeights weights(4, config);
  ASSERT_EQ(weights.weights().size(), 1u);
  EXPECT_FLOAT_EQ(
      weights.routed_distance(std::vector<float>{1, 0, 0, 0}, std::vector<float>{0.5f, 0.5f, 0, 0}),
      0.5f);
}

TEST(RoutingWeights, DistanceIsNotNormalised) {
  const RoutingWeights weights(4, RoutingConfig{});
  EXPECT_FLOAT_EQ(
      weights.routed_distance(std::vector<float>{2, 0, 0, 0}, std::vector<float>{1, 0, 0, 0}),
      -1.0f);
  EXPECT_FLOAT_EQ(weights.routed_distance(std::vector<float>{}, std::vector<float>{}), 1.0f);
}

TEST(RoutingWeights, ReplaceFromLittleEndianBytes) {
  RoutingWeights weights(2, RoutingConfig{});
  const float values[2] = {0.25f, -3.0f};
  std::uint8_t bytes[8];
  std::memcpy(bytes, values, sizeof bytes);  // x86-64 is little-endian
  weights.replace_from_bytes(bytes);
  EXPECT_EQ(weights.weights()[0], 0.25f);
  EXPECT_EQ(weights.weights()[1], -3.0f);
  EXPECT_THROW(weights.replace_from_bytes(std::span<const std::uint8_t>(bytes, 4)), InternalError);
}

TEST(RoutingWeights, BuiltOnlyWhenTheConfigurationAsksForRouting) {
  EXPECT_FALSE(KivIndex::cosine(4).routing_weights().has_value());
  KivConfig config;
  config.use_learnable_routing = true;
  const KivIndex routed = KivIndex::with_config(4, config);
  ASSERT_TRUE(routed.routing_weights().has_value());
  EXPECT_EQ(routed.routing_weights()->weights().size(), 4u);
}

}  // namespace
}  // namespace orlo_kiv
