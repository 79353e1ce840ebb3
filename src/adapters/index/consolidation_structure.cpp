// Structural edits of a full consolidation run: the scan of the roots,
// sessions and documents, parent lookup, the choice of the sibling an
// under-filled document absorbs, merge, split and prune.
//
// The parent map records, for every non-chunk container that some container
// lists, the first such container in map order; merges, splits and prunes
// update it, and the forest's owners, as they move or delete children. Parents
// are only ever asked for sessions and documents, so chunks are left out of
// the map.
#include <algorithm>

#include "adapters/index/consolidation_tree.h"
#include "adapters/index/kiv.h"
#include "core/clock.h"

namespace orlo_kiv {

void ConsolidationTree::forget_derived() {
  empty_table(sibling_choices_);
  empty_table(flat_leaves_);
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
  owners_built_ = false;
  owners_.clear();
  subtotals_.clear();
  deep_.clear();
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
      ++visits_;
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

  visits_ += from->children().size();
  for (const Id& child : from->children()) {
    const auto parent = parents_.find(child);
    if (parent != parents_.end() && parent->second == absorbed) parent->second = target;
    move_ownership(child, absorbed, target);
  }
  // Appending makes its room first, so a failed allocation cannot leave
  // children between the two lists.
  into->mutable_children().append(from->children());
  from->mutable_children().clear();

  if (const auto parent = find_parent(absorbed)) {
    if (const ContainerRef holder = index_.find(*parent)) {
      visits_ += holder->children().size();
      holder->mutable_children().erase_all(absorbed);
    }
  }
  // What absorbed held now counts beneath target, and no longer beneath
  // absorbed's owner, which need not be the parent it was unlisted from (a
  // parent that did not own it counted nothing of it).
  if (const auto owner = owners_.find(absorbed); owner != owners_.end()) {
    const Id previous_owner = owner->second;
    owners_.erase(owner);
    forget_upwards(previous_owner);
  }
  parents_.erase(absorbed);
  forget_container(absorbed);
  forget_upwards(target);
  index_.containers().erase(absorbed);
  recompute_container(target);
}

bool ConsolidationTree::split_container(const Id& id) {
  const ContainerView container = index_.find(id);
  if (!container) return false;
  const std::optional<Id> parent = find_parent(id);
  const std::size_t n = container->children().size();
  if (n < 2) return false;
  forget_derived();

  // Everything that can fail to allocate happens before the tree changes, so a
  // failure leaves it as it was. The new half gets an id no container has:
  // storing it under a taken one would replace that container.
  const ContainerLevel level = container->level();
  const std::size_t kept = n / 2;
  const Id fresh = index_.unused_id();
  Container half = Container::branch(fresh, level, index_.dimensionality(), now_ms());
  half.mutable_children().reserve(n - kept);
  std::size_t position = 0;
  for (const Id& child : container->children()) {
    if (position++ >= kept) half.mutable_children().push_back(child);
  }
  const Id* const parent_id = parent ? &*parent : nullptr;
  const ContainerRef holder = parent_id != nullptr ? index_.find(*parent_id) : nullptr;
  if (holder != nullptr) holder->mutable_children().reserve(holder->children().size() + 1);
  const bool branch_level = level == ContainerLevel::Session || level == ContainerLevel::Document;
  if (branch_level) created_.reserve(created_.size() + 1);
  if (holder != nullptr) parents_.insert_or_assign(fresh, *parent_id);
  index_.containers().insert_or_assign(fresh, std::move(half));

  // No pointer, reference or position into a container is carried across the
  // insertion above: both are looked up again.
  index_.find(id)->mutable_children().truncate(kept);
  if (holder != nullptr) index_.find(*parent_id)->mutable_children().push_back(fresh);
  if (branch_level) created_.push_back(fresh);
  if (owners_built_ && holder != nullptr) owners_.insert_or_assign(fresh, *parent_id);
  visits_ += n;
  for (const Id& child : index_.find(fresh)->children()) {
    const auto listed_by = parents_.find(child);
    if (listed_by != parents_.end() && listed_by->second == id) listed_by->second = fresh;
    move_ownership(child, id, fresh);
  }
  // The second half now counts beneath the parent that lists the new half,
  // which need not be the owner of `id`.
  forget_upwards(id);
  forget_upwards(fresh);
  recompute_container(id);
  recompute_container(fresh);
  return true;
}

std::uint64_t ConsolidationTree::prune_empty_containers() {
  // Parents are looked up only when something is removed; a run that finds
  // nothing empty never builds the map.
  ensure_scanned();
  // Only sessions and documents are ever removed; they all come from the scan
  // or from splits, so the chunks need not be visited. The first pass looks
  // at all of them (documents, sessions, then split halves); a later pass can
  // only find the parents that the previous pass emptied, and takes them in
  // that same order.
  std::vector<Id> empty;
  const auto collect_empty = [&](const std::vector<Id>& ids) {
    visits_ += ids.size();
    for (const Id& id : ids) {
      const ContainerView container = index_.find(id);
      if (container && container->children().empty()) empty.push_back(id);
    }
  };
  collect_empty(branches_.documents);
  collect_empty(branches_.sessions);
  collect_empty(created_);

  std::uint64_t total = 0;
  std::unordered_map<Id, std::size_t, IdHash> order;  // place in the first pass's order
  std::unordered_map<Id, Id, IdHash> unlisted_from;
  std::vector<Id> holders;
  while (!empty.empty() && !index_.containers().empty()) {
    forget_derived();
    // Each parent's list is filtered once per pass, however many of its
    // children go: removing them one by one would cost a pass over the list
    // for each.
    empty_table(unlisted_from);
    holders.clear();
    for (const Id& id : empty) {
      if (const auto parent = find_parent(id)) {
        if (unlisted_from.emplace(id, *parent).second && index_.find(*parent) != nullptr) {
          holders.push_back(*parent);
        }
      }
    }
    std::sort(holders.begin(), holders.end());
    holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
    for (const Id& holder : holders) {
      ChildEditor children = index_.find(holder)->mutable_children();
      visits_ += children.size();
      children.erase_if([&](const Id& child) {
        const auto gone = unlisted_from.find(child);
        return gone != unlisted_from.end() && gone->second == holder;
      });
    }
    // An empty container added nothing to the subtotals above it, so those
    // stay right; only a container deep because of it stays marked so, which
    // would change no more than rounding should anything recompute it later.
    for (const Id& id : empty) {
      parents_.erase(id);
      owners_.erase(id);
      forget_container(id);
      index_.containers().erase(id);
    }
    total += empty.size();

    // The parents this pass emptied, in the first pass's order.
    empty.clear();
    for (const Id& holder : holders) {
      const ContainerView container = index_.find(holder);
      const bool branch = container && (container->level() == ContainerLevel::Session ||
                                        container->level() == ContainerLevel::Document);
      if (branch && container->children().empty()) empty.push_back(holder);
    }
    if (empty.empty()) break;
    if (order.empty()) {
      for (const std::vector<Id>* ids : {&branches_.documents, &branches_.sessions, &created_}) {
        for (const Id& id : *ids) order.emplace(id, order.size());
      }
    }
    std::erase_if(empty, [&](const Id& id) { return !order.contains(id); });
    std::sort(empty.begin(), empty.end(),
              [&](const Id& a, const Id& b) { return order.at(a) < order.at(b); });
  }
  return total;
}

}  // namespace orlo_kiv
