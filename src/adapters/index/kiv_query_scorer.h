// Scoring of containers against one query: the index's single distance rule
// (proximity, routed distance or subspace rule, blended with recency), with
// everything that depends only on the query and the configuration worked out
// once, so that scoring a container is one pass over its vector.
//
// A scorer borrows the index and the query; both must outlive it and the index
// must not change while it is in use.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

#include "adapters/index/kiv.h"
#include "core/kernels.h"

namespace orlo_kiv {

class QueryScorer {
 public:
  // Requires nothing of the query's length; the proximity rule requires it to
  // match each scored centroid (an internal error otherwise).
  QueryScorer(const KivIndex& index, std::span<const float> query, std::uint64_t now_ms);

  // The distance of the present container `node` of the index's map (smaller
  // is closer).
  float distance(Handle node) const {
    if (plain_cosine_) {
      if (const float* v = containers_.slab_centroid(node)) return plain_cosine_distance(v);
    }
    const Subspace* subspace = rule_ == Rule::Subspace ? containers_.subspace(node) : nullptr;
    return distance(containers_.centroid(node), containers_.timestamp(node), subspace);
  }

  // The distance of a container with this centroid, timestamp and subspace
  // (null for chunks and containers without one).
  float distance(std::span<const float> centroid, std::uint64_t timestamp_ms,
                 const Subspace* subspace) const;

  // 1 - distance for similarity proximities, the distance itself otherwise.
  float reported_score(float distance) const noexcept {
    return similarity_ ? 1.0f - distance : distance;
  }

 private:
  enum class Rule : std::uint8_t { Routed, Subspace, Proximity };

  float semantic_distance(std::span<const float> centroid, const Subspace* subspace) const;
  float cosine_distance(std::span<const float> centroid) const;
  float subspace_similarity(const Subspace& subspace) const noexcept;
  float recency_distance(std::uint64_t timestamp_ms) const noexcept;

  // The whole distance under the plain settings, for a centroid as long as the
  // query: the same operations in the same order as the general path, with
  // the query's norm taken once.
  float plain_cosine_distance(const float* v) const noexcept {
    const kernels::DotAndNorm sums = dot_and_norm_(query_.data(), v, query_.size());
    float s = 0.0f;
    if (query_norm_sq_ != 0.0f && sums.norm_sq != 0.0f) {
      s = sums.dot / (std::sqrt(sums.norm_sq) * query_norm_);
    }
    return recency_free_term_ + (similarity_ ? 1.0f - s : s);
  }

  const KivIndex& index_;
  const ContainerMap& containers_;
  std::span<const float> query_;
  std::uint64_t now_ms_;
  Rule rule_;
  bool similarity_;
  // The proximity strategy is cosine: scored against the query norm held here.
  bool cosine_ = false;
  float query_norm_sq_ = 0.0f;
  float query_norm_ = 0.0f;  // its square root
  // Cosine proximity, no routing or subspaces, and recency that cannot change
  // a distance: the settings every index of the module has.
  bool plain_cosine_ = false;
  kernels::DotAndNorm (*dot_and_norm_)(const float*, const float*, std::size_t) noexcept;
  // Position of the first NaN or infinite query component (the query's length
  // when there is none): a mean of zeros gives a NaN similarity exactly when
  // such a component lies within the compared length.
  std::size_t first_non_finite_ = 0;
  float subspace_weight_;
  float temporal_weight_;
  double temporal_decay_;
  // When recency cannot change a distance, its blend reduces to this signed
  // zero plus the semantic distance, and the exponential is skipped.
  bool recency_matters_ = true;
  float recency_free_term_ = 0.0f;
};

}  // namespace orlo_kiv
