// The forest a consolidation run reads the children lists as: one owner for
// every session and document, so that a container listed by several parents,
// or below itself, counts once and each list is walked a bounded number of
// times. Also the clean-up of ids that name no container.
#include <algorithm>
#include <tuple>

#include "adapters/index/consolidation_tree.h"
#include "adapters/index/kiv.h"

namespace orlo_kiv {

std::uint64_t ConsolidationTree::drop_missing_children() {
  forget_derived();
  scanned_ = false;
  std::uint64_t dropped = 0;
  ContainerMap& containers = index_.containers();
  for (const auto& [id, container] : containers) {
    if (container.children().empty()) continue;
    ChildEditor children = container.mutable_children();
    visits_ += children.size();
    dropped += children.erase_missing();
  }
  return dropped;
}

bool ConsolidationTree::owns(const Id& owner, const Id& child) const {
  const auto it = owners_.find(child);
  return it != owners_.end() && it->second == owner;
}

void ConsolidationTree::move_ownership(const Id& child, const Id& from, const Id& to) {
  if (!owners_built_ || child == to) return;
  const auto it = owners_.find(child);
  if (it != owners_.end() && it->second == from) it->second = to;
}

void ConsolidationTree::forget_container(const Id& id) {
  subtotals_.erase(id);
  deep_.erase(id);
}

void ConsolidationTree::forget_upwards(const Id& id) {
  // A subtotal is computed together with those of all the children it owns,
  // except the children, at most two levels deep, of a container summed leaf
  // by leaf; and every walk up goes on past the last owner that held a value.
  // So above kShallowDepth owners in a row that hold nothing, none does, and
  // the walk stops there: all walks of a run together cost what the run
  // computed, plus a few steps each.
  const Id* at = &id;
  std::size_t idle = 0;
  while (!subtotals_.empty() || !deep_.empty()) {
    ++visits_;
    const bool held = subtotals_.erase(*at) + deep_.erase(*at) != 0;
    idle = held ? 0 : idle + 1;
    if (idle > kShallowDepth) return;
    const auto owner = owners_.find(*at);
    if (owner == owners_.end()) return;
    at = &owner->second;
  }
}

void ConsolidationTree::ensure_owners() {
  if (owners_built_) return;
  ensure_scanned();
  owners_.clear();
  subtotals_.clear();
  deep_.clear();
  std::unordered_set<Id, IdHash> reached;
  struct Listed {
    Id id;
    std::optional<Id> lister;
  };
  std::vector<Listed> stack;
  // Depth first in list order: a session or document belongs to the first
  // container that lists it in that order, which is the one a walk from the
  // start meets it under first.
  const auto claim_from = [&](const Id& start) {
    stack.push_back({start, std::nullopt});
    while (!stack.empty()) {
      const Listed next = stack.back();
      stack.pop_back();
      if (!reached.insert(next.id).second) continue;
      if (next.lister) owners_.emplace(next.id, *next.lister);
      const ContainerView container = index_.find(next.id);
      if (!container) continue;
      visits_ += container->children().size();
      // Pushed in reverse, so that they are taken in list order.
      const std::size_t mark = stack.size();
      for (const Id& child : container->children()) {
        if (non_chunks_.contains(child) && !reached.contains(child)) {
          stack.push_back({child, next.id});
        }
      }
      std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(mark), stack.end());
    }
  };
  if (const std::optional<Id>& root = index_.root_id(); root && non_chunks_.contains(*root)) {
    claim_from(*root);
  }

  // What the root does not reach is listed only by what it does not reach
  // either. First the containers that nothing of it lists, then the rest
  // (cycles), each in level and id order so that the forest does not depend
  // on the map's order.
  std::vector<std::tuple<ContainerLevel, Id>> rest;
  for (const std::vector<Id>* ids :
       {&branches_.globals, &branches_.sessions, &branches_.documents}) {
    for (const Id& id : *ids) {
      const ContainerView container = index_.find(id);
      if (container && !reached.contains(id)) rest.emplace_back(container->level(), id);
    }
  }
  if (!rest.empty()) {
    std::unordered_set<Id, IdHash> listed;
    for (const auto& [level, id] : rest) {
      for (const Id& child : index_.find(id)->children()) {
        ++visits_;
        if (non_chunks_.contains(child)) listed.insert(child);
      }
    }
    std::sort(rest.begin(), rest.end());
    for (const auto& [level, id] : rest) {
      if (!listed.contains(id)) claim_from(id);
    }
    for (const auto& [level, id] : rest) claim_from(id);
  }
  owners_built_ = true;
}

}  // namespace orlo_kiv
