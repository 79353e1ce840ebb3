// The tree as a consolidation run sees and edits it: exact recomputation of a
// container from the chunks beneath it, and the structural edits of a full run
// (merge, split, prune).
//
// One scan of the container map finds the roots, sessions and documents;
// later phases work from that list instead of visiting every chunk again.
// Containers hold no parent links, so the first query for a parent records,
// for each session and document, a container that lists it; every edit made
// through this class keeps that current. What the run learns about a
// container it keeps by the container's node handle, in arrays rather than
// tables keyed by id: a run looks such facts up several times per container.
// Edits made to the index by other means while a ConsolidationTree is alive
// leave them stale, and so does anything that renumbers the map's nodes.
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
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "adapters/index/storage/node_table.h"
#include "core/id.h"

namespace orlo_kiv {

class ContainerMap;
class ContainerRef;
class ContainerView;
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
  // pass over the map; forgets everything learnt before. Later structural
  // queries work from this scan, so it is taken before the first edit (the
  // first query takes it if nobody did), and again after the map renumbers
  // its nodes.
  const Branches& scan();
  // The result of the last scan.
  const Branches& branches() const noexcept { return branches_; }
  // Forgets the scan and everything learnt since; the next query scans again.
  // For use after the map renumbered its nodes.
  void forget_scan() noexcept;

  // Recomputes the centroid (normalised mean), sum and point count of one
  // non-chunk container from the chunks beneath it in the forest, and rebuilds
  // its subspace when the index keeps subspaces and the container is at most
  // three levels deep. Returns how far the centroid moved, or nothing (and
  // changes nothing) when `id` names no container, names a chunk or has no
  // chunk beneath it.
  std::optional<float> recompute_container(const Id& id);

  // The sibling that under-filled `document` should absorb: among the
  // documents listed by its parent (the first container in map order that
  // lists it) other than itself, the first with the fewest children. Nothing
  // when no container lists it or it has no such sibling. Valid while the
  // tree is unchanged; any edit through this class makes it choose afresh.
  std::optional<Id> merge_sibling(const ContainerView& document);

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
  // chunks are never removed. Returns how many containers were removed. A
  // pass costs what it removes and unlists, not the size of the tree.
  std::uint64_t prune_empty_containers();

  // How many children-list entries (and collected leaves) this tree's walks
  // and passes have examined: the measure of a run's work, which stays linear
  // in the size of the tree whatever its shape.
  std::uint64_t visits() const noexcept { return visits_; }

 private:
  // The sum and number of the chunks beneath a container (in the forest).
  struct Subtotal {
    std::vector<float> sum;
    std::uint64_t count = 0;
  };

  // What the run knows about one container, or about an id that children
  // lists name. Stamps hold the epoch of the walk, pass or edit in which they
  // were set and mean nothing in any other, so that starting a new one forgets
  // them all at once.
  struct Facts {
    Handle owner = kNoHandle;   // the forest's owner of a session or document
    Handle parent = kNoHandle;  // the first container listing it, in map order
    // A subtotal computed for a deep container or one of its children;
    // forgotten when an edit changes what is beneath it.
    std::unique_ptr<Subtotal> subtotal;
    // The leaves of a container whose children are all chunks or missing ids,
    // a range of flat_store_, valid in epoch leaves_epoch_.
    std::size_t leaves_offset = 0;
    std::size_t leaves_count = 0;
    std::uint32_t leaves_stamp = 0;
    std::uint32_t walk_stamp = 0;     // expanded in the current walk
    std::uint32_t counted_stamp = 0;  // summed into the current subtotal
    std::uint32_t pass_stamp = 0;     // removed in the current pruning pass
    // The sibling choice among the children of this container (a parent),
    // valid in epoch sibling_epoch_: the first child with the fewest children,
    // and the same among the children other than that one.
    std::uint32_t siblings_stamp = 0;
    Handle first_sibling = kNoHandle;
    Handle other_sibling = kNoHandle;
    bool scanned = false;  // a session, document or root at the scan
    bool created = false;  // a session or document made by a split
    bool deep = false;     // reaches more than three levels below itself
    bool reached = false;  // met by the walks that choose owners
    bool open = false;     // on the stack of a subtotal computation
  };

