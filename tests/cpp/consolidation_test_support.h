// Helpers for the consolidation tests: trees laid out by hand (as loaded data
// may describe them), reachability from the root, and the expected centroid
// of a set of chunk embeddings computed independently of the index.
#pragma once

#include <cmath>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <vector>

#include "adapters/index/kiv.h"
#include "core/id.h"

namespace orlo_kiv::testing_support {

// Builds containers directly in the map, with children lists as given.
class HandTree {
 public:
  explicit HandTree(std::size_t dimensionality, const KivConfig& config = KivConfig{})
      : index(KivIndex::with_config(dimensionality, config)) {}

  Id branch(ContainerLevel level, std::optional<Id> parent = std::nullopt) {
    const Id id = new_id();
    index.containers().insert_or_assign(id,
                                        Container::branch(id, level, index.dimensionality(), 1000));
    if (parent) index.find(*parent)->mutable_children().push_back(id);
    return id;
  }

  Id root() {
    const Id id = branch(ContainerLevel::Global);
    index.set_root_id(id);
    return id;
  }

  Id chunk(const Id& parent, std::vector<float> embedding) {
    const Id id = new_id();
    index.containers().insert_or_assign(id, Container::chunk(id, std::move(embedding), 1000));
    index.find(parent)->mutable_children().push_back(id);
    return id;
  }

  // Throws (a reported test failure) when no container has the id.
  ContainerView at(const Id& id) const {
    const ContainerView c = index.find(id);
    if (c == nullptr) throw std::runtime_error("no container has that id");
    return c;
  }
  bool has(const Id& id) const { return index.find(id) != nullptr; }

  KivIndex index;
};

// The chunk ids reachable from the root through children lists.
inline std::set<Id> reachable_chunks(const KivIndex& index) {
  std::set<Id> chunks;
  std::set<Id> seen;
  std::vector<Id> pending;
  if (index.root_id()) pending.push_back(*index.root_id());
  while (!pending.empty()) {
    const Id id = pending.back();
    pending.pop_back();
    const ContainerView c = index.find(id);
    if (c == nullptr || !seen.insert(id).second) continue;
    if (c->is_chunk()) chunks.insert(id);
    for (const Id& child : c->children()) pending.push_back(child);
  }
  return chunks;
}

inline std::set<Id> all_chunks(const KivIndex& index) {
  std::set<Id> chunks;
  for (const auto& [id, c] : index.containers()) {
    if (c.is_chunk()) chunks.insert(id);
  }
  return chunks;
}

// A copy of `values`, to compare with expected vectors.
inline std::vector<float> values_of(std::span<const float> values) {
  return {values.begin(), values.end()};
}

// Component-wise sum of `vectors`, added in order.
inline std::vector<float> sum_of(const std::vector<std::vector<float>>& vectors) {
  std::vector<float> sum(vectors.front().size(), 0.0f);
  for (const auto& v : vectors) {
    for (std::size_t i = 0; i < v.size(); ++i) sum[i] += v[i];
  }
  return sum;
}

// The normalised mean of `vectors`.
inline std::vector<float> normalised_mean(const std::vector<std::vector<float>>& vectors) {
  std::vector<float> mean = sum_of(vectors);
  double squares = 0.0;
  for (float& x : mean) {
    x /= static_cast<float>(vectors.size());
    squares += static_cast<double>(x) * x;
  }
  const float norm = static_cast<float>(std::sqrt(squares));
  for (float& x : mean) x /= norm;
  return mean;
}

// The embeddings of `ids`, looked up in `index`, in order.
inline std::vector<std::vector<float>> embeddings_of(const KivIndex& index,
                                                     const std::vector<Id>& ids) {
  std::vector<std::vector<float>> out;
  for (const Id& id : ids) {
    const auto centroid = index.find(id)->centroid();
    out.emplace_back(centroid.begin(), centroid.end());
  }
  return out;
}

// A deterministic pseudo-random vector for seed `seed`.
inline std::vector<float> test_vector(std::size_t d, std::uint32_t seed) {
  std::vector<float> v(d);
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (float& x : v) {
    state = state * 1664525u + 1013904223u;
    x = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) - 0.5f;
  }
  return v;
}

}  // namespace orlo_kiv::testing_support
