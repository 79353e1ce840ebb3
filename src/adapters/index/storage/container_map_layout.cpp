// Where the container map puts things: the layout of loaded data, and the
// return of memory after removals.
//
// Loaded data comes in any record order, so vectors are placed depth first
// through the children lists instead: each session's documents and each
// document's chunks end up next to each other, as if inserted. Removal only
// marks a chunk slot as garbage; collect_garbage later slides the live
// vectors together once enough slots are garbage, and renumbers the nodes
// once enough ids are named by nothing.
#include <cstring>
#include <new>

#include "adapters/index/storage/container_map.h"

namespace orlo_kiv {
namespace {

constexpr std::uint32_t kNoRecord = 0xFFFFFFFFu;

}  // namespace

void ContainerMap::place_loaded(Handle h, const Record& record, ChildList children,
                                DecodeVector decode) {
  const std::size_t d = dimensionality_;
  if (record.level == ContainerLevel::Chunk) {
    const bool sum_is_centroid =
        record.sum != nullptr &&
        (d == 0 || std::memcmp(record.sum, record.centroid, d * sizeof(float)) == 0);
    const bool needs_extras = !children.empty() || record.point_count != 1 || !sum_is_centroid;
    const VectorSlab::Slot slot = chunk_slab().append_uninitialized();
    decode(record.centroid, {chunk_slab().at(slot), d});
    if (needs_extras) {
      ChunkExtras& e = chunk_extras_[h];
      if (record.sum == nullptr) {
        e.sum_kind = ChunkSum::Absent;
      } else if (!sum_is_centroid) {
        e.sum_kind = ChunkSum::Own;
        e.sum.resize(d);
        decode(record.sum, e.sum);
      }
      e.point_count = record.point_count;
      e.children = std::move(children);
    }
    nodes_.set(h, NodeKind::Chunk, slot, needs_extras);
  } else {
    const std::size_t level = static_cast<std::size_t>(record.level);
    Branch fresh;
    fresh.children = std::move(children);
    if (record.sum != nullptr) {
      fresh.sum.resize(d);
      decode(record.sum, fresh.sum);
      fresh.has_sum = true;
    }
    fresh.point_count = record.point_count;
    // Subspaces are not stored: every non-chunk container starts a fresh one.
    fresh.subspace_state = SubspaceState::Fresh;
    const VectorSlab::Slot position = allocate_branch(level);
    decode(record.centroid, {slabs_[level].at(position), d});
    branches_[level][position] = std::move(fresh);
    nodes_.set(h, static_cast<NodeKind>(record.level), position, false);
  }
  nodes_.set_timestamp(h, record.timestamp_ms);
  finish_store(h, false, 0);
}

void ContainerMap::load(std::span<const Record> records, const std::optional<Id>& root,
                        DecodeVector decode) {
  reserve(records.size());
  // The record each id ends up with: the last one carrying it.
  std::vector<std::uint32_t> record_of;
  record_of.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Handle h = intern(records[i].id, static_cast<std::size_t>(records[i].level));
    if (h >= record_of.size()) record_of.resize(std::size_t{h} + 1, kNoRecord);
    record_of[h] = static_cast<std::uint32_t>(i);
  }
  const std::size_t stored = record_of.size();
  // Every vector is placed once, in order: the slabs can take them all now.
  std::array<std::size_t, 4> per_level{};
  for (Handle h = 0; h < stored; ++h) {
    if (record_of[h] != kNoRecord)
      ++per_level[static_cast<std::size_t>(records[record_of[h]].level)];
  }
  for (std::size_t level = 0; level < 4; ++level) {
    slabs_[level].reserve(slabs_[level].size() + per_level[level]);
  }
  std::vector<ChildList> lists(stored);
  for (Handle h = 0; h < stored; ++h) {
    if (record_of[h] == kNoRecord) continue;
    const Record& record = records[record_of[h]];
    for (std::uint32_t j = 0; j < record.child_count; ++j) {
      Id child;
      std::memcpy(child.bytes.data(), record.children + std::size_t{j} * sizeof(Id), sizeof(Id));
      lists[h].push_back(intern(child, NodeTable::kUnlisted));
    }
  }

  // Depth first from the root, then from every container not reached yet.
  // Each container's own vector is placed when it is first reached.
  struct Frame {
    Handle node;
    ChildList::Iterator next;
    ChildList::Iterator end;
  };
  std::vector<bool> placed(stored, false);
  std::vector<Frame> stack;
  std::vector<Handle> order;  // the order of placement
  order.reserve(records.size());
  const auto visit = [&](Handle start) {
    if (start >= stored || placed[start] || record_of[start] == kNoRecord) return;
    const auto enter = [&](Handle h) {
      placed[h] = true;
      order.push_back(h);
      const Record& record = records[record_of[h]];
      if (record.level == ContainerLevel::Chunk) {
        place_loaded(h, record, std::move(lists[h]), decode);
        return;
      }
      // The list is walked from the branch where it now lives.
      place_loaded(h, record, std::move(lists[h]), decode);
      const ChildList& children = this->children(h);
      stack.push_back({h, children.begin(), children.end()});
    };
    enter(start);
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next == top.end) {
        stack.pop_back();
        continue;
      }
      const Handle child = *top.next;
      ++top.next;
      if (child < stored && !placed[child] && record_of[child] != kNoRecord) enter(child);
    }
  };
  if (root) {
    const Handle h = handle_of(*root);
    if (h != kNoHandle) visit(h);
  }
  for (Handle h = 0; h < stored; ++h) visit(h);

  // Records in an order unlike the tree's (written by an older version, or by
  // other means) leave children lists in many short runs, read from scattered
  // nodes. Then the nodes are numbered again in the order of placement.
  std::size_t lists_with_children = 0;
  std::size_t runs = 0;
  for (const auto& level : branches_) {
    for (const Branch& b : level) {
      lists_with_children += b.children.empty() ? 0 : 1;
      runs += b.children.runs().size();
    }
  }
  if (runs <= 2 * lists_with_children + kMinGarbage) return;
  for (Handle h = 0; h < nodes_.size(); ++h) {
    // Ids that only children lists name come last.
    if (!(h < stored && placed[h]) && nodes_.kind(h) == NodeKind::Absent &&
        index_.find(nodes_.id(h), index_.hash(nodes_.id(h)), nodes_) == h) {
      order.push_back(h);
    }
  }
  renumber_nodes(order);
}

