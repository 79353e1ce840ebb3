// Structural edits of a full consolidation run: the scan of the roots,
// sessions and documents, parent lookup, the choice of the sibling an
// under-filled document absorbs, merge, split and prune.
//
// The parent map records, for every non-chunk container that some container
// lists, the first such container in map order; merges, splits and prunes
// update it as they move or delete children. Parents are only ever asked for
// sessions and documents, so chunks are left out of the map.
#include <algorithm>

#include "adapters/index/consolidation_tree.h"
#include "adapters/index/kiv.h"
#include "core/clock.h"

namespace orlo_kiv {
void ConsolidationTree::forget_derived() noexcept {
  sibling_choices_.clear();
  flat_leaves_.clear();
  flat_store_.clear();
}

const ConsolidationTree::Branches& ConsolidationTree::scan() {
  forget_derived();
  branches_ = Branches{};
  non_chunks_.clear();
  listing_.clear();
  created_.clear();
  for (const auto& [id, container] : index_.containers()) {
    switch (container.level()) {
      case ContainerLevel::Global:
        branches_.globals.push_back(id);
        break;
      case ContainerLevel::Session:
        branches_.sessions.push_back(id);
        break;
      case ContainerLevel::Document:
        branches_.documents.push_back(id);
        break;
      case ContainerLevel::Chunk:
        break;
    }
    if (!container.is_chunk()) non_chunks_.insert(id);
    if (!container.children().empty()) listing_.push_back(id);
  }
  scanned_ = true;
  parents_built_ = false;
  return branches_;
}

void ConsolidationTree::ensure_scanned() {
  if (!scanned_) scan();
}

void ConsolidationTree::build_parents() {
  ensure_scanned();
  parents_.clear();
  // The scan's order is the map's, so the first container found listing an
  // id is the first in map order.
  for (const Id& parent_id : listing_) {
    const ContainerView container = index_.find(parent_id);
    if (!container) continue;
    for (const Id& child : container->children()) {
      if (non_chunks_.contains(child)) parents_.try_emplace(child, parent_id);
    }
  }
  parents_built_ = true;
}

std::optional<Id> ConsolidationTree::find_parent(const Id& id) {
  if (!parents_built_) build_parents();
  const auto it = parents_.find(id);
  if (it == parents_.end()) return std::nullopt;
  return it->second;
}

ConsolidationTree::SiblingChoice ConsolidationTree::choose_siblings(const Id& parent) const {
  SiblingChoice choice;
  const ContainerView container = index_.find(parent);
  if (!container) return choice;
  // Only documents are merged. Loaded data may list a chunk, a session or even
  // the root beside them: absorbing a chunk would delete a stored embedding,
  // and absorbing a session or the root could cut the tree off from its root.
  const auto candidate_size = [&](const Id& child) -> std::optional<std::size_t> {
    const ContainerView sibling = index_.find(child);
    if (!sibling || sibling->level() != ContainerLevel::Document) return std::nullopt;
    return sibling->children().size();
  };
  // Only a strictly smaller count replaces the choice, so ties go to the
  // earlier child.
  std::size_t fewest = 0;
  for (const Id& child : container->children()) {
    const auto size = candidate_size(child);
    if (size && (!choice.first || *size < fewest)) {
      choice.first = child;
      fewest = *size;
    }
  }
  if (!choice.first) return choice;
  for (const Id& child : container->children()) {
    if (child == *choice.first) continue;
    const auto size = candidate_size(child);
    if (size && (!choice.other || *size < fewest)) {
      choice.other = child;
      fewest = *size;
    }
  }
  return choice;
}

std::optional<Id> ConsolidationTree::merge_sibling(const Id& id, const Id& parent) {
  auto it = sibling_choices_.find(parent);
  if (it == sibling_choices_.end())
    it = sibling_choices_.emplace(parent, choose_siblings(parent)).first;
  const SiblingChoice& choice = it->second;
  // The first fewest-children sibling is also the choice for every other
  // child: leaving one of the others out cannot make an earlier child smaller.
  if (choice.first && *choice.first != id) return choice.first;
  return choice.other;
}

void ConsolidationTree::merge_containers(const Id& target, const Id& absorbed) {
  if (target == absorbed) return;
  const ContainerRef into = index_.find(target);
  const ContainerRef from = index_.find(absorbed);
  // A pair whose target was itself absorbed earlier in the run is skipped:
  // deleting `absorbed` now would strand its children.
  if (!into || !from) return;
  if (!parents_built_) build_parents();
  forget_derived();

  for (const Id& child : from->children()) {
    const auto parent = parents_.find(child);
    if (parent != parents_.end() && parent->second == absorbed) parent->second = target;
  }
  into->mutable_children().append(from->children());
  from->mutable_children().clear();

  if (const auto parent = find_parent(absorbed)) {
    if (const ContainerRef holder = index_.find(*parent)) {
      holder->mutable_children().erase_all(absorbed);
    }
  }
  parents_.erase(absorbed);
  index_.containers().erase(absorbed);
  recompute_container(target);
}

bool ConsolidationTree::split_container(const Id& id) {
  const ContainerRef container = index_.find(id);
  if (!container) return false;
  const std::optional<Id> parent = find_parent(id);
  const std::size_t n = container->children().size();
  if (n < 2) return false;
  forget_derived();

  // Everything that can fail to allocate happens before the first child
  // moves, so a failure leaves the tree as it was.
  const ContainerRef holder = parent ? index_.find(*parent) : nullptr;
  if (holder) holder->mutable_children().reserve(holder->children().size() + 1);
  const Id fresh = new_id();
  Container half = Container::branch(fresh, container->level(), index_.dimensionality(), now_ms());
  half.mutable_children().reserve(n - n / 2);
  std::size_t position = 0;
  for (const Id& child : container->children()) {
    if (position++ >= n / 2) half.mutable_children().push_back(child);
  }
  const ContainerLevel level = container->level();
  if (level == ContainerLevel::Session || level == ContainerLevel::Document) {
    created_.reserve(created_.size() + 1);
  }
  // NOLINTNEXTLINE(bugprone-unchecked-optional-access): a holder is found only through `parent`.
  if (holder) parents_.insert_or_assign(fresh, *parent);
  // Views name containers by handle: `container` and `holder` stay valid
  // across this insertion.
  index_.containers().insert_or_assign(fresh, std::move(half));

  container->mutable_children().truncate(n / 2);
  if (holder) holder->mutable_children().push_back(fresh);
  if (level == ContainerLevel::Session || level == ContainerLevel::Document) {
    created_.push_back(fresh);
  }
  for (const Id& child : index_.find(fresh)->children()) {
    const auto listed_by = parents_.find(child);
    if (listed_by != parents_.end() && listed_by->second == id) listed_by->second = fresh;
  }
  recompute_container(id);
  recompute_container(fresh);
  return true;
}

std::uint64_t ConsolidationTree::prune_empty_containers() {
  // Parents are looked up only when something is removed; a run that finds
  // nothing empty never builds the map.
  ensure_scanned();
  std::uint64_t total = 0;
  std::vector<Id> empty;
  const auto collect_empty = [&](const std::vector<Id>& ids) {
    for (const Id& id : ids) {
      const ContainerView container = index_.find(id);
      if (container && container->children().empty()) empty.push_back(id);
    }
  };
  // Only sessions and documents are ever removed; they all come from the scan
  // or from splits, so the chunks need not be visited.
  while (!index_.containers().empty()) {
    empty.clear();
    collect_empty(branches_.documents);
    collect_empty(branches_.sessions);
    collect_empty(created_);
    if (empty.empty()) break;
    forget_derived();
    for (const Id& id : empty) {
      if (const auto parent = find_parent(id)) {
        if (const ContainerRef holder = index_.find(*parent)) {
          holder->mutable_children().erase_all(id);
        }
      }
      parents_.erase(id);
      index_.containers().erase(id);
    }
    total += empty.size();
  }
  return total;
}

}  // namespace orlo_kiv
