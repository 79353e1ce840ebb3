// Learnable routing: per-dimension weights that replace the proximity measure
// when an index is configured to route. No operation trains them; they keep
// their initial 1.0 or the values restored from saved data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "adapters/index/config.h"

namespace orlo_kiv {

class RoutingWeights {
 public:
  // One weight of 1.0 per dimension, or a single one when !config.per_dimension.
  RoutingWeights(std::size_t dimensionality, const RoutingConfig& config);

  // 1 - Σ w[i]·q[i]·c[i] over the shortest of the three (per dimension), or
  // 1 - w[0]·(q·c) over the shorter of q and c (single weight). Not normalised.
  float routed_distance(std::span<const float> query,
                        std::span<const float> centroid) const noexcept;

  // Replaces the weights from 4 little-endian bytes per weight, in order.
  // Requires bytes.size() == 4 * weights().size() (an internal error otherwise).
  void replace_from_bytes(std::span<const std::uint8_t> bytes);

  std::span<const float> weights() const noexcept { return weights_; }
  const RoutingConfig& config() const noexcept { return config_; }
  std::size_t dimensionality() const noexcept { return dimensionality_; }

 private:
  std::vector<float> weights_;
  RoutingConfig config_;
  std::size_t dimensionality_;
};

}  // namespace orlo_kiv
