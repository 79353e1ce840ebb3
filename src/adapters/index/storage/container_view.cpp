// Reading one container of the map. A branch keeps its sum beside its other
// data; a chunk's sum is its embedding until one of the two changes, and is
// kept apart only after that.
#include "adapters/index/storage/container_view.h"

#include "adapters/index/storage/container_map.h"

namespace orlo_kiv {

ChildIds ContainerView::children() const noexcept {
  return {map_->nodes_, map_->children(handle_)};
}

std::uint64_t ContainerView::point_count() const noexcept { return map_->point_count(handle_); }

const Subspace* ContainerView::subspace() const noexcept { return map_->subspace(handle_); }

bool ContainerView::has_sum() const noexcept {
  const NodeKind kind = map_->nodes_.kind(handle_);
  if (ContainerMap::is_branch(kind)) return map_->branch(handle_).has_sum;
  const ContainerMap::ChunkExtras* e = map_->extras(handle_);
  return e == nullptr || e->sum_kind != ContainerMap::ChunkSum::Absent;
}

std::span<const float> ContainerView::sum() const noexcept {
  const NodeKind kind = map_->nodes_.kind(handle_);
  if (ContainerMap::is_branch(kind)) return map_->branch(handle_).sum;
  const ContainerMap::ChunkExtras* e = map_->extras(handle_);
  if (e == nullptr) return centroid();
  switch (e->sum_kind) {
    case ContainerMap::ChunkSum::Centroid:
      return centroid();
    case ContainerMap::ChunkSum::Absent:
      return {};
    case ContainerMap::ChunkSum::Own:
      return e->sum;
  }
  return {};
}

}  // namespace orlo_kiv
