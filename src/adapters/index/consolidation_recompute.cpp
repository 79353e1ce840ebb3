// Exact recomputation of a container from the chunk embeddings beneath it.
//
// A container at most three levels deep gathers its leaves as views into the
// container map, never copied, and sums them in leaf order, so recomputing an
// unchanged subtree reproduces the previous centroid bit for bit. The leaves of
// a document are remembered, so that its session and root reuse them instead
// of looking each chunk up again. A deeper container (only loaded data has
// one) adds up subtotals instead, each computed once per run.
#include <algorithm>
#include <cmath>
#include <memory>

#include "adapters/index/consolidation_tree.h"
#include "adapters/index/kiv.h"
#include "core/kernels.h"
#include "core/proximity.h"

namespace orlo_kiv {

std::optional<std::span<const std::span<const float>>> ConsolidationTree::collect_shallow_leaves(
    const Id& id) {
  leaves_.clear();
  const ContainerView start = index_.find(id);
  if (!start) return std::span<const std::span<const float>>(leaves_);
  if (start->is_chunk()) {
    leaves_.push_back(start->centroid());
    return std::span<const std::span<const float>>(leaves_);
  }
  if (const auto cached = flat_leaves_.find(id); cached != flat_leaves_.end()) {
    visits_ += cached->second.count;
    return std::span<const std::span<const float>>(flat_store_)
        .subspan(cached->second.offset, cached->second.count);
  }
  if (deep_.contains(id)) return std::nullopt;

  pending_.clear();
  empty_table(expanded_);
  expanded_.insert(id);
  // An explicit stack: children are pushed in reverse so that they are
  // visited in list order. The pointers refer to the ids of the map's nodes,
  // which nothing changes during the walk.
  const auto push_children = [&](const ContainerView& container, std::uint8_t depth) {
    const std::size_t mark = pending_.size();
    for (const Id& child : container.children())
      pending_.push_back({&child, &container.id(), depth});
    std::reverse(pending_.begin() + static_cast<std::ptrdiff_t>(mark), pending_.end());
  };
  push_children(*start, 1);
  bool flat = true;
  while (!pending_.empty()) {
    const Pending next = pending_.back();
    pending_.pop_back();
    ++visits_;
    const ContainerView container = index_.find(*next.id);
    if (!container) continue;
    if (container->is_chunk()) {
      leaves_.push_back(container->centroid());
      continue;
    }
    flat = false;
    // A container counts beneath its owner only, and once per walk.
    if (!owns(*next.lister, *next.id) || !expanded_.insert(*next.id).second) continue;
    if (next.depth >= kShallowDepth || deep_.contains(*next.id)) {
      deep_.insert(id);
      return std::nullopt;
    }
    if (const auto cached = flat_leaves_.find(*next.id); cached != flat_leaves_.end()) {
      // A flat container expands to exactly its cached leaves.
      const auto range =
          std::span(flat_store_).subspan(cached->second.offset, cached->second.count);
      leaves_.insert(leaves_.end(), range.begin(), range.end());
      visits_ += range.size();
      continue;
    }
    push_children(*container, static_cast<std::uint8_t>(next.depth + 1));
  }
  if (flat) {
    const LeafRange range{flat_store_.size(), leaves_.size()};
    flat_store_.insert(flat_store_.end(), leaves_.begin(), leaves_.end());
    flat_leaves_.emplace(id, range);
  }
  return std::span<const std::span<const float>>(leaves_);
}

ConsolidationTree::Subtotal ConsolidationTree::sum_leaves(
    std::span<const std::span<const float>> leaves) const {
  const std::size_t d = index_.dimensionality();
  Subtotal total{std::vector<float>(d, 0.0f), leaves.size()};
  for (const std::span<const float> leaf : leaves) {
    kernels::add_into(total.sum.data(), leaf.data(), std::min(d, leaf.size()));
  }
  return total;
}

const ConsolidationTree::Subtotal& ConsolidationTree::subtotal_of(const Id& start) {
  if (const auto known = subtotals_.find(start); known != subtotals_.end()) return known->second;
  const std::size_t d = index_.dimensionality();
  // Depth first through owned children whose subtotal is still unknown; a
  // container is summed once all of them are known. `open` holds the
  // containers on the stack: an edit can leave owners in a cycle, and a
  // container met again on its own cycle counts nowhere below itself.
  // Each frame walks its children with an iterator: nothing changes a
  // children list during the walk.
  struct Frame {
    Id id;
    std::optional<ChildIds> children;
    ChildIds::Iterator next;
  };
  const auto frame_of = [&](const Id& id) {
    Frame frame{id, std::nullopt, {}};
    if (const ContainerView container = index_.find(id)) {
      frame.children.emplace(container->children());
      frame.next = frame.children->begin();
    }
    return frame;
  };
  std::vector<Frame> stack{frame_of(start)};
  std::unordered_set<Id, IdHash> open{start};
  while (!stack.empty()) {
    const Id id = stack.back().id;
    const std::optional<ChildIds> children = stack.back().children;
    bool descended = false;
    while (children && stack.back().next != children->end()) {
      const Id& child = *stack.back().next++;
      ++visits_;
      if (!owns(id, child) || subtotals_.contains(child) || open.contains(child)) continue;
      // A child at most three levels deep is summed leaf by leaf, as its own
      // recomputation sums it.
      if (const auto leaves = collect_shallow_leaves(child)) {
        subtotals_.emplace(child, sum_leaves(*leaves));
        continue;
      }
      open.insert(child);
      stack.push_back(frame_of(child));
      descended = true;
      break;
    }
    if (descended) continue;

    Subtotal total{std::vector<float>(d, 0.0f), 0};
    std::unordered_set<Id, IdHash> counted;
    for (const Id& child : children ? children->to_vector() : std::vector<Id>{}) {
      ++visits_;
      const ContainerView c = index_.find(child);
      if (!c) continue;
      if (c->is_chunk()) {
        kernels::add_into(total.sum.data(), c->centroid().data(),
                          std::min(d, c->centroid().size()));
        ++total.count;
        continue;
      }
      if (!owns(id, child) || !counted.insert(child).second) continue;
      const auto known = subtotals_.find(child);
      if (known == subtotals_.end()) continue;
      kernels::add_into(total.sum.data(), known->second.sum.data(), d);
      total.count += known->second.count;
    }
    open.erase(id);
    subtotals_.insert_or_assign(id, std::move(total));
    stack.pop_back();
  }
  return subtotals_.at(start);
}

std::optional<float> ConsolidationTree::recompute_container(const Id& id) {
  const ContainerRef container = index_.find(id);
  // A chunk's centroid is its embedding; nothing recomputes it.
  if (!container || container->is_chunk()) return std::nullopt;
  ensure_owners();
  if (const auto leaves = collect_shallow_leaves(id)) {
    if (leaves->empty()) return std::nullopt;
    Subtotal total = sum_leaves(*leaves);
    return apply(container, std::move(total.sum), total.count, *leaves);
  }
  const Subtotal& total = subtotal_of(id);
  if (total.count == 0) return std::nullopt;
  return apply(container, total.sum, total.count, {});
}

float ConsolidationTree::apply(const ContainerRef& container, std::vector<float> sum,
                               std::uint64_t count,
                               std::span<const std::span<const float>> leaves) {
  const std::size_t d = index_.dimensionality();
  const auto n = static_cast<float>(count);
  std::vector<float> centroid(d);
  kernels::divide_into(centroid.data(), sum.data(), n, d);
  normalize_in_place(centroid);

  const std::span<const float> old = container.centroid();
  const float drift = std::sqrt(kernels::squared_distance(old.data(), centroid.data(),
                                                          std::min(old.size(), centroid.size())));

  // Subspaces are rebuilt from the leaves of a shallow container; a deeper
  // one keeps its subspace.
  const KivConfig& config = index_.config();
  std::unique_ptr<Subspace> subspace;
  if (config.use_subspaces && !leaves.empty()) {
    subspace = std::make_unique<Subspace>(Subspace::rebuild(leaves, config.subspace_components, d));
  }

  container.set_centroid(std::move(centroid));
  // A document whose leaves are consecutive chunk vectors keeps only their range.
  index_.containers().set_sum_of_leaves(container, std::move(sum), leaves);
  container.set_point_count(count);
  if (subspace) container.set_subspace(std::move(subspace));
  return drift;
}

}  // namespace orlo_kiv
