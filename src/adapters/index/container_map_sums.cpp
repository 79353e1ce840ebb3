// Running sums in the container map, and the documents whose sum is not stored
// because the chunk vectors they list reproduce it.
//
// A document that no longer grows keeps, instead of its sum, the range of
// chunk slots whose vectors add up to it bit for bit: added in order starting
// from a copy of the first (as insertion builds a sum), or from zeros (as a
// consolidation recomputes one). Starting from zeros differs from starting
// with the first vector only in the sign of zero components, so one pass
// serves both: (((v1 + v2) + ...) + 0) equals (((0 + v1) + v2) + ...) in every
// bit, NaN payloads included. Slots are never rewritten while a range may read
// them: a changed or removed chunk leaves its old vector in place until the
// slab is compacted, which makes such sums stored again first.
#include <cstring>
#include <new>

#include "adapters/index/container_map.h"
#include "core/kernels.h"

namespace orlo_kiv {

void ContainerMap::sum_chunk_slots(VectorSlab::Slot first, std::uint32_t count, bool zero_start,
                                   std::span<float> out) const noexcept {
  const VectorSlab& slab = slabs_[kChunk];
  const std::size_t d = dimensionality_;
  if (d == 0 || count == 0) return;
  std::memcpy(out.data(), slab.at(first), d * sizeof(float));
  for (std::uint32_t i = 1; i < count; ++i) kernels::add_into(out.data(), slab.at(first + i), d);
  if (zero_start) {
    for (float& x : out) x += 0.0f;
  }
}

std::vector<float>& ContainerMap::own_sum(Branch& b) {
  if (b.sum_state == SumState::Shared || b.sum_state == SumState::SharedZeroStart) {
    std::vector<float> sum(dimensionality_);
    sum_chunk_slots(b.shared_first, b.shared_count, b.sum_state == SumState::SharedZeroStart, sum);
    b.sum = std::move(sum);
  }
  b.sum_state = SumState::Own;
  return b.sum;
}

void ContainerMap::share_sum_with_chunks(const Id& id) noexcept {
  const Handle h = handle_of(id);
  if (h != kNoHandle) share_sum_with_chunks(h);
}

void ContainerMap::share_sum_with_chunks(Handle h) noexcept {
  if (nodes_.kind(h) != NodeKind::Document) return;
  Branch& b = branch(h);
  const std::size_t d = dimensionality_;
  if (b.sum_state != SumState::Own || d == 0 || b.sum.size() != d) return;
  // The candidate range: the document's children, when they are chunks in
  // consecutive slots of the chunk slab, in list order.
  const ChildList& children = b.children;
  if (children.empty() || children.size() > UINT32_MAX) return;
  VectorSlab::Slot first = 0;
  std::uint32_t count = 0;
  for (const Handle child : children) {
    if (nodes_.kind(child) != NodeKind::Chunk) return;
    const std::uint32_t slot = nodes_.payload(child);
    if (slot == NodeTable::kNoPayload) return;
    if (count == 0) {
      first = slot;
    } else if (slot != first + count) {
      return;
    }
    ++count;
  }
  std::vector<float> folded;
  try {
    folded.resize(d);
  } catch (const std::bad_alloc&) {
    return;
  }
  sum_chunk_slots(first, count, false, folded);
  const std::size_t bytes = d * sizeof(float);
  SumState shared = SumState::Shared;
  if (std::memcmp(folded.data(), b.sum.data(), bytes) != 0) {
    for (float& x : folded) x += 0.0f;
    if (std::memcmp(folded.data(), b.sum.data(), bytes) != 0) return;
    shared = SumState::SharedZeroStart;
  }
  std::vector<float>().swap(b.sum);
  b.sum_state = shared;
  b.shared_first = first;
  b.shared_count = count;
}

void ContainerMap::set_sum_of_leaves(const ContainerRef& container, std::vector<float> sum,
                                     std::span<const std::span<const float>> leaves) {
  const Handle h = container.handle();
  const NodeKind kind = nodes_.kind(h);
  if (!is_branch(kind)) {
    container.set_sum(std::move(sum));
    return;
  }
  Branch& b = branch(h);
  const std::size_t d = dimensionality_;
  std::optional<VectorSlab::Slot> first;
  if (kind == NodeKind::Document && d != 0 && !leaves.empty() && leaves.size() <= UINT32_MAX &&
      sum.size() == d) {
    first = slabs_[kChunk].slot_of(leaves.front().data());
    for (std::size_t i = 0; first && i < leaves.size(); ++i) {
      if (leaves[i].size() != d || *first + i >= slabs_[kChunk].size() ||
          leaves[i].data() != slabs_[kChunk].at(static_cast<VectorSlab::Slot>(*first + i))) {
        first.reset();
      }
    }
  }
  if (first) {
    // The sum was formed from exactly these slots, in order, from zeros.
    std::vector<float>().swap(b.sum);
    b.sum_state = SumState::SharedZeroStart;
    b.shared_first = *first;
    b.shared_count = static_cast<std::uint32_t>(leaves.size());
    return;
  }
  b.sum = std::move(sum);
  b.sum_state = SumState::Own;
}

// --- Views ---------------------------------------------------------------------------

bool ContainerView::has_sum() const noexcept {
  const NodeKind kind = map_->nodes_.kind(handle_);
  if (ContainerMap::is_branch(kind)) {
    return map_->branch(handle_).sum_state != ContainerMap::SumState::Absent;
  }
  const ContainerMap::ChunkExtras* e = map_->extras(handle_);
  return e == nullptr || e->sum_kind != ContainerMap::ChunkSum::Absent;
}

bool ContainerView::sum_is_shared() const noexcept {
  if (!ContainerMap::is_branch(map_->nodes_.kind(handle_))) return false;
  const ContainerMap::SumState state = map_->branch(handle_).sum_state;
  return state == ContainerMap::SumState::Shared ||
         state == ContainerMap::SumState::SharedZeroStart;
}

std::size_t ContainerView::sum_size() const noexcept {
  const NodeKind kind = map_->nodes_.kind(handle_);
  if (ContainerMap::is_branch(kind)) {
    const ContainerMap::Branch& b = map_->branch(handle_);
    switch (b.sum_state) {
      case ContainerMap::SumState::Absent:
        return 0;
      case ContainerMap::SumState::Own:
        return b.sum.size();
      case ContainerMap::SumState::Shared:
      case ContainerMap::SumState::SharedZeroStart:
        return map_->dimensionality_;
    }
    return 0;
  }
  const ContainerMap::ChunkExtras* e = map_->extras(handle_);
  if (e == nullptr || e->sum_kind == ContainerMap::ChunkSum::Centroid) return centroid().size();
  return e->sum_kind == ContainerMap::ChunkSum::Own ? e->sum.size() : 0;
}

std::span<const float> ContainerView::sum(std::vector<float>& scratch) const {
  const NodeKind kind = map_->nodes_.kind(handle_);
  if (ContainerMap::is_branch(kind)) {
    const ContainerMap::Branch& b = map_->branch(handle_);
    switch (b.sum_state) {
      case ContainerMap::SumState::Absent:
        return {};
      case ContainerMap::SumState::Own:
        return b.sum;
      case ContainerMap::SumState::Shared:
      case ContainerMap::SumState::SharedZeroStart:
        scratch.resize(map_->dimensionality_);
        map_->sum_chunk_slots(b.shared_first, b.shared_count,
                              b.sum_state == ContainerMap::SumState::SharedZeroStart, scratch);
        return scratch;
    }
    return {};
  }
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

std::vector<float> ContainerView::sum() const {
  std::vector<float> scratch;
  const std::span<const float> values = sum(scratch);
  return {values.begin(), values.end()};
}

void ContainerRef::set_sum(std::vector<float> sum) const {
  ContainerMap& m = map();
  if (ContainerMap::is_branch(m.nodes_.kind(handle_))) {
    ContainerMap::Branch& b = m.branch(handle_);
    b.sum = std::move(sum);
    b.sum_state = ContainerMap::SumState::Own;
    return;
  }
  ContainerMap::ChunkExtras& e = m.make_extras(handle_);
  e.sum = std::move(sum);
  e.sum_kind = ContainerMap::ChunkSum::Own;
}

std::vector<float>& ContainerRef::mutable_sum() const {
  ContainerMap& m = map();
  if (ContainerMap::is_branch(m.nodes_.kind(handle_))) return m.own_sum(m.branch(handle_));
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
