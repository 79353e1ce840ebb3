// Running sums in the container map, read and changed through views. A
// branch keeps its sum beside its other data; a chunk's sum is its embedding
// until one of the two changes, and is kept apart only after that.
#include "adapters/index/storage/container_map.h"

namespace orlo_kiv {

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

void ContainerRef::set_sum(std::vector<float> sum) const {
  ContainerMap& m = map();
  if (ContainerMap::is_branch(m.nodes_.kind(handle_))) {
    ContainerMap::Branch& b = m.branch(handle_);
    b.sum = std::move(sum);
    b.has_sum = true;
    return;
  }
  ContainerMap::ChunkExtras& e = m.make_extras(handle_);
  e.sum = std::move(sum);
  e.sum_kind = ContainerMap::ChunkSum::Own;
}

std::vector<float>& ContainerRef::mutable_sum() const {
  ContainerMap& m = map();
  if (ContainerMap::is_branch(m.nodes_.kind(handle_))) return m.branch(handle_).sum;
  ContainerMap::ChunkExtras& e = m.make_extras(handle_);
  if (e.sum_kind != ContainerMap::ChunkSum::Own) {
    const std::span<const float> centroid = m.chunk_centroid(handle_);
    if (e.sum_kind == ContainerMap::ChunkSum::Centroid)
      e.sum.assign(centroid.begin(), centroid.end());
    e.sum_kind = ContainerMap::ChunkSum::Own;
  }
  return e.sum;
}

}  // namespace orlo_kiv
