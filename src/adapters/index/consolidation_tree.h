// The tree as a consolidation run sees and edits it: exact recomputation of a
// container from the chunks beneath it, and the structural edits of a full run
// (merge, split, prune).
//
// One scan of the container map finds the roots, sessions and documents;
// later phases work from that list instead of visiting every chunk again.
// Containers hold no parent links, so the first query for a parent builds a
// map from each session and document to a container that lists it; every edit
// made through this class keeps both current, which makes a full run linear in
// the size of the tree. Edits made to the index by other means while a
// ConsolidationTree is alive leave them stale.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/id.h"

namespace orlo_kiv {

class KivIndex;

class ConsolidationTree {
 public:
  // The non-chunk containers of the index, by level, each in map order.
  struct Branches {
    std::vector<Id> documents;
    std::vector<Id> sessions;
    std::vector<Id> globals;
  };

  explicit ConsolidationTree(KivIndex& index) noexcept : index_(index) {}

  ConsolidationTree(const ConsolidationTree&) = delete;
  ConsolidationTree& operator=(const ConsolidationTree&) = delete;

  // The roots, sessions and documents as the map holds them now, found by one
  // pass over the map. Later structural queries work from this scan, so it is
  // taken before the first edit (the first query takes it if nobody did).
  const Branches& scan();
  // The result of the last scan.
  const Branches& branches() const noexcept { return branches_; }

  // Views of the embeddings of every chunk beneath `id`, in depth-first order
  // of the children lists: a chunk listed twice appears twice, ids naming no
  // container contribute nothing, and a non-chunk container is expanded at
  // most once, so shared or cyclic structures stay finite. A chunk id gives its
  // own embedding. The views are valid until the next collection or change.
  std::span<const std::span<const float>> collect_leaf_vectors(const Id& id);

  // Recomputes the centroid (normalised mean), sum and point count of one
  // non-chunk container from the chunks beneath it, and rebuilds its subspace
  // when the index keeps subspaces. Returns how far the centroid moved, or
  // nothing (and changes nothing) when `id` names no container, names a chunk
  // or has no chunk beneath it.
  std::optional<float> recompute_container(const Id& id);

  // A container that lists `id` among its children, if any.
  std::optional<Id> find_parent(const Id& id);

  // The sibling that under-filled document `id` should absorb: among the
  // documents listed by `parent` other than `id`, the first with the fewest
  // children. Valid while the tree is unchanged; any edit through
  // this class starts a fresh cache.
  std::optional<Id> merge_sibling(const Id& id, const Id& parent);

  // Moves the children of `absorbed` to the end of those of `target`, unlists
  // and deletes `absorbed`, and recomputes `target`. Does nothing when either
  // is missing or both are the same container, so that no chunk loses its
  // only path from the root.
  void merge_containers(const Id& target, const Id& absorbed);

  // Moves the second half of the children of `id` (the larger half for an odd
  // count) to a new container of the same level appended to the parent, and
  // recomputes both. Returns false, changing nothing, when `id` is missing or
  // has fewer than 2 children.
  bool split_container(const Id& id);

  // Removes, pass after pass, every session and document without children
  // (and unlists it from its parent), until a pass finds none. The root and
  // chunks are never removed. Returns how many containers were removed.
  std::uint64_t prune_empty_containers();

 private:
  struct SiblingChoice {
    std::optional<Id> first;  // first child with the fewest children
    std::optional<Id> other;  // the same among the children other than `first`
  };

  void ensure_scanned();
  void build_parents();
  // Drops what was derived from the tree's shape; every edit calls it.
  void forget_derived() noexcept;
  SiblingChoice choose_siblings(const Id& parent) const;

  KivIndex& index_;
  // Reused by every collection, so a run allocates them once.
  std::vector<std::span<const float>> leaves_;
  std::vector<const Id*> pending_;
  std::unordered_set<Id, IdHash> expanded_;

  // The leaves of each collected container whose children are all chunks or
  // missing ids, so that walks of its ancestors need not look every chunk up
  // again. A range of `flat_store_`.
  struct LeafRange {
    std::size_t offset;
    std::size_t count;
  };
  std::unordered_map<Id, LeafRange, IdHash> flat_leaves_;
  std::vector<std::span<const float>> flat_store_;

  bool scanned_ = false;
  Branches branches_;
  // The ids of every non-chunk container at the scan.
  std::unordered_set<Id, IdHash> non_chunks_;
  // Every container with children at the scan, chunks included.
  std::vector<Id> listing_;
  // Sessions and documents created by splits after the scan.
  std::vector<Id> created_;

  bool parents_built_ = false;
  // Non-chunk container -> a container listing it.
  std::unordered_map<Id, Id, IdHash> parents_;
  std::unordered_map<Id, SiblingChoice, IdHash> sibling_choices_;
};

}  // namespace orlo_kiv
