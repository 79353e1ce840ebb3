// Queries scoped to one container: the sessions of the root, the documents of
// a session, the chunks of a document. Each scores every child of the expected
// level (a child listed twice is scored twice) and returns the best k by
// reported score, ties in children order.
#include "adapters/index/kiv.h"
#include "adapters/index/kiv_query_ranking.h"
#include "adapters/index/kiv_query_scorer.h"
#include "core/clock.h"

namespace orlo_kiv {
namespace {

struct Ranked {
  Handle node;
  float key;  // the reported score
  std::size_t order;
};

// The best k children of `parent_id` at `level`, best first; empty when the
// parent is not in the map.
std::vector<Ranked> rank_children(const KivIndex& index, const Id& parent_id, ContainerLevel level,
                                  const QueryScorer& scorer, std::size_t k) {
  std::vector<Ranked> ranked;
  const ContainerMap& containers = index.containers();
  const ContainerView parent = containers.find(parent_id);
  if (k == 0 || !parent) return ranked;
  const auto wanted = static_cast<NodeKind>(level);
  // Children missing from the map are absent nodes, and so never of the level.
  for (const Handle child : containers.children(parent.handle())) {
    if (containers.kind(child) != wanted) continue;
    const float score = scorer.reported_score(scorer.distance(child));
    ranked.push_back({child, score, ranked.size()});
  }
  keep_best(ranked, k, DescendingBefore{});
  return ranked;
}

}  // namespace

std::expected<std::vector<SessionHit>, CoreError> KivIndex::near_sessions(
    std::span<const float> query, std::size_t k) const {
  if (query.size() != dimensionality_) {
    return std::unexpected(CoreError::dimension_mismatch(dimensionality_, query.size()));
  }
  std::vector<SessionHit> hits;
  if (!root_id_) return hits;
  const QueryScorer scorer(*this, query, now_ms());
  for (const Ranked& r : rank_children(*this, *root_id_, ContainerLevel::Session, scorer, k)) {
    hits.push_back({containers_.id(r.node), containers_.point_count(r.node),
                    containers_.timestamp(r.node), r.key});
  }
  return hits;
}

std::expected<std::vector<DocumentHit>, CoreError> KivIndex::near_documents(
    const Id& session_id, std::span<const float> query, std::size_t k) const {
  if (query.size() != dimensionality_) {
    return std::unexpected(CoreError::dimension_mismatch(dimensionality_, query.size()));
  }
  const QueryScorer scorer(*this, query, now_ms());
  std::vector<DocumentHit> hits;
  for (const Ranked& r : rank_children(*this, session_id, ContainerLevel::Document, scorer, k)) {
    hits.push_back({containers_.id(r.node), containers_.point_count(r.node), r.key});
  }
  return hits;
}

std::expected<std::vector<SearchHit>, CoreError> KivIndex::near_in_document(
    const Id& document_id, std::span<const float> query, std::size_t k) const {
  if (query.size() != dimensionality_) {
    return std::unexpected(CoreError::dimension_mismatch(dimensionality_, query.size()));
  }
  const QueryScorer scorer(*this, query, now_ms());
  std::vector<SearchHit> hits;
  for (const Ranked& r : rank_children(*this, document_id, ContainerLevel::Chunk, scorer, k)) {
    hits.push_back({containers_.id(r.node), r.key});
  }
  return hits;
}

}  // namespace orlo_kiv