bool ContainerMap::collect_garbage() {
  bool changed = false;
  if (garbage_slots_ >= kMinGarbage && garbage_slots_ * 4 >= chunk_slab().size()) {
    compact_chunk_slab();
    changed = true;
  }
  if (absent_nodes_ >= forget_threshold_) {
    forget_unlisted_ids();
    forget_threshold_ = absent_nodes_ + std::max(kMinGarbage, nodes_.used() / 2);
    changed = true;
  }
  return changed;
}

bool ContainerMap::shrink_to_fit() noexcept {
  try {
    return collect_garbage();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void ContainerMap::compact_chunk_slab() {
  VectorSlab& slab = chunk_slab();
  const std::size_t slots = slab.size();
  // The live chunk of every slot.
  std::vector<Handle> owner(slots, kNoHandle);
  for (Handle h = 0; h < nodes_.size(); ++h) {
    if (nodes_.kind(h) != NodeKind::Chunk) continue;
    const std::uint32_t slot = nodes_.payload(h);
    if (slot != NodeTable::kNoPayload) owner[slot] = h;
  }
  const std::size_t d = dimensionality_;
  std::size_t next = 0;
  for (std::size_t slot = 0; slot < slots; ++slot) {
    const Handle h = owner[slot];
    if (h == kNoHandle) continue;
    const auto to = static_cast<VectorSlab::Slot>(next);
    if (next != slot && d != 0) {
      std::memcpy(slab.at(to), slab.at(static_cast<VectorSlab::Slot>(slot)), d * sizeof(float));
    }
    nodes_.set(h, NodeKind::Chunk, to, nodes_.has_extras(h));
    ++next;
  }
  slab.truncate(next);
  garbage_slots_ = 0;
}

void ContainerMap::forget_unlisted_ids() {
  const std::size_t count = nodes_.size();
  std::vector<bool> keep(count, false);
  for (Handle h = 0; h < count; ++h) keep[h] = nodes_.kind(h) != NodeKind::Absent;
  const auto mark_listed = [&](const ChildList& list) {
    for (const Handle child : list) keep[child] = true;
  };
  for (const auto& level : branches_) {
    for (const Branch& b : level) mark_listed(b.children);
  }
  for (const auto& [h, e] : chunk_extras_) mark_listed(e.children);
  std::vector<Handle> order;
  for (Handle h = 0; h < count; ++h) {
    if (keep[h]) order.push_back(h);
  }
  renumber_nodes(order);
}

void ContainerMap::renumber_nodes(std::span<const Handle> order) {
  // Build everything renumbered first, then swap it in: a failed allocation
  // leaves the map as it was. Nodes keep their groups (the table sorts them
  // in), in the order given within each group.
  std::vector<Handle> renumbered(nodes_.size(), kNoHandle);
  NodeTable fresh;
  std::size_t absent = 0;
  for (const Handle h : order) {
    const NodeKind kind = nodes_.kind(h);
    const std::size_t group =
        kind == NodeKind::Absent ? NodeTable::kUnlisted : static_cast<std::size_t>(kind);
    const Handle n = fresh.add(nodes_.id(h), group);
    fresh.set(n, kind, nodes_.payload(h), nodes_.has_extras(h));
    fresh.set_timestamp(n, nodes_.timestamp(h));
    if (kind == NodeKind::Absent) ++absent;
    renumbered[h] = n;
  }
  const auto map = [&](Handle h) { return renumbered[h]; };
  std::array<std::vector<ChildList>, 3> lists;
  for (std::size_t level = 0; level < 3; ++level) {
    lists[level].reserve(branches_[level].size());
    for (const Branch& b : branches_[level]) {
      ChildList list = b.children;
      list.renumber(map);
      lists[level].push_back(std::move(list));
    }
  }
  std::unordered_map<Handle, ChunkExtras> extras;
  extras.reserve(chunk_extras_.size());
  for (auto& [h, e] : chunk_extras_) {
    ChildList list = e.children;
    list.renumber(map);
    ChunkExtras& moved = extras[renumbered[h]];
    moved.other_length_centroid = e.other_length_centroid;
    moved.sum_kind = e.sum_kind;
    moved.sum = e.sum;
    moved.point_count = e.point_count;
    moved.children = std::move(list);
  }
  IdIndex index;
  index.reserve(fresh.used(), fresh);
  for (const Handle n : renumbered) {
    if (n != kNoHandle) index.add(index.hash(fresh.id(n)), n);
  }

  for (std::size_t level = 0; level < 3; ++level) {
    for (std::size_t i = 0; i < branches_[level].size(); ++i) {
      branches_[level][i].children = std::move(lists[level][i]);
    }
  }
  chunk_extras_ = std::move(extras);
  nodes_ = std::move(fresh);
  index_ = std::move(index);
  absent_nodes_ = absent;
}

}  // namespace orlo_kiv
