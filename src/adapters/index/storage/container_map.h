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
// Access goes through views (ContainerView, ContainerRef): small pointer-like
// values naming one container by handle. A view stays valid until its
// container is erased or replaced; spans and child lists read through it until
// the next change of the map. Nothing else is invalidated by insertion or
// erasure, except by collect_garbage(), which renumbers nodes. Iteration order
// is the order in which ids first became known to the map.
#pragma once

#include <algorithm>
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

#include "adapters/index/storage/child_list.h"
#include "adapters/index/storage/container.h"
#include "adapters/index/storage/id_index.h"
#include "adapters/index/storage/node_table.h"
#include "adapters/index/subspace.h"
#include "adapters/index/storage/vector_slab.h"
#include "core/id.h"

namespace orlo_kiv {

class ContainerMap;

// The children of one container, read as ids. Valid until the map changes.
class ChildIds {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Id;
    using difference_type = std::ptrdiff_t;
    using reference = const Id&;
    using pointer = const Id*;

    Iterator() noexcept = default;
    Iterator(const NodeTable* nodes, ChildList::Iterator at) noexcept : nodes_(nodes), at_(at) {}
    const Id& operator*() const noexcept { return nodes_->id(*at_); }
    const Id* operator->() const noexcept { return &nodes_->id(*at_); }
    Iterator& operator++() noexcept {
      ++at_;
      return *this;
    }
    Iterator operator++(int) noexcept {
      Iterator old = *this;
      ++at_;
      return old;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept { return a.at_ == b.at_; }

   private:
    const NodeTable* nodes_ = nullptr;
    ChildList::Iterator at_;
  };

  ChildIds(const NodeTable& nodes, const ChildList& list) noexcept : nodes_(&nodes), list_(&list) {}

  std::size_t size() const noexcept { return list_->size(); }
  bool empty() const noexcept { return list_->empty(); }
  Iterator begin() const noexcept { return {nodes_, list_->begin()}; }
  Iterator end() const noexcept { return {nodes_, list_->end()}; }
  // The id at position `i`; an internal error when i >= size().
  const Id& at(std::size_t i) const;
  const Id& operator[](std::size_t i) const { return at(i); }
  const Id& front() const { return at(0); }
  const Id& back() const;
  const ChildList& handles() const noexcept { return *list_; }

  std::vector<Id> to_vector() const { return {begin(), end()}; }
  operator std::vector<Id>() const { return to_vector(); }  // NOLINT: a copy, by design
  friend bool operator==(const ChildIds& a, const std::vector<Id>& b) {
    return a.size() == b.size() && std::equal(b.begin(), b.end(), a.begin());
  }

 private:
  const NodeTable* nodes_;
  const ChildList* list_;
};

// Edits the children of one container. Valid until the map changes otherwise.
class ChildEditor {
 public:
  ChildEditor(ContainerMap& map, ChildList& list) noexcept : map_(&map), list_(&list) {}

  std::size_t size() const noexcept { return list_->size(); }
  bool empty() const noexcept { return list_->empty(); }
  ChildIds view() const noexcept;
  ChildIds::Iterator begin() const noexcept { return view().begin(); }
  ChildIds::Iterator end() const noexcept { return view().end(); }

  // Appends `id`, which need not name a container.
  void push_back(const Id& id);
  // Appends the node `child` of the same map.
  void push_back(Handle child) {
    list_->reserve_one_more();
    list_->push_back(child);
  }
  // Makes room for `count` children in all, so that pushing back up to that
  // many ids that the map already knows cannot fail.
  void reserve(std::size_t count) {
    if (count > list_->size()) list_->reserve_more(count - list_->size());
  }
  // Appends every child listed by `other` (children of a container of the same map).
  void append(const ChildIds& other) { list_->append(other.handles()); }
  // Keeps the first `count` children.
  void truncate(std::size_t count) noexcept { list_->truncate(count); }
  // Removes every occurrence of `id`.
  void erase_all(const Id& id);
  // Removes every occurrence of the node `child` of the same map.
  void erase_all(Handle child) { list_->erase_all(child); }
  // Removes every child whose node handle satisfies `pred`; returns how many.
  template <class Pred>
  std::size_t erase_if(Pred pred) {
    return list_->erase_if(pred);
  }
  // Removes every child that names no container; returns how many. Frees the
  // room the list no longer needs.
  std::size_t erase_missing();
  void clear() noexcept { list_->clear(); }