  // Levels a walk may descend below the container it starts from before that
  // container counts as deep: root, session, document, chunk.
  static constexpr std::uint8_t kShallowDepth = 3;
  static constexpr std::uint32_t kNoFacts = 0xFFFFFFFFu;

  ContainerMap& map() const noexcept;
  // The facts of `h`, or null when the run has none (a chunk, a missing id).
  Facts* known(Handle h) noexcept {
    return h < slot_of_.size() && slot_of_[h] != kNoFacts ? &facts_[slot_of_[h]] : nullptr;
  }
  // The facts of `h`, made empty when it has none. References stay valid.
  Facts& facts(Handle h);
  // Starts a new epoch of the stamp `field`; on wrap-around, clears it everywhere.
  std::uint32_t next_epoch(std::uint32_t& epoch, std::uint32_t Facts::*field) noexcept;

  void ensure_scanned();
  void build_parents();
  // The handle of the parent recorded for `h`, if any.
  Handle parent_of(Handle h);
  // Drops what was derived from the tree's shape; every edit calls it.
  void forget_derived() noexcept;
  void choose_siblings(Handle parent, Facts& facts) const;

  // The forest (see the top of this file).
  void ensure_owners();
  // After an edit moved `child` from `from` to `to`: `to` owns it if `from` did.
  void move_ownership(Handle child, Handle from, Handle to) noexcept;
  // Forgets what was computed for `h` because it is gone.
  void forget_container(Handle h) noexcept;
  // Forgets what was computed for `h`, whose children changed, and for its
  // owners above it: their subtotals and depth include what was beneath it.
  void forget_upwards(Handle h) noexcept;

  std::optional<float> recompute(Handle h);
  // Views of the embeddings beneath `h` in depth-first order of the children
  // lists, each owned container expanded once per walk: a chunk listed twice
  // appears twice, ids naming no container contribute nothing. Nothing when
  // the walk would go more than three levels below `h`. A chunk gives its
  // own embedding. The views are valid until the next collection or change.
  std::optional<std::span<const std::span<const float>>> collect_shallow_leaves(Handle h);
  // The leaves added one by one, in order, and their number.
  Subtotal sum_leaves(std::span<const std::span<const float>> leaves) const;
  // The subtotal of any container from the chunks it lists and the subtotals
  // of its owned children (each child summed leaf by leaf when it is shallow);
  // computed once per run and container, forgotten when an edit changes it.
  const Subtotal& subtotal_of(Handle h);
  // Stores a recomputed sum and count in `container` and returns the drift.
  float apply(const ContainerRef& container, std::vector<float> sum, std::uint64_t count,
              std::span<const std::span<const float>> leaves);

  KivIndex& index_;
  std::uint64_t visits_ = 0;

  // Facts by node handle: slot_of_ holds the position in facts_, which grows
  // without moving what it holds.
  std::vector<std::uint32_t> slot_of_;
  std::deque<Facts> facts_;
  std::uint32_t leaves_epoch_ = 1;
  std::uint32_t walk_epoch_ = 0;
  std::uint32_t counted_epoch_ = 0;
  std::uint32_t pass_epoch_ = 0;
  std::uint32_t sibling_epoch_ = 1;

  // Reused by every collection, so a run allocates them once.
  struct Pending {
    Handle node;
    Handle lister;  // the container whose list named it
    std::uint8_t depth;
  };
  std::vector<std::span<const float>> leaves_;
  std::vector<Pending> pending_;
  // The leaves of collected flat containers (see Facts::leaves_offset), so that
  // walks of their ancestors need not look every chunk up again.
  std::vector<std::span<const float>> flat_store_;

  bool scanned_ = false;
  Branches branches_;
  // The same containers by handle, and every container with children at the
  // scan (chunks included), in map order.
  std::vector<Handle> documents_;
  std::vector<Handle> sessions_;
  std::vector<Handle> listing_;
  // Sessions and documents created by splits after the scan.
  std::vector<Handle> created_;

  bool parents_built_ = false;
  bool owners_built_ = false;
};

}  // namespace orlo_kiv
