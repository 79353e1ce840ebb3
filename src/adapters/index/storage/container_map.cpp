// The container map's core: construction, lookup, insertion and erasure.
#include "adapters/index/storage/container_map.h"

#include <cstring>
#include <string>

#include "core/internal_error.h"

namespace orlo_kiv {
namespace {

std::size_t level_index(ContainerLevel level) noexcept { return static_cast<std::size_t>(level); }

const ChildList& no_children() noexcept {
  static const ChildList empty;
  return empty;
}

}  // namespace

ContainerMap::ContainerMap(std::size_t dimensionality)
    : dimensionality_(dimensionality),
      slabs_{VectorSlab(dimensionality), VectorSlab(dimensionality), VectorSlab(dimensionality),
             VectorSlab(dimensionality)},
      fresh_subspace_(dimensionality) {}

ContainerMap::ContainerMap(ContainerMap&& other) noexcept
    : dimensionality_(other.dimensionality_),
      nodes_(std::move(other.nodes_)),
      index_(std::move(other.index_)),
      slabs_(std::move(other.slabs_)),
      branches_(std::move(other.branches_)),
      free_branches_(std::move(other.free_branches_)),
      fresh_subspace_(other.dimensionality_),
      chunk_extras_(std::move(other.chunk_extras_)),
      counts_(std::exchange(other.counts_, {})),
      size_(std::exchange(other.size_, 0)),
      absent_nodes_(std::exchange(other.absent_nodes_, 0)),
      garbage_slots_(std::exchange(other.garbage_slots_, 0)),
      forget_threshold_(std::exchange(other.forget_threshold_, kMinGarbage)) {
  for (auto& level : other.branches_) level.clear();
  for (auto& level : other.free_branches_) level.clear();
  other.chunk_extras_.clear();
}

ContainerMap& ContainerMap::operator=(ContainerMap&& other) noexcept {
  if (this != &other) {
    dimensionality_ = other.dimensionality_;
    nodes_ = std::move(other.nodes_);
    index_ = std::move(other.index_);
    slabs_ = std::move(other.slabs_);
    branches_ = std::move(other.branches_);
    free_branches_ = std::move(other.free_branches_);
    fresh_subspace_ = Subspace(other.dimensionality_);
    chunk_extras_ = std::move(other.chunk_extras_);
    counts_ = std::exchange(other.counts_, {});
    size_ = std::exchange(other.size_, 0);
    absent_nodes_ = std::exchange(other.absent_nodes_, 0);
    garbage_slots_ = std::exchange(other.garbage_slots_, 0);
    forget_threshold_ = std::exchange(other.forget_threshold_, kMinGarbage);
    for (auto& level : other.branches_) level.clear();
    for (auto& level : other.free_branches_) level.clear();
    other.chunk_extras_.clear();
  }
  return *this;
}

ContainerMap::~ContainerMap() = default;

Handle ContainerMap::handle_of(const Id& id) const noexcept {
  return index_.find(id, index_.hash(id), nodes_);
}

ContainerRef ContainerMap::find(const Id& id) noexcept {
  const Handle h = handle_of(id);
  if (h == kNoHandle || nodes_.kind(h) == NodeKind::Absent) return nullptr;
  return {*this, h};
}

ContainerRef ContainerMap::find(const Id& id, Handle& hint) noexcept {
  const Handle h = handle_of(id, hint);
  if (h == kNoHandle || nodes_.kind(h) == NodeKind::Absent) return nullptr;
  return {*this, h};
}

ContainerView ContainerMap::find(const Id& id) const noexcept {
  const Handle h = handle_of(id);
  if (h == kNoHandle || nodes_.kind(h) == NodeKind::Absent) return nullptr;
  return {*this, h};
}

void ContainerMap::reserve(std::size_t count) { index_.reserve(count, nodes_); }

Handle ContainerMap::intern(const Id& id, std::size_t group) {
  const std::size_t hash = index_.hash(id);
  Handle h = index_.find(id, hash, nodes_);
  if (h != kNoHandle) return h;
  index_.reserve(index_.size() + 1, nodes_);
  h = nodes_.add(id, group);
  index_.add(hash, h);
  ++absent_nodes_;
  return h;
}

ChildList ContainerMap::intern_all(const std::vector<Id>& ids) {
  ChildList list;
  for (const Id& id : ids) list.push_back(intern(id, NodeTable::kUnlisted));
  return list;
}

ContainerMap::ChunkExtras* ContainerMap::extras(Handle h) noexcept {
  if (!nodes_.has_extras(h)) return nullptr;
  return &chunk_extras_.find(h)->second;
}

const ContainerMap::ChunkExtras* ContainerMap::extras(Handle h) const noexcept {
  if (!nodes_.has_extras(h)) return nullptr;
  return &chunk_extras_.find(h)->second;
}

ContainerMap::ChunkExtras& ContainerMap::make_extras(Handle h) {
  if (ChunkExtras* existing = extras(h)) return *existing;
  ChunkExtras& fresh = chunk_extras_[h];
  nodes_.set(h, NodeKind::Chunk, nodes_.payload(h), true);
  return fresh;
}

VectorSlab::Slot ContainerMap::allocate_branch(std::size_t level) {
  std::vector<std::uint32_t>& free = free_branches_[level];
  if (!free.empty()) {
    const std::uint32_t position = free.back();
    free.pop_back();
    return position;
  }
  std::vector<Branch>& branches = branches_[level];
  if (branches.size() >= NodeTable::kNoPayload) throw std::bad_alloc();
  // Room for the position to be freed again later without allocating.
  free.reserve(branches.size() + 1);
  branches.emplace_back();
  try {
    const VectorSlab::Slot slot = slabs_[level].append_uninitialized();
    if (slot != branches.size() - 1) internal_error("branch slots out of step with branches");
    return slot;
  } catch (...) {
    branches.pop_back();
    throw;
  }
}

void ContainerMap::release(Handle h) noexcept {
  const NodeKind kind = nodes_.kind(h);
  if (kind == NodeKind::Absent) return;
  if (kind == NodeKind::Chunk) {
    if (nodes_.payload(h) != NodeTable::kNoPayload) ++garbage_slots_;
    if (nodes_.has_extras(h)) chunk_extras_.erase(h);
  } else {
    const std::size_t level = static_cast<std::size_t>(kind);
    const std::uint32_t position = nodes_.payload(h);
    branches_[level][position] = Branch{};
    free_branches_[level].push_back(position);  // capacity reserved when it was created
  }
  nodes_.set(h, NodeKind::Absent, NodeTable::kNoPayload, false);
}

void ContainerMap::finish_store(Handle h, bool was_present, std::size_t old_level) {
  if (was_present) {
    --counts_[old_level];
  } else {
    ++size_;
    --absent_nodes_;
  }
  ++counts_[static_cast<std::size_t>(nodes_.kind(h))];
}

std::pair<ContainerRef, bool> ContainerMap::insert_or_assign(const Id& id, Container&& container) {
  const Handle h = intern(id, level_index(container.level()));
  ChildList children = intern_all(container.children());
  const NodeKind old = nodes_.kind(h);
  const bool was_present = old != NodeKind::Absent;
  if (container.is_chunk()) {
    store_chunk(h, std::move(container), std::move(children));
  } else {
    store_branch(h, container.level(), std::move(container), std::move(children));
  }
  finish_store(h, was_present, static_cast<std::size_t>(old));
  return {ContainerRef(*this, h), !was_present};
}

std::pair<ContainerRef, bool> ContainerMap::insert_chunk(const Id& id,
                                                         std::span<const float> embedding,
                                                         std::uint64_t timestamp_ms) {
  if (embedding.size() != dimensionality_) {
    return insert_or_assign(
        id, Container::chunk(id, {embedding.begin(), embedding.end()}, timestamp_ms));
  }
  const Handle h = intern(id, kChunkLevel);
  const NodeKind old = nodes_.kind(h);
  const bool was_present = old != NodeKind::Absent;
  const VectorSlab::Slot slot = chunk_slab().append(embedding);
  set_timestamp_or_drop_slot(h, timestamp_ms, slot);
  release(h);
  nodes_.set(h, NodeKind::Chunk, slot, false);
  finish_store(h, was_present, static_cast<std::size_t>(old));
  return {ContainerRef(*this, h), !was_present};
}

void ContainerMap::store_chunk(Handle h, Container&& container, ChildList children) {
  const std::span<const float> centroid = container.centroid();
  const bool other_length = centroid.size() != dimensionality_;
  const bool needs_extras = other_length || !children.empty() || container.point_count() != 1 ||
                            !container.sum_is_centroid();
  // Everything that can fail happens before the old entry is released.
  using Node = std::unordered_map<Handle, ChunkExtras>::node_type;
  Node node;
  if (needs_extras) {
    std::unordered_map<Handle, ChunkExtras> holder;
    ChunkExtras& e = holder[h];
    if (other_length) e.other_length_centroid.assign(centroid.begin(), centroid.end());
    if (!container.has_sum()) {
      e.sum_kind = ChunkSum::Absent;
    } else if (!container.sum_is_centroid()) {
      e.sum_kind = ChunkSum::Own;
      e.sum.assign(container.sum().begin(), container.sum().end());
    }
    e.point_count = container.point_count();
    e.children = std::move(children);
    node = holder.extract(h);
    chunk_extras_.reserve(chunk_extras_.size() + 1);
  }
  const std::uint32_t slot = other_length ? NodeTable::kNoPayload : chunk_slab().append(centroid);
  set_timestamp_or_drop_slot(h, container.timestamp_ms(), slot);
  release(h);
  if (needs_extras) chunk_extras_.insert(std::move(node));
  nodes_.set(h, NodeKind::Chunk, slot, needs_extras);
}

void ContainerMap::set_timestamp_or_drop_slot(Handle h, std::uint64_t timestamp_ms,
                                              std::uint32_t slot) {
  try {
    nodes_.set_timestamp(h, timestamp_ms);
  } catch (...) {
    if (slot != NodeTable::kNoPayload) ++garbage_slots_;
    throw;
  }
}

void ContainerMap::store_branch(Handle h, ContainerLevel level, Container&& container,
                                ChildList children) {
  const std::span<const float> centroid = container.centroid();
  const bool other_length = centroid.size() != dimensionality_;
  Branch fresh;
  fresh.children = std::move(children);
  if (other_length) fresh.other_length_centroid.assign(centroid.begin(), centroid.end());
  if (container.has_sum()) {
    fresh.sum.assign(container.sum().begin(), container.sum().end());
    fresh.has_sum = true;
  }
  fresh.point_count = container.point_count();
  const std::size_t lv = level_index(level);
  const VectorSlab::Slot position = allocate_branch(lv);
  try {
    nodes_.set_timestamp(h, container.timestamp_ms());
  } catch (...) {
    free_branches_[lv].push_back(position);  // capacity reserved when it was created
    throw;
  }
  // Nothing below allocates.
  adopt_subspace(fresh, container.take_subspace());
  if (!other_length && dimensionality_ != 0) {
    std::memcpy(slabs_[lv].at(position), centroid.data(), dimensionality_ * sizeof(float));
  }
  branches_[lv][position] = std::move(fresh);
  release(h);
  nodes_.set(h, static_cast<NodeKind>(level), position, other_length);
}

std::size_t ContainerMap::erase(const Id& id) noexcept {
  const Handle h = handle_of(id);
  return h == kNoHandle ? 0 : erase_node(h);
}

std::size_t ContainerMap::erase_node(Handle h) noexcept {
  const NodeKind kind = nodes_.kind(h);
  if (kind == NodeKind::Absent) return 0;
  release(h);
  --counts_[static_cast<std::size_t>(kind)];
  --size_;
  ++absent_nodes_;
  return 1;
}

const ChildList& ContainerMap::children(Handle h) const noexcept {
  const NodeKind kind = nodes_.kind(h);
  if (is_branch(kind)) return branch(h).children;
  const ChunkExtras* e = extras(h);
  return e != nullptr ? e->children : no_children();
}

void ContainerMap::adopt_subspace(Branch& b, std::unique_ptr<Subspace> subspace) const noexcept {
  const bool fresh = subspace != nullptr && subspace->dimensionality() == dimensionality_ &&
                     subspace->count() == 0 && !subspace->has_moments() &&
                     subspace->mean().empty() && subspace->components().empty() &&
                     subspace->variances().empty();
  if (subspace == nullptr) {
    b.subspace_state = SubspaceState::None;
    b.subspace.reset();
  } else if (fresh) {
    b.subspace_state = SubspaceState::Fresh;
    b.subspace.reset();
  } else {
    b.subspace_state = SubspaceState::Own;
    b.subspace = std::move(subspace);
  }
}

const Subspace* ContainerMap::subspace(Handle h) const noexcept {
  if (!is_branch(nodes_.kind(h))) return nullptr;
  const Branch& b = branch(h);
  switch (b.subspace_state) {
    case SubspaceState::None:
      return nullptr;
    case SubspaceState::Fresh:
      return &fresh_subspace_;
    case SubspaceState::Own:
      return b.subspace.get();
  }
  return nullptr;
}

std::uint64_t ContainerMap::point_count(Handle h) const noexcept {
  if (is_branch(nodes_.kind(h))) return branch(h).point_count;
  const ChunkExtras* e = extras(h);
  return e != nullptr ? e->point_count : 1;
}

}  // namespace orlo_kiv
