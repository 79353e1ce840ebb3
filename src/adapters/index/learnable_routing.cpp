#include "adapters/index/learnable_routing.h"

#include <algorithm>

#include "adapters/index/persistence_bytes.h"
#include "core/internal_error.h"
#include "core/kernels.h"

namespace orlo_kiv {

RoutingWeights::RoutingWeights(std::size_t dimensionality, const RoutingConfig& config)
    : weights_(config.per_dimension ? dimensionality : 1, 1.0f),
      config_(config),
      dimensionality_(dimensionality) {}

float RoutingWeights::routed_distance(std::span<const float> query,
                                      std::span<const float> centroid) const noexcept {
  if (config_.per_dimension) {
    const std::size_t m = std::min({query.size(), centroid.size(), weights_.size()});
    return 1.0f - kernels::weighted_dot(weights_.data(), query.data(), centroid.data(), m);
  }
  const std::size_t n = std::min(query.size(), centroid.size());
  const float weight = weights_.empty() ? 0.0f : weights_[0];
  return 1.0f - weight * kernels::dot(query.data(), centroid.data(), n);
}

void RoutingWeights::replace_from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != weights_.size() * sizeof(float)) {
    internal_error("routing weights need 4 bytes per weight");
  }
  decode_f32s_le(bytes.data(), weights_);
}

}  // namespace orlo_kiv
