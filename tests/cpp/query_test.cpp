// The beam search and the scoped queries on hand-built trees: beam width per
// level, widening by k, ties, duplicates, dangling ids, NaN ordering, and data
// that lists containers below themselves.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include "adapters/index/kiv.h"
#include "core/clock.h"
#include "tree_builder.h"

namespace orlo_kiv {
namespace {

using testing::id_of;
using testing::ids_of;
using testing::TreeBuilder;
using Level = ContainerLevel;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The unit vector at `degrees` from the x axis.
std::vector<float> at(float degrees) {
  const float radians = degrees * std::numbers::pi_v<float> / 180.0f;
  return {std::cos(radians), std::sin(radians)};
}

// NOLINTNEXTLINE(bugprone-throwing-static-initialization): fails only without memory
const std::vector<float> kQuery = at(0);

KivIndex index_with_beam(std::size_t beam_width) {
  KivConfig config;
  config.beam_width = beam_width;
  return KivIndex::with_config(2, config);
}

TEST(Near, BeamKeepsTheBestContainersOfEachLevel) {
  KivIndex index = index_with_beam(1);
  TreeBuilder tree{index};
  const Id c1 = tree.put(11, Level::Chunk, at(20));
  const Id c2 = tree.put(12, Level::Chunk, at(15));
  const Id c3 = tree.put(13, Level::Chunk, at(0));
  const Id c4 = tree.put(14, Level::Chunk, at(80));
  const Id d1 = tree.put(5, Level::Document, at(10), {c1, c2});
  const Id d2 = tree.put(6, Level::Document, at(40), {c3, c4});
  const Id s1 = tree.put(2, Level::Session, at(10), {d1});
  const Id s2 = tree.put(3, Level::Session, at(40), {d2});
  tree.root(1, at(20), {s2, s1});

  // Width 1: only the closer session is descended, so the exact match is missed.
  const auto one = index.near(kQuery, 1);
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(ids_of(*one), std::vector<Id>{c2});
  EXPECT_NEAR(one->front().score, std::cos(15 * std::numbers::pi_v<float> / 180), 1e-6f);

  // Asking for two results widens the beam to two at every level.
  const auto two = index.near(kQuery, 2);
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ(ids_of(*two), (std::vector<Id>{c3, c2}));
  EXPECT_NEAR(two->front().score, 1.0f, 1e-6f);
}

TEST(Near, EmptyResults) {
  KivIndex index = KivIndex::cosine(2);
  EXPECT_TRUE(index.near(kQuery, 5)->empty());  // no root yet

  const auto mismatch = index.near(std::vector<float>{1, 0, 0}, 5);
  ASSERT_FALSE(mismatch.has_value());
  EXPECT_EQ(mismatch.error().expected, 2u);
  EXPECT_EQ(mismatch.error().got, 3u);

  index.set_root_id(id_of(1));  // a root missing from the map
  EXPECT_TRUE(index.near(kQuery, 5)->empty());

  TreeBuilder tree{index};
  const Id chunk = tree.put(3, Level::Chunk, at(0));
  const Id document = tree.put(2, Level::Document, at(0), {chunk});
  tree.root(1, at(0), {});
  EXPECT_TRUE(index.near(kQuery, 5)->empty());  // the root has no sessions

  tree.root(1, at(0), {document});
  EXPECT_EQ(index.near(kQuery, 5)->size(), 1u);
  EXPECT_TRUE(index.near(kQuery, 0)->empty());
}

TEST(Near, ContainersListedBelowThemselvesAreExpandedOnce) {
  KivIndex index = KivIndex::cosine(2);
  TreeBuilder tree{index};
  const Id root = id_of(1);
  const Id session = id_of(2);
  const Id doc = id_of(3);
  const Id chunk = tree.put(10, Level::Chunk, at(0));
  tree.put(3, Level::Document, at(0), {chunk, doc, session});
  tree.put(2, Level::Session, at(0), {doc, root});
  tree.root(1, at(0), {session, session});
  EXPECT_EQ(ids_of(*index.near(kQuery, 10)), std::vector<Id>{chunk});
  EXPECT_EQ(ids_of(*index.near(kQuery, 1)), std::vector<Id>{chunk});
}

TEST(Near, NaNDistancesRankAfterEveryNumber) {
  KivIndex index = index_with_beam(1);
  TreeBuilder tree{index};
  const Id nan_chunk = tree.put(10, Level::Chunk, {kNaN, 0.0f});
  const Id far = tree.put(11, Level::Chunk, at(60));
  const Id near = tree.put(12, Level::Chunk, at(0));
  const Id doc = tree.put(4, Level::Document, at(0), {nan_chunk, far, near});
  const Id good = tree.put(3, Level::Session, at(50), {doc});
  // A session whose centroid holds NaN is never preferred to a scored one.
  const Id hidden = tree.put(13, Level::Chunk, at(0));
  const Id nan_doc = tree.put(6, Level::Document, at(0), {hidden});
  const Id nan_session = tree.put(2, Level::Session, {kNaN, kNaN}, {nan_doc});
  tree.root(1, at(0), {nan_session, good});

  EXPECT_EQ(ids_of(*index.near(kQuery, 1)), std::vector<Id>{near});
  const auto hits = index.near(kQuery, 4);
  EXPECT_EQ(ids_of(*hits), (std::vector<Id>{near, hidden, far, nan_chunk}));
  EXPECT_TRUE(std::isnan(hits->back().score));
}

TEST(Near, EqualDistancesKeepBeamThenChildrenOrder) {
  KivIndex index = KivIndex::cosine(2);
  TreeBuilder tree{index};
  const Id a = tree.put(10, Level::Chunk, at(20));
  const Id b = tree.put(11, Level::Chunk, at(20));
  const Id c = tree.put(12, Level::Chunk, at(20));
  const Id d1 = tree.put(3, Level::Document, at(5), {a, b});
  const Id d2 = tree.put(4, Level::Document, at(5), {c});
  const Id session = tree.put(2, Level::Session, at(5), {d2, d1});
  tree.root(1, at(5), {session});
  EXPECT_EQ(ids_of(*index.near(kQuery, 3)), (std::vector<Id>{c, a, b}));
  EXPECT_EQ(ids_of(*index.near(kQuery, 1)), std::vector<Id>{c});
}

TEST(Near, ChunksReachedAtDifferentDepthsAreRankedTogether) {
  KivIndex index = KivIndex::cosine(2);
  TreeBuilder tree{index};
  const Id c1 = tree.put(10, Level::Chunk, at(30));
  const Id c2 = tree.put(11, Level::Chunk, at(60));
  const Id direct = tree.put(12, Level::Chunk, at(10));
  const Id doc = tree.put(3, Level::Document, at(45), {c1, c2});
  const Id session = tree.put(2, Level::Session, at(20), {doc, direct});
  tree.root(1, at(20), {session});
  EXPECT_EQ(ids_of(*index.near(kQuery, 3)), (std::vector<Id>{direct, c1, c2}));
}

TEST(Near, RootThatIsAChunkIsScoredItself) {
  KivIndex index = KivIndex::cosine(2);
  TreeBuilder tree{index};
  const Id root = tree.put(1, Level::Chunk, at(60));
  index.set_root_id(root);
  const auto hits = index.near(kQuery, 3);
  ASSERT_EQ(ids_of(*hits), std::vector<Id>{root});
  EXPECT_NEAR(hits->front().score, 0.5f, 1e-6f);
}

TEST(Near, EmptySubspacesScoreBranchesAlike) {
  KivConfig config;
  config.use_subspaces = true;
  config.beam_width = 1;
  KivIndex index = KivIndex::with_config(2, config);
  TreeBuilder tree{index};
  const Id first = tree.put(10, Level::Chunk, at(90));
  const Id best = tree.put(11, Level::Chunk, at(0));
  const Id d1 = tree.put(4, Level::Document, at(90), {first});
  const Id d2 = tree.put(5, Level::Document, at(0), {best});
  const Id s1 = tree.put(2, Level::Session, at(90), {d1});
  const Id s2 = tree.put(3, Level::Session, at(0), {d2});
  tree.root(1, at(45), {s1, s2});
  // Sessions and documents all score 1 (a zero mean), so the first is kept.
  EXPECT_EQ(ids_of(*index.near(kQuery, 1)), std::vector<Id>{first});
}

TEST(Near, WideBeamRanksEveryReachableChunk) {
  // Enough containers that buckets hold several ids, and removals that leave
  // dangling ids at every level.
  KivIndex index = KivIndex::cosine(8);
  std::mt19937 rng(3);
  std::normal_distribution<float> normal;
  std::vector<Id> ids;
  for (int i = 0; i < 3000; ++i) {
    std::vector<float> v(8);
    for (float& x : v) x = normal(rng);
    ids.push_back(new_id());
    ASSERT_TRUE(index.insert(ids.back(), v).has_value());
    if (i % 700 == 699) index.new_session();
  }
  for (int i = 0; i < 300; ++i) index.remove(ids[rng() % ids.size()]);
  std::vector<Id> branches;
  for (const auto& [id, container] : index.containers()) {
    if (container.level() == Level::Document && rng() % 10 == 0) branches.push_back(id);
  }
  for (const Id& id : branches) index.remove(id);

  std::vector<float> query(8);
  for (float& x : query) x = normal(rng);
  // Every reachable chunk in tree order, ranked by a stable sort.
  std::vector<std::pair<float, Id>> expected;
  const ContainerView root = index.find(*index.root_id());
  for (const Id& session_id : root.children()) {
    for (const Id& doc_id : index.find(session_id)->children()) {
      if (index.find(doc_id) == nullptr) continue;
      for (const Id& chunk_id : index.find(doc_id)->children()) {
        const ContainerView chunk = index.find(chunk_id);
        if (chunk == nullptr) continue;
        expected.emplace_back(1.0f - index.proximity().proximity(query, chunk->centroid()),
                              chunk_id);
      }
    }
  }
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  ASSERT_GT(expected.size(), 2000u);

  const auto hits = index.near(query, 10'000);
  ASSERT_EQ(hits->size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ((*hits)[i].id, expected[i].second) << i;
    ASSERT_EQ((*hits)[i].score, 1.0f - expected[i].first) << i;
  }
}

class ScopedQueries : public ::testing::Test {
 protected:
  ScopedQueries() : index(KivIndex::cosine(2)), tree{index} {
    a = tree.put(10, Level::Chunk, at(50));
    b = tree.put(11, Level::Chunk, at(10));
    c = tree.put(12, Level::Chunk, {kNaN, 0.0f});
    d = tree.put(13, Level::Chunk, at(50));
    doc1 = tree.put(4, Level::Document, at(20), {c, a, id_of(99), b, d, a}, 100, 4);
    doc2 = tree.put(5, Level::Document, at(70), {a}, 200, 1);
    doc3 = tree.put(6, Level::Document, at(20), {b}, 300, 1);
    session1 = tree.put(2, Level::Session, at(30), {doc2, doc1, doc3, a}, 1000, 6);
    session2 = tree.put(3, Level::Session, at(5), {}, 2000, 0);
    root = tree.root(1, at(10), {session1, doc1, session2, id_of(98)});
  }

  KivIndex index;
  TreeBuilder tree;
  Id a, b, c, d, doc1, doc2, doc3, session1, session2, root;
};

TEST_F(ScopedQueries, NearSessionsRanksTheSessionsOfTheRoot) {
  const auto hits = index.near_sessions(kQuery, 10);
  ASSERT_TRUE(hits.has_value());
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].id, session2);
  EXPECT_EQ((*hits)[0].chunk_count, 0u);
  EXPECT_EQ((*hits)[0].timestamp_ms, 2000u);
  EXPECT_EQ((*hits)[1].id, session1);
  EXPECT_EQ((*hits)[1].chunk_count, 6u);
  EXPECT_EQ((*hits)[1].timestamp_ms, 1000u);
  EXPECT_NEAR((*hits)[1].score, std::cos(30 * std::numbers::pi_v<float> / 180), 1e-6f);
  EXPECT_EQ(index.near_sessions(kQuery, 1)->size(), 1u);
  EXPECT_TRUE(index.near_sessions(kQuery, 0)->empty());
}

TEST_F(ScopedQueries, NearDocumentsRanksDocumentsOfAnyContainer) {
  const auto hits = index.near_documents(session1, kQuery, 10);
  ASSERT_EQ(hits->size(), 3u);
  // doc1 and doc3 tie and keep the session's order; the chunk it lists is ignored.
  EXPECT_EQ((*hits)[0].id, doc1);
  EXPECT_EQ((*hits)[0].chunk_count, 4u);
  EXPECT_EQ((*hits)[1].id, doc3);
  EXPECT_EQ((*hits)[2].id, doc2);
  // The root lists one document among its sessions: only that counts.
  const auto from_root = index.near_documents(root, kQuery, 10);
  ASSERT_EQ(from_root->size(), 1u);
  EXPECT_EQ((*from_root)[0].id, doc1);
  EXPECT_TRUE(index.near_documents(doc1, kQuery, 10)->empty());
  EXPECT_TRUE(index.near_documents(id_of(77), kQuery, 10)->empty());
  EXPECT_TRUE(index.near_documents(session1, kQuery, 0)->empty());
}

TEST_F(ScopedQueries, NearInDocumentRanksChunksWithNaNLast) {
  const auto hits = index.near_in_document(doc1, kQuery, 10);
  // b first; a, d, a tie in children order; the dangling id is skipped; NaN last.
  EXPECT_EQ(ids_of(*hits), (std::vector<Id>{b, a, d, a, c}));
  EXPECT_TRUE(std::isnan(hits->back().score));
  EXPECT_EQ(ids_of(*index.near_in_document(doc1, kQuery, 2)), (std::vector<Id>{b, a}));
  EXPECT_EQ(ids_of(*index.near_in_document(session1, kQuery, 10)), std::vector<Id>{a});
  EXPECT_TRUE(index.near_in_document(a, kQuery, 10)->empty());
}

TEST(ScopedQueriesInTime, FullTemporalWeightRanksNewestFirst) {
  KivConfig config;
  config.temporal_weight = 1.0f;
  KivIndex index = KivIndex::with_config(2, config);
  TreeBuilder tree{index};
  const std::uint64_t now = now_ms();
  const std::uint64_t day = 24 * 3'600'000ULL;
  const Id old_close = tree.put(2, Level::Session, at(0), {}, now - 3 * day);
  const Id newest_far = tree.put(3, Level::Session, at(180), {}, now - day);
  const Id middle = tree.put(4, Level::Session, at(90), {}, now - 2 * day);
  tree.root(1, at(0), {old_close, newest_far, middle});
  const auto hits = index.near_sessions(kQuery, 3);
  ASSERT_EQ(hits->size(), 3u);
  EXPECT_EQ((*hits)[0].id, newest_far);
  EXPECT_EQ((*hits)[1].id, middle);
  EXPECT_EQ((*hits)[2].id, old_close);
}

}  // namespace
}  // namespace orlo_kiv
