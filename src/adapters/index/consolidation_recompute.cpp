// Exact recomputation of a container from the chunk embeddings beneath it.
//
// Leaves are gathered as views into the container map, never copied, and
// summed in leaf order, so recomputing an unchanged subtree reproduces the
// previous centroid bit for bit. The leaves of a document are remembered, so
// that its session and root reuse them instead of looking each chunk up again.
#include <algorithm>
#include <cmath>
#include <memory>

#include "adapters/index/consolidation_tree.h"
#include "adapters/index/kiv.h"
#include "core/kernels.h"
#include "core/proximity.h"

namespace orlo_kiv {

std::span<const std::span<const float>> ConsolidationTree::collect_leaf_vectors(const Id& id) {
  leaves_.clear();
  const ContainerView start = index_.find(id);
  if (!start) return leaves_;
  if (start->is_chunk()) {
    leaves_.push_back(start->centroid());
    return leaves_;
  }
  if (const auto cached = flat_leaves_.find(id); cached != flat_leaves_.end()) {
    return std::span(flat_store_).subspan(cached->second.offset, cached->second.count);
  }

  pending_.clear();
  expanded_.clear();
  expanded_.insert(id);
  // An explicit stack instead of recursion: a loaded file may describe a chain
  // deeper than the call stack could hold. Children are pushed in reverse so
  // that they are visited in list order. The pointers refer to the ids of the
  // map's nodes, which nothing changes during the walk.
  const auto push_children = [&](const ContainerView& container) {
    const std::size_t mark = pending_.size();
    for (const Id& child : container.children()) pending_.push_back(&child);
    std::reverse(pending_.begin() + static_cast<std::ptrdiff_t>(mark), pending_.end());
  };
  push_children(*start);
  bool flat = true;
  while (!pending_.empty()) {
    const Id& next = *pending_.back();
    pending_.pop_back();
    const ContainerView container = index_.find(next);
    if (!container) continue;
    if (container->is_chunk()) {
      leaves_.push_back(container->centroid());
      continue;
    }
    flat = false;
    if (!expanded_.insert(next).second) continue;
    if (const auto cached = flat_leaves_.find(next); cached != flat_leaves_.end()) {
      // A flat container expands to exactly its cached leaves.
      const auto range =
          std::span(flat_store_).subspan(cached->second.offset, cached->second.count);
      leaves_.insert(leaves_.end(), range.begin(), range.end());
      continue;
    }
    push_children(*container);
  }
  if (flat) {
    const LeafRange range{flat_store_.size(), leaves_.size()};
    flat_store_.insert(flat_store_.end(), leaves_.begin(), leaves_.end());
    flat_leaves_.emplace(id, range);
  }
  return leaves_;
}

std::optional<float> ConsolidationTree::recompute_container(const Id& id) {
  const ContainerRef container = index_.find(id);
  // A chunk's centroid is its embedding; nothing recomputes it.
  if (!container || container->is_chunk()) return std::nullopt;
  const std::span<const std::span<const float>> leaves = collect_leaf_vectors(id);
  if (leaves.empty()) return std::nullopt;

  const std::size_t d = index_.dimensionality();
  std::vector<float> sum(d, 0.0f);
  for (const std::span<const float> leaf : leaves) {
    kernels::add_into(sum.data(), leaf.data(), std::min(d, leaf.size()));
  }
  const std::uint64_t n = leaves.size();
  const float count = static_cast<float>(n);
  std::vector<float> centroid(d);
  for (std::size_t i = 0; i < d; ++i) centroid[i] = sum[i] / count;
  normalize_in_place(centroid);

  const std::span<const float> old = container->centroid();
  const float drift = std::sqrt(kernels::squared_distance(old.data(), centroid.data(),
                                                          std::min(old.size(), centroid.size())));

  const KivConfig& config = index_.config();
  std::unique_ptr<Subspace> subspace;
  if (config.use_subspaces) {
    subspace = std::make_unique<Subspace>(Subspace::rebuild(leaves, config.subspace_components, d));
  }

  container->set_centroid(std::move(centroid));
  index_.containers().set_sum_of_leaves(container, std::move(sum), leaves);
  container->set_point_count(n);
  if (subspace) container->set_subspace(std::move(subspace));
  return drift;
}

}  // namespace orlo_kiv
