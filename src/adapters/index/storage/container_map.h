// The container map: the owner of every container of an index, keyed by Id.
//
// Containers are stored by kind rather than one object each. Every id has a
// node (node_table.h) found through an id index (id_index.h); children lists
// hold node handles (child_list.h), so walking the tree needs no lookup by id.
// Vectors live in one slab per level (vector_slab.h): a chunk's embedding in
// the chunk slab, a root's, session's or document's centroid in its level's
// slab at the same position as the rest of its data. Containers created one
// after another sit next to each other, so the chunks of a document, or the
// documents of a session, are scored in one streaming pass.
//
// What a chunk has beyond its embedding (point count other than 1, a sum other
// than its embedding, children, a vector of another length) is rare and kept
// apart.
//
// Access goes through views (container_view.h, container_ref.h): small
// pointer-like values naming one container by handle, which read children
// through child_ids.h and change them through child_editor.h. Nothing but the
// erasure or replacement of its own container invalidates a view, except
// collect_garbage(), which renumbers nodes. Iteration order is the order in
// which ids first became known to the map.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "adapters/index/storage/child_editor.h"
#include "adapters/index/storage/child_ids.h"
#include "adapters/index/storage/child_list.h"
#include "adapters/index/storage/container.h"
#include "adapters/index/storage/container_level.h"
#include "adapters/index/storage/container_ref.h"
#include "adapters/index/storage/container_view.h"
#include "adapters/index/storage/id_index.h"
#include "adapters/index/storage/node_table.h"
#include "adapters/index/storage/vector_slab.h"
#include "adapters/index/subspace.h"
#include "core/id.h"

namespace orlo_kiv {

class ContainerMap {
 public:
  template <bool Mutable>
  class Iterator {
    using Map = std::conditional_t<Mutable, ContainerMap, const ContainerMap>;
    using View = std::conditional_t<Mutable, ContainerRef, ContainerView>;

   public:
    struct Entry {
      const Id& first;
      View second;
    };
    struct Arrow {
      Entry entry;
      const Entry* operator->() const noexcept { return &entry; }
    };
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using reference = Entry;
    using pointer = Arrow;

    Iterator() noexcept = default;
    Iterator(Map* map, Handle at) noexcept : map_(map), at_(at) { skip_absent(); }
    Entry operator*() const noexcept { return {map_->nodes_.id(at_), View(*map_, at_)}; }
    Arrow operator->() const noexcept { return {**this}; }
    Iterator& operator++() noexcept {
      ++at_;
      skip_absent();
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept { return a.at_ == b.at_; }

   private:
    void skip_absent() noexcept {
      while (at_ < map_->nodes_.size() && map_->nodes_.kind(at_) == NodeKind::Absent) ++at_;
    }
    Map* map_ = nullptr;
    Handle at_ = 0;
  };
  using iterator = Iterator<true>;
  using const_iterator = Iterator<false>;

  // An empty map whose vectors are `dimensionality` floats long (others are
  // stored too, apart).
  explicit ContainerMap(std::size_t dimensionality = 0);
  ContainerMap(ContainerMap&& other) noexcept;
  ContainerMap& operator=(ContainerMap&& other) noexcept;
  ContainerMap(const ContainerMap&) = delete;
  ContainerMap& operator=(const ContainerMap&) = delete;
  ~ContainerMap();

  std::size_t dimensionality() const noexcept { return dimensionality_; }

  // Containers stored, in all and by level; kept up to date by every change.
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::uint64_t count(ContainerLevel level) const noexcept {
    return counts_[static_cast<std::size_t>(level)];
  }

  iterator begin() noexcept { return {this, 0}; }
  iterator end() noexcept { return {this, static_cast<Handle>(nodes_.size())}; }
  const_iterator begin() const noexcept { return {this, 0}; }
  const_iterator end() const noexcept { return {this, static_cast<Handle>(nodes_.size())}; }

  ContainerRef find(const Id& id) noexcept;
  ContainerView find(const Id& id) const noexcept;
  // The same, trying first the handle in `hint` (any value will do) and
  // leaving the id's handle there: looking up the same ids again and again,
  // as insertion does, then costs no hashing.
  ContainerRef find(const Id& id, Handle& hint) noexcept;
  bool contains(const Id& id) const noexcept { return static_cast<bool>(find(id)); }

  // Stores `container` under `id`, replacing (and dropping) an existing entry.
  // Returns the entry and whether it is new. On allocation failure the map
  // holds the same containers as before.
  std::pair<ContainerRef, bool> insert_or_assign(const Id& id, Container&& container);