 private:
  ContainerMap* map_;
  ChildList* list_;
};

// A container of the map, read-only, named by handle; or none (null).
class ContainerView {
 public:
  ContainerView() noexcept = default;
  ContainerView(std::nullptr_t) noexcept {}  // NOLINT: converts like a null pointer
  ContainerView(const ContainerMap& map, Handle handle) noexcept : map_(&map), handle_(handle) {}

  explicit operator bool() const noexcept { return map_ != nullptr; }
  friend bool operator==(const ContainerView& view, std::nullptr_t) noexcept { return !view; }
  // Pointer-like access: view->level(), *view.
  const ContainerView* operator->() const noexcept { return this; }
  ContainerView operator*() const noexcept { return *this; }

  Handle handle() const noexcept { return handle_; }
  const Id& id() const noexcept;
  ContainerLevel level() const noexcept;
  bool is_chunk() const noexcept { return level() == ContainerLevel::Chunk; }
  std::span<const float> centroid() const noexcept;
  ChildIds children() const noexcept;
  std::uint64_t point_count() const noexcept;
  std::uint64_t timestamp_ms() const noexcept;
  bool has_sum() const noexcept;
  // The running sum; empty when there is none.
  std::span<const float> sum() const noexcept;
  const Subspace* subspace() const noexcept;

 protected:
  const ContainerMap* map_ = nullptr;
  Handle handle_ = kNoHandle;
};

// A container of the map that may be changed through it; or none (null).
class ContainerRef : public ContainerView {
 public:
  ContainerRef() noexcept = default;
  ContainerRef(std::nullptr_t) noexcept {}  // NOLINT: converts like a null pointer
  ContainerRef(ContainerMap& map, Handle handle) noexcept : ContainerView(map, handle) {}

  const ContainerRef* operator->() const noexcept { return this; }
  ContainerRef operator*() const noexcept { return *this; }

  ChildEditor mutable_children() const;
  void set_centroid(std::vector<float> centroid) const;
  void set_sum(std::vector<float> sum) const;
  // Requires has_sum(). The sum for in-place change.
  std::vector<float>& mutable_sum() const;
  void set_point_count(std::uint64_t count) const;
  // The subspace for change; a fresh one is given its own storage first.
  Subspace* subspace() const;
  void set_subspace(std::unique_ptr<Subspace> subspace) const;

 private:
  ContainerMap& map() const noexcept { return const_cast<ContainerMap&>(*map_); }
};

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
  friend class ContainerView;
  friend class ContainerRef;
  friend class ChildEditor;

  // Every session, document and root starts with an empty subspace, which
  // most keep for good: those share one instead of holding their own.
  enum class SubspaceState : std::uint8_t { None, Fresh, Own };

  struct Branch {
    ChildList children;
    std::vector<float> odd_centroid;  // a centroid not dimensionality() long
    std::vector<float> sum;           // when has_sum
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
    bool odd = false;             // the centroid is not dimensionality() long
    std::vector<float> centroid;  // when odd
    ChunkSum sum_kind = ChunkSum::Centroid;
    std::vector<float> sum;  // when Own
    std::uint64_t point_count = 1;
    ChildList children;
  };

  static constexpr std::size_t kChunk = 3;
  // Reclaiming starts only past this many garbage slots or forgettable ids.
  static constexpr std::size_t kMinGarbage = 1024;
  static bool is_branch(NodeKind kind) noexcept { return kind < NodeKind::Chunk; }

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
  if (slot != NodeTable::kNoPayload) return slabs_[kChunk].vector(slot);
  return extras(h)->centroid;
}

inline std::span<const float> ContainerMap::centroid(Handle h) const noexcept {
  const NodeKind kind = nodes_.kind(h);
  if (kind == NodeKind::Chunk) return chunk_centroid(h);
  // A branch's extras flag marks a centroid of another length.
  if (nodes_.has_extras(h)) return branch(h).odd_centroid;
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
