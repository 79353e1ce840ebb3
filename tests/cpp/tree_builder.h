// Hand-built index trees for query tests: containers with chosen ids,
// centroids, children and timestamps, including shapes that insertion never
// makes (cycles, duplicates, dangling ids, mixed levels).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "adapters/index/kiv.h"

namespace orlo_kiv::testing {

inline Id id_of(std::uint8_t n) {
  Id id;
  id.bytes[15] = n;
  return id;
}

struct TreeBuilder {
  KivIndex& index;

  // Puts a container into the map, replacing any of the same id; returns its id.
  Id put(std::uint8_t n, ContainerLevel level, std::vector<float> centroid,
         std::vector<Id> children = {}, std::uint64_t timestamp_ms = 0,
         std::uint64_t point_count = 1, std::unique_ptr<Subspace> subspace = nullptr) {
    const Id id = id_of(n);
    if (subspace == nullptr && level != ContainerLevel::Chunk) {
      subspace = std::make_unique<Subspace>(centroid.size());
    }
    index.containers().insert_or_assign(
        id, Container(id, level, timestamp_ms, std::move(children), point_count,
                      std::move(centroid), std::nullopt, std::move(subspace)));
    return id;
  }

  Id root(std::uint8_t n, std::vector<float> centroid, std::vector<Id> children) {
    const Id id = put(n, ContainerLevel::Global, std::move(centroid), std::move(children));
    index.set_root_id(id);
    return id;
  }
};

inline std::vector<Id> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<Id> ids;
  ids.reserve(hits.size());
  for (const SearchHit& hit : hits) ids.push_back(hit.id);
  return ids;
}

}  // namespace orlo_kiv::testing
