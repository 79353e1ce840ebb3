// Structural edits of a full consolidation run: the scan of the roots,
// sessions and documents, parent lookup, the choice of the sibling an
// under-filled document absorbs, merge, split and prune.
//
// The parent recorded for every non-chunk container that some container
// lists is the first such container in map order; merges, splits and prunes
// update it, and the forest's owners, as they move or delete children.
// Parents are only ever asked for sessions and documents, so chunks have none.
#include <algorithm>

#include "adapters/index/consolidation_tree.h"
#include "adapters/index/kiv.h"
#include "core/clock.h"

namespace orlo_kiv {

void ConsolidationTree::forget_derived() noexcept {
  next_epoch(sibling_epoch_, &Facts::siblings_stamp);
  next_epoch(leaves_epoch_, &Facts::leaves_stamp);
  flat_store_.clear();
}

const ConsolidationTree::Branches& ConsolidationTree::scan() {
  forget_derived();
  branches_ = Branches{};
  documents_.clear();
  sessions_.clear();
  listing_.clear();
  created_.clear();
  facts_.clear();
  slot_of_.assign(map().handle_bound(), kNoFacts);
  for (const auto& [id, container] : map()) {
    const Handle h = container.handle();
    switch (container.level()) {
      case ContainerLevel::Global:
        branches_.globals.push_back(id);
        break;
      case ContainerLevel::Session:
        branches_.sessions.push_back(id);
        sessions_.push_back(h);
        break;
      case ContainerLevel::Document:
        branches_.documents.push_back(id);
        documents_.push_back(h);
        break;
      case ContainerLevel::Chunk:
        break;
    }
    if (!container.is_chunk()) facts(h).scanned = true;
    if (!container.children().empty()) listing_.push_back(h);
  }
  scanned_ = true;
  parents_built_ = false;
  owners_built_ = false;
  return branches_;
}

void ConsolidationTree::forget_scan() noexcept {
  scanned_ = false;
  parents_built_ = false;
  owners_built_ = false;
  facts_.clear();
  slot_of_.clear();
}

void ConsolidationTree::ensure_scanned() {
  if (!scanned_) scan();
}

void ConsolidationTree::build_parents() {
  ensure_scanned();
  const ContainerMap& containers = map();
  for (Facts& f : facts_) f.parent = kNoHandle;
  // The scan's order is the map's, so the first container found listing a
  // node is the first in map order.
  for (const Handle lister : listing_) {
    if (containers.kind(lister) == NodeKind::Absent) continue;
    for (const Handle child : containers.children(lister)) {
      ++visits_;
      Facts* f = known(child);
      if (f != nullptr && f->scanned && f->parent == kNoHandle) f->parent = lister;
    }
  }
  parents_built_ = true;
}

Handle ConsolidationTree::parent_of(Handle h) {
  if (!parents_built_) build_parents();
  const Facts* f = known(h);
  return f != nullptr ? f->parent : kNoHandle;
}

void ConsolidationTree::choose_siblings(Handle parent, Facts& facts) const {
  facts.first_sibling = kNoHandle;
  facts.other_sibling = kNoHandle;
  const ContainerMap& containers = map();
  if (containers.kind(parent) == NodeKind::Absent) return;
  // Only documents are merged. Loaded data may list a chunk, a session or even
  // the root beside them: absorbing a chunk would delete a stored embedding,
  // and absorbing a session or the root could cut the tree off from its root.
  const auto is_document = [&](Handle child) {
    return containers.kind(child) == NodeKind::Document;
  };
  // Only a strictly smaller count replaces the choice, so ties go to the
  // earlier child.
  const ChildList& children = containers.children(parent);
  std::size_t fewest = 0;
  for (const Handle child : children) {
    if (!is_document(child)) continue;
    const std::size_t size = containers.children(child).size();
    if (facts.first_sibling == kNoHandle || size < fewest) {
      facts.first_sibling = child;
      fewest = size;
    }
  }
  if (facts.first_sibling == kNoHandle) return;
  for (const Handle child : children) {
    if (child == facts.first_sibling || !is_document(child)) continue;
    const std::size_t size = containers.children(child).size();
    if (facts.other_sibling == kNoHandle || size < fewest) {
      facts.other_sibling = child;
      fewest = size;
    }
  }
}

std::optional<Id> ConsolidationTree::merge_sibling(const ContainerView& document) {
  const Handle h = document.handle();
  const Handle parent = parent_of(h);
  if (parent == kNoHandle) return std::nullopt;
  Facts& f = facts(parent);
  if (f.siblings_stamp != sibling_epoch_) {
    choose_siblings(parent, f);
    f.siblings_stamp = sibling_epoch_;
  }
  // The first fewest-children sibling is also the choice for every other
  // child: leaving one of the others out cannot make an earlier child smaller.
  const Handle chosen = f.first_sibling != h ? f.first_sibling : f.other_sibling;
  if (chosen == kNoHandle) return std::nullopt;
  return map().id(chosen);
}

void ConsolidationTree::merge_containers(const Id& target, const Id& absorbed) {
  if (target == absorbed) return;
  ContainerMap& containers = map();
  const ContainerRef into = containers.find(target);
  const ContainerRef from = containers.find(absorbed);
  // A pair whose target was itself absorbed earlier in the run is skipped:
  // deleting `absorbed` now would strand its children.
  if (!into || !from) return;
  if (!parents_built_) build_parents();
  forget_derived();
  const Handle into_h = into.handle();
  const Handle from_h = from.handle();

  visits_ += from->children().size();
  for (const Handle child : containers.children(from_h)) {
    Facts* f = known(child);
    if (f != nullptr && f->parent == from_h) f->parent = into_h;
    move_ownership(child, from_h, into_h);
  }
  // Appending makes its room first, so a failed allocation cannot leave
  // children between the two lists.
  into->mutable_children().append(from->children());
  from->mutable_children().clear();

  Facts& absorbed_facts = facts(from_h);
  if (const Handle parent = absorbed_facts.parent; parent != kNoHandle) {
    if (containers.kind(parent) != NodeKind::Absent) {
      const ContainerRef holder(containers, parent);
      visits_ += holder->children().size();
      holder->mutable_children().erase_all(from_h);
    }
  }
  // What absorbed held now counts beneath target, and no longer beneath
  // absorbed's owner, which need not be the parent it was unlisted from (a
  // parent that did not own it counted nothing of it).
  const Handle previous_owner = absorbed_facts.owner;
  absorbed_facts.owner = kNoHandle;
  absorbed_facts.parent = kNoHandle;
  forget_container(from_h);
  forget_upwards(previous_owner);
  forget_upwards(into_h);
  containers.erase_node(from_h);
  recompute(into_h);
}

bool ConsolidationTree::split_container(const Id& id) {
  ContainerMap& containers = map();
  const ContainerView container = containers.find(id);
  if (!container) return false;
  const Handle h = container.handle();
  const Handle parent = parent_of(h);
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
  const bool listed = parent != kNoHandle && containers.kind(parent) != NodeKind::Absent;
  if (listed) {
    ChildEditor siblings = ContainerRef(containers, parent)->mutable_children();
    siblings.reserve(siblings.size() + 1);
  }
  const bool branch_level = level == ContainerLevel::Session || level == ContainerLevel::Document;
  if (branch_level) created_.reserve(created_.size() + 1);
  // The new node's handle is at most one block of nodes past the present ones.
  slot_of_.resize(containers.handle_bound() + NodeTable::kBlockSize, kNoFacts);
  facts_.emplace_back();
  const Handle fresh_h = containers.insert_or_assign(fresh, std::move(half)).first.handle();
  Facts& fresh_facts = facts_.back();
  slot_of_[fresh_h] = static_cast<std::uint32_t>(facts_.size() - 1);

  // No pointer, reference or position into a container is carried across the
  // insertion above.
  ContainerRef(containers, h)->mutable_children().truncate(kept);
  if (listed) {
    ContainerRef(containers, parent)->mutable_children().push_back(fresh_h);
    fresh_facts.parent = parent;
    if (owners_built_) fresh_facts.owner = parent;
  }
  if (branch_level) {
    created_.push_back(fresh_h);
    fresh_facts.created = true;
  }
  visits_ += n;
  for (const Handle child : containers.children(fresh_h)) {
    Facts* f = known(child);
    if (f != nullptr && f->parent == h) f->parent = fresh_h;
    move_ownership(child, h, fresh_h);
  }
  // The second half now counts beneath the parent that lists the new half,
  // which need not be the owner of `id`.
  forget_upwards(h);
  forget_upwards(fresh_h);
  recompute(h);
  recompute(fresh_h);
  return true;
}

std::uint64_t ConsolidationTree::prune_empty_containers() {
  // Parents are looked up only when something is removed; a run that finds
  // nothing empty never records them.
  ensure_scanned();
  ContainerMap& containers = map();
  const auto is_empty_branch = [&](Handle h) {
    const NodeKind kind = containers.kind(h);
    return (kind == NodeKind::Session || kind == NodeKind::Document) &&
           containers.children(h).empty();
  };
  // Only sessions and documents are ever removed; they all come from the scan
  // or from splits, so the chunks need not be visited. The first pass looks
  // at all of them; a later pass can only find the parents that the passes
  // before it emptied. Which pass removes a container, and in what order a
  // pass removes its containers, changes nothing in the tree left behind:
  // what a pass removes lists nothing.
  std::vector<Handle> empty;
  for (const std::vector<Handle>* handles : {&documents_, &sessions_, &created_}) {
    visits_ += handles->size();
    for (const Handle h : *handles) {
      if (is_empty_branch(h)) empty.push_back(h);
    }
  }

  std::uint64_t total = 0;
  std::vector<Handle> holders;
  while (!empty.empty() && !containers.empty()) {
    forget_derived();
    const std::uint32_t pass = next_epoch(pass_epoch_, &Facts::pass_stamp);
    // Each parent's list is filtered once per pass, however many of its
    // children go: removing them one by one would cost a pass over the list
    // for each.
    holders.clear();
    for (const Handle h : empty) {
      facts(h).pass_stamp = pass;
      const Handle parent = parent_of(h);
      if (parent != kNoHandle && containers.kind(parent) != NodeKind::Absent) {
        holders.push_back(parent);
      }
    }
    std::sort(holders.begin(), holders.end());
    holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
    for (const Handle holder : holders) {
      ChildEditor children = ContainerRef(containers, holder)->mutable_children();
      visits_ += children.size();
      children.erase_if([&](Handle child) {
        const Facts* f = known(child);
        return f != nullptr && f->pass_stamp == pass && f->parent == holder;
      });
    }
    // An empty container added nothing to the subtotals above it, so those
    // stay right; only a container deep because of it stays marked so, which
    // would change no more than rounding should anything recompute it later.
    for (const Handle h : empty) {
      Facts& f = facts(h);
      f.parent = kNoHandle;
      f.owner = kNoHandle;
      forget_container(h);
      containers.erase_node(h);
    }
    total += empty.size();

    // The parents this pass emptied. Every session and document comes from
    // the scan or from a split; the check keeps to them all the same.
    empty.clear();
    for (const Handle holder : holders) {
      const Facts* f = known(holder);
      if (f != nullptr && (f->scanned || f->created) && is_empty_branch(holder)) {
        empty.push_back(holder);
      }
    }
  }
  return total;
}

}  // namespace orlo_kiv
