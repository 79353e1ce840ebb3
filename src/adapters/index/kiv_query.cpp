// The whole-tree query: a beam search that descends from the root, keeping the
// best few containers of each level, and ranks the chunks it reaches.
//
// Each pass scores the children of the containers in the beam and keeps the
// best beam-width of them; chunks that reach the beam become results with the
// distance they were ranked by. A non-chunk container is expanded at most once
// per query, so data that lists a container below itself (a session listing
// the root, a document listing itself) cannot make a query run forever.
//
// Children are walked by node handle, and the children of one container
// usually sit next to each other in their slab, so each expansion is scored
// as one streaming pass over memory.
#include <algorithm>
#include <unordered_set>

#include "adapters/index/kiv.h"
#include "adapters/index/kiv_query_ranking.h"
#include "adapters/index/kiv_query_scorer.h"
#include "core/clock.h"

namespace orlo_kiv {
namespace {

struct Candidate {
  Handle node;
  float key;          // the distance
  std::size_t order;  // position of appending, for ties
};

// The non-chunk containers expanded so far: a short list scanned linearly,
// which covers every ordinary query, then a hash set.
class ExpandedSet {
 public:
  // False when `node` was already expanded.
  bool insert(Handle node) {
    if (!large_.empty()) return large_.insert(node).second;
    if (std::find(small_.begin(), small_.end(), node) != small_.end()) return false;
    if (small_.size() < kSmallCapacity) {
      small_.push_back(node);
      return true;
    }
    large_.insert(small_.begin(), small_.end());
    return large_.insert(node).second;
  }

 private:
  static constexpr std::size_t kSmallCapacity = 64;
  std::vector<Handle> small_;
  std::unordered_set<Handle> large_;
};

// How far ahead of the vector being scored the next one is requested from
// memory, and how much of it: only where it does not follow the one before
// in its slab (loaded or reshaped trees, the first of a parent's children).
// Consecutive vectors are left to the processor's own stream prefetcher,
// which software prefetches there only disturb.
constexpr std::size_t kPrefetchAhead = 2;
constexpr std::size_t kPrefetchBytes = 512;

void score_all(std::vector<Candidate>& candidates, const ContainerMap& containers,
               const QueryScorer& scorer) {
  const std::size_t n = candidates.size();
  const std::size_t stride = containers.dimensionality();
  const std::size_t bytes = std::min(stride * sizeof(float), kPrefetchBytes);
  const auto prefetch = [&](const float* p) {
    const char* c = reinterpret_cast<const char*>(p);
    for (std::size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(c + offset);
  };
  // The vector of candidate i, or null for one of another length.
  const auto vector_of = [&](std::size_t i) {
    return containers.slab_centroid(candidates[i].node);
  };
  for (std::size_t i = 0; i < std::min(n, kPrefetchAhead); ++i) {
    if (const float* p = vector_of(i)) prefetch(p);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchAhead < n) {
      const float* ahead = vector_of(i + kPrefetchAhead);
      const float* before = vector_of(i + kPrefetchAhead - 1);
      if (ahead != nullptr && (before == nullptr || ahead != before + stride)) prefetch(ahead);
    }
    candidates[i].key = scorer.distance(candidates[i].node);
  }
}

}  // namespace

std::expected<std::vector<SearchHit>, CoreError> KivIndex::near(std::span<const float> query,
                                                                std::size_t k) const {
  if (query.size() != dimensionality_) {
    return std::unexpected(CoreError::dimension_mismatch(dimensionality_, query.size()));
  }
  if (!root_id_) return std::vector<SearchHit>{};
  const QueryScorer scorer(*this, query, now_ms());
  if (k == 0) return std::vector<SearchHit>{};
  const Handle root = containers_.handle_of(*root_id_);
  if (root == kNoHandle || containers_.kind(root) == NodeKind::Absent) {
    return std::vector<SearchHit>{};
  }

  // Asking for more results widens the beam at every level.
  const std::size_t width = std::max(config_.beam_width, k);

  std::vector<Candidate> beam{{root, 0.0f, 0}};
  bool beam_is_scored = false;  // the root enters the beam unscored
  std::vector<Candidate> candidates;
  std::vector<Candidate> results;
  ExpandedSet expanded;
  while (true) {
    candidates.clear();
    for (const Candidate& member : beam) {
      if (containers_.kind(member.node) == NodeKind::Chunk) {
        // The distance it was ranked by is the one it would be scored with now.
        const float distance = beam_is_scored ? member.key : scorer.distance(member.node);
        results.push_back({member.node, distance, results.size()});
        continue;
      }
      if (!expanded.insert(member.node)) continue;
      // Children missing from the map (removed) are skipped silently.
      for (const Handle child : containers_.children(member.node)) {
        if (containers_.kind(child) != NodeKind::Absent) {
          candidates.push_back({child, 0.0f, candidates.size()});
        }
      }
    }
    if (candidates.empty()) break;
    score_all(candidates, containers_, scorer);
    keep_best(candidates, width, AscendingBefore{});
    std::swap(beam, candidates);
    beam_is_scored = true;
  }

  keep_best(results, k, AscendingBefore{});
  std::vector<SearchHit> hits;
  hits.reserve(results.size());
  for (const Candidate& result : results) {
    hits.push_back({containers_.id(result.node), scorer.reported_score(result.key)});
  }
  return hits;
}

}  // namespace orlo_kiv