  // Stores a chunk: `embedding` (dimensionality() floats) as its centroid and
  // sum, point count 1, no children. The same as insert_or_assign with
  // Container::chunk, without building the value first.
  std::pair<ContainerRef, bool> insert_chunk(const Id& id, std::span<const float> embedding,
                                             std::uint64_t timestamp_ms);

  // Removes the entry for `id`, if any; returns how many were removed. Ids
  // that children lists name stay known, so that they resolve again if the id
  // is stored anew.
  std::size_t erase(const Id& id) noexcept;
  // The same for the container of node `h`.
  std::size_t erase_node(Handle h) noexcept;

  // Makes room for `count` entries.
  void reserve(std::size_t count);

  // One container as decoded data holds it, its vectors as little-endian f32
  // bytes (dimensionality() values each).
  struct Record {
    Id id;
    ContainerLevel level;
    std::uint64_t timestamp_ms;
    const std::uint8_t* children;  // child_count ids of 16 bytes
    std::uint32_t child_count;
    std::uint64_t point_count;
    const std::uint8_t* centroid;
    const std::uint8_t* sum;  // null: no sum
  };
  using DecodeVector = void (*)(const std::uint8_t* bytes, std::span<float> out) noexcept;

  // Fills an empty map from `records`; a later record replaces an earlier one
  // with the same id. Vectors are laid out depth first from `root` (then from
  // every container not reached), so that children sit together; every
  // session, document and root gets a fresh, empty subspace.
  void load(std::span<const Record> records, const std::optional<Id>& root, DecodeVector decode);

  // Returns the memory of removed chunks and forgets ids that no container
  // and no children list names any more, when there is enough of either to be
  // worth it. Renumbers nodes: every view and child list read before is stale.
  // Returns whether it did anything.
  bool collect_garbage();

  // collect_garbage, where running out of memory meanwhile is not an error
  // (giving memory back is optional). Returns whether it did anything.
  bool shrink_to_fit() noexcept;

  // --- Direct access by handle, for the query paths --------------------------------

  Handle handle_of(const Id& id) const noexcept;
  Handle handle_of(const Id& id, Handle& hint) const noexcept {
    if (hint < nodes_.size() && nodes_.kind(hint) != NodeKind::Absent && nodes_.id(hint) == id) {
      return hint;
    }
    hint = handle_of(id);
    return hint;
  }
  // One more than the largest node handle.
  std::size_t handle_bound() const noexcept { return nodes_.size(); }
  NodeKind kind(Handle h) const noexcept { return nodes_.kind(h); }
  const Id& id(Handle h) const noexcept { return nodes_.id(h); }
  std::uint64_t timestamp(Handle h) const noexcept { return nodes_.timestamp(h); }
  // The centroid of a present node.
  std::span<const float> centroid(Handle h) const noexcept;
  // Start of the centroid of a present node whose centroid is dimensionality()
  // long, for prefetching; null otherwise.
  const float* slab_centroid(Handle h) const noexcept;
  // The children of a present node.
  const ChildList& children(Handle h) const noexcept;
  const Subspace* subspace(Handle h) const noexcept;
  std::uint64_t point_count(Handle h) const noexcept;

 private:
  friend class ChildEditor;
  friend class ContainerView;
  friend class ContainerRef;

  // Every session, document and root starts with an empty subspace, which
  // most keep for good: those share one instead of holding their own.
  enum class SubspaceState : std::uint8_t { None, Fresh, Own };

  struct Branch {
    ChildList children;
    // A centroid whose length is not dimensionality(): it does not fit the
    // level's slab and is kept here instead (the node's extras flag says so).
    std::vector<float> other_length_centroid;
    std::vector<float> sum;  // when has_sum
    std::uint64_t point_count = 0;
    std::unique_ptr<Subspace> subspace;  // state Own
    bool has_sum = false;
    SubspaceState subspace_state = SubspaceState::None;
  };

  // Stores `subspace` in `b`: as the shared empty one when it is just that.
  void adopt_subspace(Branch& b, std::unique_ptr<Subspace> subspace) const noexcept;

  static_assert(std::is_nothrow_move_constructible_v<ChildList>);

  enum class ChunkSum : std::uint8_t { Centroid, Absent, Own };

  struct ChunkExtras {
    // A centroid whose length is not dimensionality(): it is kept here, and
    // the chunk has no slot in the chunk slab.
    std::vector<float> other_length_centroid;
    ChunkSum sum_kind = ChunkSum::Centroid;
    std::vector<float> sum;  // when Own
    std::uint64_t point_count = 1;
    ChildList children;
  };

