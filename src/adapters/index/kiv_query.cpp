// The whole-tree query: a beam search that descends from the root, keeping the
// best few containers of each level, and ranks the chunks it reaches.
//
// Each pass scores the children of the containers in the beam and keeps the
// best beam-width of them; chunks that reach the beam become results with the
// distance they were ranked by. A non-chunk container is expanded at most once
// per query, so data that lists a container below itself (a session listing
// the root, a document listing itself) cannot make a query run forever.
#include <algorithm>
#include <unordered_set>

#include "adapters/index/kiv.h"
#include "adapters/index/kiv_query_ranking.h"
#include "adapters/index/kiv_query_scorer.h"
#include "core/clock.h"

namespace orlo_kiv {
namespace {

using Entry = ContainerMap::value_type;

struct Candidate {
  const Entry* entry;
  float key;          // the distance
  std::size_t order;  // position of appending, for ties
};

// The non-chunk containers expanded so far: a short list scanned linearly,
// which covers every ordinary query, then a hash set.
class ExpandedSet {
 public:
  // False when `container` was already expanded.
  bool insert(const Container* container) {
    if (!large_.empty()) return large_.insert(container).second;
    if (std::find(small_.begin(), small_.end(), container) != small_.end()) return false;
    if (small_.size() < kSmallCapacity) {
      small_.push_back(container);
      return true;
    }
    large_.insert(small_.begin(), small_.end());
    return large_.insert(container).second;
  }

 private:
  static constexpr std::size_t kSmallCapacity = 64;
  std::vector<const Container*> small_;
  std::unordered_set<const Container*> large_;
};

// Finds children in two sweeps: first every child's slot is hashed and
// requested from memory, then each is searched for its id. The reads of all
// children are independent and overlap, instead of each lookup waiting for the
// one before it. Finds exactly what find() would, in children order.
class ChildLookup {
 public:
  explicit ChildLookup(const ContainerMap& containers) : containers_(containers) {}

  // Calls found(entry) for every child of `parent` present in the map.
  template <class Found>
  void for_each_present_child(const Container& parent, Found found) {
    const std::vector<Id>& children = parent.children();
    hashes_.clear();
    for (const Id& id : children) {
      const std::size_t hash = containers_.hash(id);
      containers_.prefetch(hash);
      hashes_.push_back(hash);
    }
    for (std::size_t i = 0; i < children.size(); ++i) {
      const Entry* entry = containers_.find_hashed(children[i], hashes_[i]);
      if (entry != nullptr) found(*entry);
    }
  }

 private:
  const ContainerMap& containers_;
  std::vector<std::size_t> hashes_;
};

// How far ahead of the vector being scored the next ones are requested from
// memory, and how much of each is requested.
constexpr std::size_t kPrefetchAhead = 2;
constexpr std::size_t kPrefetchBytes = 512;

void prefetch_vector(const Container& container) noexcept {
  const std::span<const float> v = container.centroid();
  const char* p = reinterpret_cast<const char*>(v.data());
  const std::size_t bytes = std::min(v.size_bytes(), kPrefetchBytes);
  for (std::size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(p + offset);
}

void score_all(std::vector<Candidate>& candidates, const QueryScorer& scorer) {
  const std::size_t n = candidates.size();
  for (std::size_t i = 0; i < std::min(n, kPrefetchAhead); ++i) {
    prefetch_vector(candidates[i].entry->second);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchAhead < n) prefetch_vector(candidates[i + kPrefetchAhead].entry->second);
    candidates[i].key = scorer.distance(candidates[i].entry->second);
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
  const auto root = containers_.find(*root_id_);
  if (root == containers_.end()) return std::vector<SearchHit>{};

  // Asking for more results widens the beam at every level.
  const std::size_t width = std::max(config_.beam_width, k);

  std::vector<Candidate> beam{{&*root, 0.0f, 0}};
  bool beam_is_scored = false;  // the root enters the beam unscored
  std::vector<Candidate> candidates;
  std::vector<Candidate> results;
  ExpandedSet expanded;
  ChildLookup lookup(containers_);
  while (true) {
    candidates.clear();
    for (const Candidate& member : beam) {
      const Container& container = member.entry->second;
      if (container.is_chunk()) {
        // The distance it was ranked by is the one it would be scored with now.
        const float distance = beam_is_scored ? member.key : scorer.distance(container);
        results.push_back({member.entry, distance, results.size()});
        continue;
      }
      if (!expanded.insert(&container)) continue;
      // Children missing from the map (removed) are skipped silently.
      lookup.for_each_present_child(container, [&](const Entry& child) {
        candidates.push_back({&child, 0.0f, candidates.size()});
      });
    }
    if (candidates.empty()) break;
    score_all(candidates, scorer);
    keep_best(candidates, width, ascending_before);
    std::swap(beam, candidates);
    beam_is_scored = true;
  }

  keep_best(results, k, ascending_before);
  std::vector<SearchHit> hits;
  hits.reserve(results.size());
  for (const Candidate& result : results) {
    hits.push_back({result.entry->first, scorer.reported_score(result.key)});
  }
  return hits;
}

}  // namespace orlo_kiv
