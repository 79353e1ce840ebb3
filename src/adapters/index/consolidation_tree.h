// The tree as a consolidation run sees and edits it: exact recomputation of a
// container from the chunks beneath it, and the structural edits of a full run
// (merge, split, prune).
//
// One scan of the container map finds the roots, sessions and documents;
// later phases work from that list instead of visiting every chunk again.
// Containers hold no parent links, so the first query for a parent builds a
// map from each session and document to a container that lists it; every edit
// made through this class keeps both current. Edits made to the index by other
// means while a ConsolidationTree is alive leave them stale.
//
// Loaded data need not be a tree: a container may be listed by several
// parents, lists may form cycles, and chains may run far deeper than the four
// levels. So that such shapes cost linear work, every run reads the children
// lists as a forest: each session or document belongs to one owner, the first
// container that lists it in a depth-first walk of the lists from the root
// (then from the containers nothing lists, then from the rest, each in level
// and id order), and counts only beneath that owner. In a tree the owner of
// every container is its one parent. A container whose forest reaches at most
// three levels below it (every container of a tree) sums its chunks one by
// one in depth-first order, as it always has; a deeper one adds up the sums
// of the chunks it lists and of its owned children, each computed once, so
// its centroid may differ in rounding from a leaf-by-leaf sum.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/id.h"

namespace orlo_kiv {

class ContainerRef;
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

  // Removes from every children list the ids that name no container (left
  // behind by removals), releasing the room they took; the order of the rest
  // is kept. Returns how many were removed. Call before scan().
  std::uint64_t drop_missing_children();

  // The roots, sessions and documents as the map holds them now, found by one
  // pass over the map. Later structural queries work from this scan, so it is
  // taken before the first edit (the first query takes it if nobody did).
  const Branches& scan();
  // The result of the last scan.
  const Branches& branches() const noexcept { return branches_; }

  // Recomputes the centroid (normalised mean), sum and point count of one
  // non-chunk container from the chunks beneath it in the forest, and rebuilds
  // its subspace when the index keeps subspaces and the container is at most
  // three levels deep. Returns how far the centroid moved, or nothing (and
  // changes nothing) when `id` names no container, names a chunk or has no
  // chunk beneath it.
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

  // How many children-list entries (and collected leaves) this tree's walks
  // and passes have examined: the measure of a run's work, which stays linear
  // in the size of the tree whatever its shape.
  std::uint64_t visits() const noexcept { return visits_; }

 private:
  struct SiblingChoice {
    std::optional<Id> first;  // first child with the fewest children
    std::optional<Id> other;  // the same among the children other than `first`
  };
  // The sum and number of the chunks beneath a container (in the forest).
  struct Subtotal {
    std::vector<float> sum;
    std::uint64_t count = 0;
  };

  // Empties a hash table at a cost in proportion to what it holds. clear()
  // also zeroes every bucket, and a table keeps the buckets of the most it
  // ever held, so emptying a table once sized for every document after each
  // edit, or each pruning pass, would cost that much every time.
  template <class Table>
  static void empty_table(Table& table) {
    if (table.empty()) return;
    if (table.bucket_count() > 4 * table.size() + 64) {
      Table(0, table.hash_function(), table.key_eq()).swap(table);
    } else {
      table.clear();
    }
  }

  void ensure_scanned();
  void build_parents();
  // Drops what was derived from the tree's shape; every edit calls it.
  void forget_derived();
  SiblingChoice choose_siblings(const Id& parent) const;

  // The forest (see the top of this file).
  void ensure_owners();
  bool owns(const Id& owner, const Id& child) const;
  // After an edit moved `child` from `from` to `to`: `to` owns it if `from` did.
  void move_ownership(const Id& child, const Id& from, const Id& to);
  // Forgets what was computed for `id` because it is gone.
  void forget_container(const Id& id);
  // Forgets what was computed for `id`, whose children changed, and for its
  // owners above it: their subtotals and depth include what was beneath it.
  void forget_upwards(const Id& id);

  // Views of the embeddings beneath `id` in depth-first order of the children
  // lists, each owned container expanded once per walk: a chunk listed twice
  // appears twice, ids naming no container contribute nothing. Nothing when
  // the walk would go more than three levels below `id`. A chunk id gives its
  // own embedding. The views are valid until the next collection or change.
  std::optional<std::span<const std::span<const float>>> collect_shallow_leaves(const Id& id);
  // The leaves added one by one, in order, and their number.
  Subtotal sum_leaves(std::span<const std::span<const float>> leaves) const;
  // The subtotal of any container from the chunks it lists and the subtotals
  // of its owned children (each child summed leaf by leaf when it is shallow);
  // computed once per run and container, forgotten when an edit changes it.
  const Subtotal& subtotal_of(const Id& id);
  // Stores a recomputed sum and count in `container` and returns the drift.
  float apply(const ContainerRef& container, std::vector<float> sum, std::uint64_t count,
              std::span<const std::span<const float>> leaves);

  // Levels a walk may descend below the container it starts from before that
  // container counts as deep: root, session, document, chunk.
  static constexpr std::uint8_t kShallowDepth = 3;

  KivIndex& index_;
  std::uint64_t visits_ = 0;

  // Reused by every collection, so a run allocates them once.
  struct Pending {
    const Id* id;
    const Id* lister;  // the container whose list named it
    std::uint8_t depth;
  };
  std::vector<std::span<const float>> leaves_;
  std::vector<Pending> pending_;
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

  bool owners_built_ = false;
  // Owned session or document -> its owner.
  std::unordered_map<Id, Id, IdHash> owners_;
  // Subtotals of deep containers and of the children they were built from.
  std::unordered_map<Id, Subtotal, IdHash> subtotals_;
  // Containers known to reach more than three levels below themselves: a walk
  // that meets one is too deep at once, without descending to find out again.
  std::unordered_set<Id, IdHash> deep_;
};

}  // namespace orlo_kiv