  // The chunk level's index in the arrays kept per level, and the node group
  // that chunks are numbered in.
  static constexpr std::size_t kChunkLevel = static_cast<std::size_t>(ContainerLevel::Chunk);
  // Reclaiming starts only past this many garbage slots or forgettable ids.
  static constexpr std::size_t kMinGarbage = 1024;
  static bool is_branch(NodeKind kind) noexcept { return kind < NodeKind::Chunk; }
  VectorSlab& chunk_slab() noexcept { return slabs_[kChunkLevel]; }
  const VectorSlab& chunk_slab() const noexcept { return slabs_[kChunkLevel]; }

  Branch& branch(Handle h) noexcept {
    return branches_[static_cast<std::size_t>(nodes_.kind(h))][nodes_.payload(h)];
  }
  const Branch& branch(Handle h) const noexcept {
    return branches_[static_cast<std::size_t>(nodes_.kind(h))][nodes_.payload(h)];
  }
  ChunkExtras* extras(Handle h) noexcept;
  const ChunkExtras* extras(Handle h) const noexcept;
  ChunkExtras& make_extras(Handle h);

  // The handle of `id`, adding an absent node for it to `group` (a level, or
  // NodeTable::kUnlisted) when it has none.
  Handle intern(const Id& id, std::size_t group);
  ChildList intern_all(const std::vector<Id>& ids);
  // Drops what node `h` stores; it becomes absent.
  void release(Handle h) noexcept;
  // A free branch position of `level`, with its centroid slot.
  VectorSlab::Slot allocate_branch(std::size_t level);
  void store_branch(Handle h, ContainerLevel level, Container&& container, ChildList children);
  void store_chunk(Handle h, Container&& container, ChildList children);
  void finish_store(Handle h, bool was_present, std::size_t old_level);
  // Sets the timestamp of `h` before its new data is stored; on failure the
  // chunk slot just appended for it counts as garbage.
  void set_timestamp_or_drop_slot(Handle h, std::uint64_t timestamp_ms, std::uint32_t slot);

  std::span<const float> chunk_centroid(Handle h) const noexcept;

  void place_loaded(Handle h, const Record& record, ChildList children, DecodeVector decode);
  void compact_chunk_slab();
  void forget_unlisted_ids();
  // Numbers the nodes in `order` (each once; every present node and every
  // listed id among them) afresh and drops all others.
  void renumber_nodes(std::span<const Handle> order);

  std::size_t dimensionality_;
  NodeTable nodes_;
  IdIndex index_;
  // One per level: Global, Session, Document, Chunk. A branch's centroid
  // occupies the slot with its own position in branches_.
  std::array<VectorSlab, 4> slabs_;
  std::array<std::vector<Branch>, 3> branches_;
  std::array<std::vector<std::uint32_t>, 3> free_branches_;
  // The empty subspace that branches in state Fresh stand for.
  Subspace fresh_subspace_;
  std::unordered_map<Handle, ChunkExtras> chunk_extras_;
  std::array<std::uint64_t, 4> counts_{};
  std::size_t size_ = 0;
  std::size_t absent_nodes_ = 0;
  // Chunk slots whose chunk was removed or replaced.
  std::size_t garbage_slots_ = 0;
  // Absent nodes at which collect_garbage next looks for ids to forget.
  std::size_t forget_threshold_ = kMinGarbage;
};

// --- Inline hot paths --------------------------------------------------------------

inline std::span<const float> ContainerMap::chunk_centroid(Handle h) const noexcept {
  const std::uint32_t slot = nodes_.payload(h);
  if (slot != NodeTable::kNoPayload) return chunk_slab().vector(slot);
  return extras(h)->other_length_centroid;
}

inline std::span<const float> ContainerMap::centroid(Handle h) const noexcept {
  const NodeKind kind = nodes_.kind(h);
  if (kind == NodeKind::Chunk) return chunk_centroid(h);
  // A branch's extras flag marks a centroid of another length.
  if (nodes_.has_extras(h)) return branch(h).other_length_centroid;
  return slabs_[static_cast<std::size_t>(kind)].vector(nodes_.payload(h));
}

inline const float* ContainerMap::slab_centroid(Handle h) const noexcept {
  const NodeKind kind = nodes_.kind(h);
  const std::uint32_t slot = nodes_.payload(h);
  if (kind == NodeKind::Chunk ? slot == NodeTable::kNoPayload : nodes_.has_extras(h)) {
    return nullptr;
  }
  return slabs_[static_cast<std::size_t>(kind)].at(slot);
}

inline const Id& ContainerView::id() const noexcept { return map_->nodes_.id(handle_); }
inline ContainerLevel ContainerView::level() const noexcept {
  return static_cast<ContainerLevel>(map_->nodes_.kind(handle_));
}
inline std::span<const float> ContainerView::centroid() const noexcept {
  return map_->centroid(handle_);
}
inline std::uint64_t ContainerView::timestamp_ms() const noexcept {
  return map_->nodes_.timestamp(handle_);
}

}  // namespace orlo_kiv
