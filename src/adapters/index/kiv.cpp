// Construction, lookup, removal and size queries of the index record.
#include "adapters/index/kiv.h"

#include <new>

namespace orlo_kiv {

KivIndex::KivIndex(std::size_t dimensionality, const KivConfig& config)
    : config_(config),
      containers_(dimensionality),
      proximity_(std::make_shared<const CosineProximity>()),
      merge_(std::make_shared<const MeanMerge>()),
      dimensionality_(dimensionality) {}

KivIndex KivIndex::cosine(std::size_t dimensionality) {
  return KivIndex(dimensionality, KivConfig{});
}

KivIndex KivIndex::with_config(std::size_t dimensionality, const KivConfig& config) {
  KivIndex index(dimensionality, config);
  if (config.use_learnable_routing) {
    index.routing_weights_.emplace(dimensionality, config.routing);
  }
  return index;
}

void KivIndex::remove(const Id& id) noexcept {
  containers_.erase(id);
  // Only returns memory: without memory to do it now, a later removal will.
  containers_.shrink_to_fit();
}

Id KivIndex::unused_id(const std::optional<Id>& reserved) const {
  Id id = new_id();
  while (containers_.contains(id) || id == reserved) id = new_id();
  return id;
}

KivStats KivIndex::stats() const noexcept {
  return {containers_.count(ContainerLevel::Global), containers_.count(ContainerLevel::Session),
          containers_.count(ContainerLevel::Document), containers_.count(ContainerLevel::Chunk)};
}

}  // namespace orlo_kiv
