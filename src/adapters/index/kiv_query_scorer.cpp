// The distance rule every query scores containers with.
#include "adapters/index/kiv_query_scorer.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/internal_error.h"
#include "core/kernels.h"

namespace orlo_kiv {
namespace {

std::size_t first_non_finite(std::span<const float> v) noexcept {
  const auto it = std::find_if(v.begin(), v.end(), [](float x) { return !std::isfinite(x); });
  return static_cast<std::size_t>(it - v.begin());
}

// Clamps to [-1, 1]; NaN stays NaN.
float clamp_unit(float x) noexcept {
  if (x < -1.0f) return -1.0f;
  if (x > 1.0f) return 1.0f;
  return x;
}

}  // namespace

QueryScorer::QueryScorer(const KivIndex& index, std::span<const float> query, std::uint64_t now_ms)
    : index_(index),
      containers_(index.containers()),
      query_(query),
      now_ms_(now_ms),
      similarity_(index.proximity_is_similarity()),
      subspace_weight_(index.config().subspace_weight),
      temporal_weight_(index.config().temporal_weight),
      temporal_decay_(static_cast<double>(index.config().temporal_decay)) {
  const KivConfig& config = index.config();
  if (config.use_learnable_routing && index.routing_weights()) {
    rule_ = Rule::Routed;
  } else if (!config.use_learnable_routing && config.use_subspaces) {
    rule_ = Rule::Subspace;  // for containers that have a subspace; others use proximity
  } else {
    rule_ = Rule::Proximity;
  }
  if (rule_ == Rule::Subspace) first_non_finite_ = first_non_finite(query);

  // Cosine against a query whose norm is computed here, once.
  cosine_ = dynamic_cast<const CosineProximity*>(&index.proximity()) != nullptr;
  if (cosine_) query_norm_sq_ = kernels::sum_squares(query.data(), query.size());
  query_norm_ = std::sqrt(query_norm_sq_);
  dot_and_norm_ = kernels::kernels_for(kernels::active_isa()).dot_and_norm;

  // With a zero temporal weight and a decay that keeps the recency distance in
  // [0, 1], the weighted recency term is a zero carrying the weight's sign.
  const bool recency_bounded = std::isfinite(temporal_decay_) && temporal_decay_ >= 0.0;
  if (temporal_weight_ == 0.0f && recency_bounded) {
    recency_matters_ = false;
    recency_free_term_ = temporal_weight_ * 0.0f;
  }
  plain_cosine_ = rule_ == Rule::Proximity && cosine_ && !recency_matters_;
}

float QueryScorer::distance(std::span<const float> centroid, std::uint64_t timestamp_ms,
                            const Subspace* subspace) const {
  const float semantic = semantic_distance(centroid, subspace);
  if (!recency_matters_) return recency_free_term_ + semantic;
  return temporal_weight_ * recency_distance(timestamp_ms) + (1.0f - temporal_weight_) * semantic;
}

float QueryScorer::semantic_distance(std::span<const float> centroid,
                                     const Subspace* subspace) const {
  switch (rule_) {
    case Rule::Routed:
      // NOLINTNEXTLINE(bugprone-unchecked-optional-access): Routed is chosen only with weights.
      return index_.routing_weights()->routed_distance(query_, centroid);
    case Rule::Subspace:
      if (subspace != nullptr) return 1.0f - subspace_similarity(*subspace);
      break;
    case Rule::Proximity:
      break;
  }
  if (cosine_) return cosine_distance(centroid);
  const float s = index_.proximity().proximity(query_, centroid);
  return similarity_ ? 1.0f - s : s;
}

float QueryScorer::cosine_distance(std::span<const float> centroid) const {
  if (centroid.size() != query_.size()) internal_error("Points must have same dimensionality");
  const auto sums = kernels::dot_and_norm(query_.data(), centroid.data(), centroid.size());
  const float s = cosine_from_sums(sums.dot, query_norm_sq_, sums.norm_sq);
  return similarity_ ? 1.0f - s : s;
}

// A subspace whose mean was never allocated stands for a mean of zeros: every
// sum below is then computed without the mean, which gives the same values
// (q - 0 is q, q·0 is 0, or NaN for a non-finite q).
float QueryScorer::subspace_similarity(const Subspace& subspace) const noexcept {
  const std::span<const float> mean = subspace.mean();
  const bool zero_mean = mean.empty();
  const std::size_t n =
      std::min(query_.size(), zero_mean ? subspace.dimensionality() : mean.size());
  const float* q = query_.data();

  float base;
  if (zero_mean) {
    base = first_non_finite_ < n ? std::numeric_limits<float>::quiet_NaN() : 0.0f;
  } else {
    base = kernels::dot(q, mean.data(), n);
  }
  base = clamp_unit(base);

  const auto& components = subspace.components();
  const std::span<const float> variances = subspace.variances();
  if (components.empty() || subspace_weight_ < 1e-6f) return base;

  const float length_sq =
      zero_mean ? kernels::sum_squares(q, n) : kernels::squared_distance(q, mean.data(), n);
  const float length = std::sqrt(length_sq);
  float along = 1.0f;
  if (n != 0 && !(length < 1e-10f)) {
    // Energy of the query's offset from the mean along the principal
    // directions, each weighted by the root of its share of the top variance.
    float energy = 0.0f;
    const std::size_t directions = std::min(components.size(), variances.size());
    for (std::size_t j = 0; j < directions; ++j) {
      const std::vector<float>& direction = components[j];
      const std::size_t len = std::min(direction.size(), n);
      const float p = zero_mean ? kernels::dot(q, direction.data(), len)
                                : kernels::difference_dot(q, mean.data(), direction.data(), len);
      energy += p * p * std::sqrt(variances[j] / variances[0]);
    }
    along = (base + std::fmin(energy / (length * length), 1.0f)) * 0.5f;
  }
  return along * subspace_weight_ + (1.0f - subspace_weight_) * base;
}

float QueryScorer::recency_distance(std::uint64_t timestamp_ms) const noexcept {
  // A timestamp in the future counts by its distance from now.
  const std::uint64_t age =
      now_ms_ >= timestamp_ms ? now_ms_ - timestamp_ms : timestamp_ms - now_ms_;
  const double decay = std::exp(temporal_decay_ * (static_cast<double>(age) / -3600000.0));
  return static_cast<float>(1.0 - decay);
}

float KivIndex::container_distance(std::span<const float> query, std::uint64_t now_ms,
                                   const ContainerView& container) const {
  return QueryScorer(*this, query, now_ms)
      .distance(container.centroid(), container.timestamp_ms(), container.subspace());
}

float KivIndex::container_distance(std::span<const float> query, std::uint64_t now_ms,
                                   const Container& container) const {
  const Subspace* subspace = container.is_chunk() ? nullptr : container.subspace();
  return QueryScorer(*this, query, now_ms)
      .distance(container.centroid(), container.timestamp_ms(), subspace);
}

float KivIndex::reported_score(float distance) const noexcept {
  return proximity_is_similarity_ ? 1.0f - distance : distance;
}

}  // namespace orlo_kiv
