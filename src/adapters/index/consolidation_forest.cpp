// The forest a consolidation run reads the children lists as: one owner for
// every session and document, so that a container listed by several parents,
// or below itself, counts once and each list is walked a bounded number of
// times. Also the facts the run keeps by node handle, and the clean-up of ids
// that name no container.
#include <algorithm>
#include <tuple>

#include "adapters/index/consolidation_tree.h"
#include "adapters/index/kiv.h"

namespace orlo_kiv {

ContainerMap& ConsolidationTree::map() const noexcept { return index_.containers(); }

ConsolidationTree::Facts& ConsolidationTree::facts(Handle h) {
  if (Facts* f = known(h)) return *f;
  if (h >= slot_of_.size())
    slot_of_.resize(std::max<std::size_t>(h + 1, map().handle_bound()), kNoFacts);
  facts_.emplace_back();
  slot_of_[h] = static_cast<std::uint32_t>(facts_.size() - 1);
  return facts_.back();
}

std::uint32_t ConsolidationTree::next_epoch(std::uint32_t& epoch,
                                            std::uint32_t Facts::*field) noexcept {
  if (++epoch == 0) {
    for (Facts& f : facts_) f.*field = 0;
    epoch = 1;
  }
  return epoch;
}

std::uint64_t ConsolidationTree::drop_missing_children() {
  forget_derived();
  scanned_ = false;
  std::uint64_t dropped = 0;
  for (const auto& [id, container] : map()) {
    if (container.children().empty()) continue;
    ChildEditor children = container.mutable_children();
    visits_ += children.size();
    dropped += children.erase_missing();
  }
  return dropped;
}

void ConsolidationTree::move_ownership(Handle child, Handle from, Handle to) noexcept {
  if (!owners_built_ || child == to) return;
  Facts* f = known(child);
  if (f != nullptr && f->owner == from) f->owner = to;
}

void ConsolidationTree::forget_container(Handle h) noexcept {
  if (Facts* f = known(h)) {
    f->subtotal.reset();
    f->deep = false;
  }
}

void ConsolidationTree::forget_upwards(Handle h) noexcept {
  // A subtotal is computed together with those of all the children it owns,
  // except the children, at most two levels deep, of a container summed leaf
  // by leaf; and every walk up goes on past the last owner that held a value.
  // So above kShallowDepth owners in a row that hold nothing, none does, and
  // the walk stops there: all walks of a run together cost what the run
  // computed, plus a few steps each.
  std::size_t idle = 0;
  for (Handle at = h; at != kNoHandle;) {
    Facts* f = known(at);
    if (f == nullptr) return;
    ++visits_;
    const bool held = f->subtotal != nullptr || f->deep;
    f->subtotal.reset();
    f->deep = false;
    idle = held ? 0 : idle + 1;
    if (idle > kShallowDepth) return;
    at = f->owner;
  }
}

void ConsolidationTree::ensure_owners() {
  if (owners_built_) return;
  ensure_scanned();
  const ContainerMap& containers = map();
  struct Listed {
    Handle node;
    Handle lister;
  };
  std::vector<Listed> stack;
  // A session, document or root of the scan that no walk has met yet.
  const auto unreached = [&](Handle h) {
    const Facts* f = known(h);
    return f != nullptr && f->scanned && !f->reached;
  };
  // Depth first in list order: a session or document belongs to the first
  // container that lists it in that order, which is the one a walk from the
  // start meets it under first.
  const auto claim_from = [&](Handle start) {
    stack.push_back({start, kNoHandle});
    while (!stack.empty()) {
      const Listed next = stack.back();
      stack.pop_back();
      Facts& f = facts(next.node);
      if (f.reached) continue;
      f.reached = true;
      if (next.lister != kNoHandle) f.owner = next.lister;
      if (containers.kind(next.node) == NodeKind::Absent) continue;
      const ChildList& children = containers.children(next.node);
      visits_ += children.size();
      // Pushed in reverse, so that they are taken in list order.
      const std::size_t mark = stack.size();
      for (const Handle child : children) {
        if (unreached(child)) stack.push_back({child, next.node});
      }
      std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(mark), stack.end());
    }
  };
  if (const std::optional<Id>& root = index_.root_id()) {
    const Handle h = containers.handle_of(*root);
    if (h != kNoHandle && known(h) != nullptr && known(h)->scanned) claim_from(h);
  }

  // What the root does not reach is listed only by what it does not reach
  // either. First the containers that nothing of it lists, then the rest
  // (cycles), each in level and id order so that the forest does not depend
  // on the map's order.
  std::vector<std::tuple<ContainerLevel, Id, Handle>> rest;
  for (const std::vector<Id>* ids :
       {&branches_.globals, &branches_.sessions, &branches_.documents}) {
    for (const Id& id : *ids) {
      const ContainerView container = index_.find(id);
      if (container && !known(container.handle())->reached) {
        rest.emplace_back(container->level(), id, container.handle());
      }
    }
  }
  if (!rest.empty()) {
    // Containers listed by one of the rest, marked as reached for the moment.
    std::vector<Handle> listed;
    for (const auto& [level, id, h] : rest) {
      for (const Handle child : containers.children(h)) {
        ++visits_;
        if (unreached(child)) {
          known(child)->reached = true;
          listed.push_back(child);
        }
      }
    }
    std::sort(rest.begin(), rest.end());
    std::vector<bool> nothing_lists(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
      nothing_lists[i] = !known(std::get<2>(rest[i]))->reached;
    }
    for (const Handle h : listed) known(h)->reached = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (nothing_lists[i]) claim_from(std::get<2>(rest[i]));
    }
    for (const auto& [level, id, h] : rest) claim_from(h);
  }
  owners_built_ = true;
}

}  // namespace orlo_kiv
