// Construction, lookup, removal and size queries of the index record.
#include "adapters/index/kiv.h"

namespace orlo_kiv {

KivIndex::KivIndex(std::size_t dimensionality, const KivConfig& config)
    : config_(config),
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

const Container* KivIndex::find(const Id& id) const noexcept {
  const auto it = containers_.find(id);
  return it == containers_.end() ? nullptr : &it->second;
}

Container* KivIndex::find(const Id& id) noexcept {
  const auto it = containers_.find(id);
  return it == containers_.end() ? nullptr : &it->second;
}

Id KivIndex::unused_id(const std::optional<Id>& reserved) const {
  Id id = new_id();
  while (containers_.contains(id) || id == reserved) id = new_id();
  return id;
}

void KivIndex::remove(const Id& id) noexcept { containers_.erase(id); }

KivStats KivIndex::stats() const noexcept {
  KivStats stats;
  for (const auto& [id, container] : containers_) {
    switch (container.level()) {
      case ContainerLevel::Global:
        ++stats.global_count;
        break;
      case ContainerLevel::Session:
        ++stats.session_count;
        break;
      case ContainerLevel::Document:
        ++stats.document_count;
        break;
      case ContainerLevel::Chunk:
        ++stats.chunk_count;
        break;
    }
  }
  return stats;
}

std::uint64_t KivIndex::chunk_count() const noexcept { return stats().chunk_count; }

}  // namespace orlo_kiv
