// Changing one container of the map.
#include "adapters/index/storage/container_ref.h"

#include <cstring>

#include "adapters/index/storage/container_map.h"

namespace orlo_kiv {

ContainerMap& ContainerRef::map() const noexcept { return const_cast<ContainerMap&>(*map_); }

ChildEditor ContainerRef::mutable_children() const {
  ContainerMap& m = map();
  if (ContainerMap::is_branch(m.nodes_.kind(handle_))) return {m, m.branch(handle_).children};
  return {m, m.make_extras(handle_).children};
}

void ContainerRef::set_point_count(std::uint64_t count) const {
  ContainerMap& m = map();
  if (ContainerMap::is_branch(m.nodes_.kind(handle_))) {
    m.branch(handle_).point_count = count;
  } else if (count != 1 || m.extras(handle_) != nullptr) {
    m.make_extras(handle_).point_count = count;
  }
}

Subspace* ContainerRef::subspace() const {
  ContainerMap& m = map();
  if (!ContainerMap::is_branch(m.nodes_.kind(handle_))) return nullptr;
  ContainerMap::Branch& b = m.branch(handle_);
  if (b.subspace_state == ContainerMap::SubspaceState::Fresh) {
    b.subspace = std::make_unique<Subspace>(m.dimensionality_);
    b.subspace_state = ContainerMap::SubspaceState::Own;
  }
  return b.subspace.get();
}

void ContainerRef::set_subspace(std::unique_ptr<Subspace> subspace) const {
  ContainerMap& m = map();
  // Chunks have no subspace.
  if (ContainerMap::is_branch(m.nodes_.kind(handle_))) {
    m.adopt_subspace(m.branch(handle_), std::move(subspace));
  }
}

void ContainerRef::set_centroid(std::vector<float> centroid) const {
  ContainerMap& m = map();
  const NodeKind kind = m.nodes_.kind(handle_);
  const bool other_length = centroid.size() != m.dimensionality_;
  if (ContainerMap::is_branch(kind)) {
    ContainerMap::Branch& b = m.branch(handle_);
    const std::uint32_t position = m.nodes_.payload(handle_);
    if (other_length) {
      b.other_length_centroid = std::move(centroid);
    } else {
      if (m.dimensionality_ != 0) {
        std::memcpy(m.slabs_[static_cast<std::size_t>(kind)].at(position), centroid.data(),
                    m.dimensionality_ * sizeof(float));
      }
      std::vector<float>().swap(b.other_length_centroid);
    }
    m.nodes_.set(handle_, kind, position, other_length);
    return;
  }
  // A chunk: its sum keeps the old values, and the new vector takes the place
  // of the old one in the chunk slab when both have the map's width.
  ContainerMap::ChunkExtras& e = m.make_extras(handle_);
  if (e.sum_kind == ContainerMap::ChunkSum::Centroid) {
    const std::span<const float> old = m.chunk_centroid(handle_);
    e.sum.assign(old.begin(), old.end());
    e.sum_kind = ContainerMap::ChunkSum::Own;
  }
  VectorSlab& slab = m.chunk_slab();
  std::uint32_t slot = m.nodes_.payload(handle_);
  if (other_length) {
    if (slot != NodeTable::kNoPayload) ++m.garbage_slots_;
    slot = NodeTable::kNoPayload;
  } else if (slot == NodeTable::kNoPayload) {
    slot = slab.append(centroid);
  } else if (m.dimensionality_ != 0) {
    std::memcpy(slab.at(slot), centroid.data(), m.dimensionality_ * sizeof(float));
  }
  if (other_length) {
    e.other_length_centroid = std::move(centroid);
  } else {
    std::vector<float>().swap(e.other_length_centroid);
  }
  m.nodes_.set(handle_, NodeKind::Chunk, slot, true);
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
