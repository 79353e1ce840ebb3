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
    Handle start) {
  const ContainerMap& containers = map();
  leaves_.clear();
  const NodeKind kind = containers.kind(start);
  if (kind == NodeKind::Absent) return std::span<const std::span<const float>>(leaves_);
  if (kind == NodeKind::Chunk) {
    leaves_.push_back(containers.centroid(start));
    return std::span<const std::span<const float>>(leaves_);
  }
  Facts& start_facts = facts(start);
  if (start_facts.leaves_stamp == leaves_epoch_) {
    visits_ += start_facts.leaves_count;
    return std::span<const std::span<const float>>(flat_store_)
        .subspan(start_facts.leaves_offset, start_facts.leaves_count);
  }
  if (start_facts.deep) return std::nullopt;

  const std::uint32_t walk = next_epoch(walk_epoch_, &Facts::walk_stamp);
  start_facts.walk_stamp = walk;
  pending_.clear();
  // An explicit stack: children are pushed in reverse so that they are
  // visited in list order.
  const auto push_children = [&](Handle container, std::uint8_t depth) {
    const std::size_t mark = pending_.size();
    for (const Handle child : containers.children(container))
      pending_.push_back({child, container, depth});
    std::reverse(pending_.begin() + static_cast<std::ptrdiff_t>(mark), pending_.end());
  };
  push_children(start, 1);
  bool flat = true;
  while (!pending_.empty()) {
    const Pending next = pending_.back();
    pending_.pop_back();
    ++visits_;
    const NodeKind child_kind = containers.kind(next.node);
    if (child_kind == NodeKind::Absent) continue;
    if (child_kind == NodeKind::Chunk) {
      leaves_.push_back(containers.centroid(next.node));
      continue;
    }
    flat = false;
    // A container counts beneath its owner only, and once per walk.
    Facts* f = known(next.node);
    if (f == nullptr || f->owner != next.lister || f->walk_stamp == walk) continue;
    f->walk_stamp = walk;
    if (next.depth >= kShallowDepth || f->deep) {
      start_facts.deep = true;
      return std::nullopt;
    }
    if (f->leaves_stamp == leaves_epoch_) {
      // A flat container expands to exactly its cached leaves.
      const auto range = std::span(flat_store_).subspan(f->leaves_offset, f->leaves_count);
      leaves_.insert(leaves_.end(), range.begin(), range.end());
      visits_ += range.size();
      continue;
    }
    push_children(next.node, static_cast<std::uint8_t>(next.depth + 1));
  }
  if (flat) {
    start_facts.leaves_offset = flat_store_.size();
    start_facts.leaves_count = leaves_.size();
    flat_store_.insert(flat_store_.end(), leaves_.begin(), leaves_.end());
    start_facts.leaves_stamp = leaves_epoch_;
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

const ConsolidationTree::Subtotal& ConsolidationTree::subtotal_of(Handle start) {
  Facts& start_facts = facts(start);
  if (start_facts.subtotal) return *start_facts.subtotal;
  const ContainerMap& containers = map();
  const std::size_t d = index_.dimensionality();
  // Depth first through owned children whose subtotal is still unknown; a
  // container is summed once all of them are known. Containers on the stack
  // are open: an edit can leave owners in a cycle, and a container met again
  // on its own cycle counts nowhere below itself. Each frame walks its
  // children with an iterator: nothing changes a children list during the walk.
  struct Frame {
    Handle node;
    Facts* facts;
    const ChildList* children;  // null for an id that names no container
    ChildList::Iterator next;
  };
  const auto frame_of = [&](Handle h, Facts& f) {
    f.open = true;
    if (containers.kind(h) == NodeKind::Absent) return Frame{h, &f, nullptr, {}};
    const ChildList& children = containers.children(h);
    return Frame{h, &f, &children, children.begin()};
  };
  std::vector<Frame> stack{frame_of(start, start_facts)};
  while (!stack.empty()) {
    Frame& top = stack.back();
    bool descended = false;
    while (top.children != nullptr && top.next != top.children->end()) {
      const Handle child = *top.next;
      ++top.next;
      ++visits_;
      Facts* f = known(child);
      if (f == nullptr || f->owner != top.node || f->subtotal || f->open) continue;
      // A child at most three levels deep is summed leaf by leaf, as its own
      // recomputation sums it.
      if (const auto leaves = collect_shallow_leaves(child)) {
        f->subtotal = std::make_unique<Subtotal>(sum_leaves(*leaves));
        continue;
      }
      stack.push_back(frame_of(child, *f));  // `top` is not used past this point
      descended = true;
      break;
    }
    if (descended) continue;

    Subtotal total{std::vector<float>(d, 0.0f), 0};
    const std::uint32_t counted = next_epoch(counted_epoch_, &Facts::counted_stamp);
    if (top.children != nullptr) {
      for (const Handle child : *top.children) {
        ++visits_;
        const NodeKind kind = containers.kind(child);
        if (kind == NodeKind::Absent) continue;
        if (kind == NodeKind::Chunk) {
          const std::span<const float> centroid = containers.centroid(child);
          kernels::add_into(total.sum.data(), centroid.data(), std::min(d, centroid.size()));
          ++total.count;
          continue;
        }
        Facts* f = known(child);
        if (f == nullptr || f->owner != top.node || f->counted_stamp == counted) continue;
        f->counted_stamp = counted;
        if (!f->subtotal) continue;
        kernels::add_into(total.sum.data(), f->subtotal->sum.data(), d);
        total.count += f->subtotal->count;
      }
    }
    top.facts->open = false;
    top.facts->subtotal = std::make_unique<Subtotal>(std::move(total));
    stack.pop_back();
  }
  return *start_facts.subtotal;
}

std::optional<float> ConsolidationTree::recompute_container(const Id& id) {
  const Handle h = map().handle_of(id);
  if (h == kNoHandle) return std::nullopt;
  return recompute(h);
}

std::optional<float> ConsolidationTree::recompute(Handle h) {
  // A chunk's centroid is its embedding; nothing recomputes it.
  const NodeKind kind = map().kind(h);
  if (kind == NodeKind::Absent || kind == NodeKind::Chunk) return std::nullopt;
  ensure_owners();
  const ContainerRef container(map(), h);
  if (const auto leaves = collect_shallow_leaves(h)) {
    if (leaves->empty()) return std::nullopt;
    Subtotal total = sum_leaves(*leaves);
    return apply(container, std::move(total.sum), total.count, *leaves);
  }
  const Subtotal& total = subtotal_of(h);
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
  container.set_sum(std::move(sum));
  container.set_point_count(count);
  if (subspace) container.set_subspace(std::move(subspace));
  return drift;
}

}  // namespace orlo_kiv
