// Structural phases of a full consolidation run: merging under-filled
// documents, splitting over-full ones, pruning empty sessions and documents,
// and what insertion does afterwards when the run removed its current
// document or session.
#include <gtest/gtest.h>

#include <algorithm>

#include "adapters/index/consolidation.h"
#include "adapters/index/consolidation_tree.h"
#include "adapters/index/kiv.h"
#include "consolidation_test_support.h"
#include "predicted_ids.h"

namespace orlo_kiv {
namespace {

using testing_support::all_chunks;
using testing_support::embeddings_of;
using testing_support::HandTree;
using testing_support::normalised_mean;
using testing_support::reachable_chunks;
using testing_support::sum_of;
using testing_support::test_vector;
using testing_support::values_of;

constexpr std::size_t kDim = 4;

// Inserts `count` chunks into the current document; returns their ids.
std::vector<Id> insert_chunks(KivIndex& index, int count, std::uint32_t& seed) {
  std::vector<Id> ids;
  for (int i = 0; i < count; ++i) {
    ids.push_back(new_id());
    EXPECT_TRUE(index.insert(ids.back(), test_vector(index.dimensionality(), seed++)).has_value());
  }
  return ids;
}

// One session whose documents hold the given numbers of chunks, in order.
struct Session {
  KivIndex index;
  Id session;
  std::vector<Id> documents;
  std::vector<std::vector<Id>> chunks;
};

Session session_with(const std::vector<int>& sizes) {
  KivConfig config;
  config.max_children = 1000;
  Session s{KivIndex::with_config(kDim, config), {}, {}, {}};
  std::uint32_t seed = 1;
  for (const int size : sizes) {
    s.index.new_document();
    s.chunks.push_back(insert_chunks(s.index, size, seed));
    s.documents.push_back(*s.index.current_document());
  }
  s.session = *s.index.current_session();
  return s;
}

void expect_recomputed(const KivIndex& index, const Id& id, const std::vector<Id>& chunks) {
  const ContainerView c = index.find(id);
  EXPECT_EQ(c.children(), chunks);
  EXPECT_EQ(c.point_count(), chunks.size());
  const auto vectors = embeddings_of(index, chunks);
  EXPECT_EQ(values_of(c.sum()), sum_of(vectors));
  const auto expected = normalised_mean(vectors);
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_FLOAT_EQ(c.centroid()[i], expected[i]);
}

TEST(ConsolidationMerge, SmallDocumentAbsorbsTheFirstOfTheSmallestSiblings) {
  // 50, 50 and 1 chunks: the last document absorbs the first (a tie with the
  // second, which goes to the earlier one) and the session keeps 50 and 51.
  Session s = session_with({50, 50, 1});
  const ConsolidationReport report = run_consolidation(s.index, ConsolidationConfig::full());
  EXPECT_EQ(report.merges, 1u);
  EXPECT_FALSE(s.index.find(s.documents[0]));
  EXPECT_EQ(s.index.find(s.session)->children(), (std::vector<Id>{s.documents[1], s.documents[2]}));
  std::vector<Id> merged = s.chunks[2];
  merged.insert(merged.end(), s.chunks[0].begin(), s.chunks[0].end());
  expect_recomputed(s.index, s.documents[2], merged);
  EXPECT_EQ(s.index.find(s.documents[1])->point_count(), 50u);
  EXPECT_EQ(reachable_chunks(s.index), all_chunks(s.index));
  EXPECT_EQ(all_chunks(s.index).size(), 101u);
}

TEST(ConsolidationSplit, OverFullDocumentIsSplitIntoHalves) {
  Session s = session_with({101});
  const Id doc = s.documents[0];
  const ConsolidationReport report = run_consolidation(s.index, ConsolidationConfig::full());
  EXPECT_EQ(report.splits, 1u);
  const std::vector<Id>& documents = s.index.find(s.session)->children();
  ASSERT_EQ(documents.size(), 2u);
  EXPECT_EQ(documents[0], doc);
  const Id fresh = documents[1];
  EXPECT_EQ(s.index.find(fresh)->level(), ContainerLevel::Document);
  expect_recomputed(s.index, doc, {s.chunks[0].begin(), s.chunks[0].begin() + 50});
  expect_recomputed(s.index, fresh, {s.chunks[0].begin() + 50, s.chunks[0].end()});
}

TEST(ConsolidationSplit, NewHalfNeverTakesAnIdInUse) {
  // Containers planted under every id the split could give its new half stay
  // as they were; the half gets an id of its own.
  Session s = session_with({101});
  const std::vector<Id> planted = testing_support::upcoming_ids(2, 10'000);
  for (const Id& id : planted) {
    s.index.containers().insert_or_assign(id, Container::chunk(id, test_vector(kDim, 9), 1));
  }
  const std::size_t before = s.index.containers().size();
  const ConsolidationReport report = run_consolidation(s.index, ConsolidationConfig::full());
  EXPECT_EQ(report.splits, 1u);
  EXPECT_EQ(s.index.containers().size(), before + 1);
  for (const Id& id : planted) {
    const ContainerView c = s.index.find(id);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->is_chunk());
  }
  const std::vector<Id>& documents = s.index.find(s.session)->children();
  ASSERT_EQ(documents.size(), 2u);
  expect_recomputed(s.index, documents[0], {s.chunks[0].begin(), s.chunks[0].begin() + 50});
  expect_recomputed(s.index, documents[1], {s.chunks[0].begin() + 50, s.chunks[0].end()});
}

struct ThresholdCase {
  int size;
  std::uint64_t merges;
  std::uint64_t splits;
  std::size_t documents_after;
};

class ConsolidationThresholds : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(ConsolidationThresholds, ThresholdsAreStrict) {
  // The document under test sits before a sibling of 10 chunks.
  Session s = session_with({GetParam().size, 10});
  const ConsolidationReport report = run_consolidation(s.index, ConsolidationConfig::full());
  EXPECT_EQ(report.merges, GetParam().merges);
  EXPECT_EQ(report.splits, GetParam().splits);
  EXPECT_EQ(s.index.find(s.session)->children().size(), GetParam().documents_after);
  EXPECT_EQ(reachable_chunks(s.index).size(), static_cast<std::size_t>(GetParam().size + 10));
}

INSTANTIATE_TEST_SUITE_P(Thresholds, ConsolidationThresholds,
                         ::testing::Values(ThresholdCase{2, 1, 0, 1}, ThresholdCase{3, 0, 0, 2},
                                           ThresholdCase{100, 0, 0, 2},
                                           ThresholdCase{101, 0, 1, 3}));

TEST(ConsolidationSplit, SessionsAndTheRootAreNeverSplit) {
  KivConfig config;
  config.max_children = 1000;
  KivIndex index = KivIndex::with_config(kDim, config);
  std::uint32_t seed = 1;
  for (int doc = 0; doc < 101; ++doc) {
    insert_chunks(index, 3, seed);
    index.new_document();
  }
  const Id session = *index.current_session();
  for (int extra = 0; extra < 100; ++extra) {
    index.new_session();
    insert_chunks(index, 3, seed);
  }
  const ConsolidationReport report = run_consolidation(index, ConsolidationConfig::full());
  EXPECT_EQ(report.splits, 0u);
  EXPECT_EQ(index.find(session)->children().size(), 101u);
  EXPECT_EQ(index.find(*index.root_id())->children().size(), 101u);
}

TEST(ConsolidationMerge, OnlyChildIsLeftAlone) {
  Session s = session_with({1});
  const ConsolidationReport report = run_consolidation(s.index, ConsolidationConfig::full());
  EXPECT_EQ(report.merges, 0u);
  EXPECT_EQ(s.index.find(s.session)->children(), s.documents);
  EXPECT_EQ(s.index.find(s.documents[0])->point_count(), 1u);
}

TEST(ConsolidationMerge, SiblingsChoosingEachOtherLoseNoChunk) {
  // Both documents are under-filled and choose each other; once one has
  // absorbed the other, the second pair names a target that is gone and is
  // skipped, though it still counts.
  Session s = session_with({1, 2});
  const ConsolidationReport report = run_consolidation(s.index, ConsolidationConfig::full());
  EXPECT_EQ(report.merges, 2u);
  const std::vector<Id>& documents = s.index.find(s.session)->children();
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(s.index.find(documents[0])->point_count(), 3u);
  EXPECT_EQ(s.index.stats().document_count, 1u);
  EXPECT_EQ(reachable_chunks(s.index), all_chunks(s.index));
  EXPECT_EQ(all_chunks(s.index).size(), 3u);
}

TEST(ConsolidationMerge, PairWithMissingTargetChangesNothing) {
  HandTree tree(kDim);
  const Id root = tree.root();
  const Id session = tree.branch(ContainerLevel::Session, root);
  const Id absorbed = tree.branch(ContainerLevel::Document, session);
  const Id chunk = tree.chunk(absorbed, test_vector(kDim, 1));
  ConsolidationTree edit(tree.index);
  edit.merge_containers(new_id(), absorbed);
  ASSERT_TRUE(tree.has(absorbed));
  EXPECT_EQ(tree.at(absorbed).children(), std::vector<Id>{chunk});
  EXPECT_EQ(tree.at(session).children(), std::vector<Id>{absorbed});
}

enum class Stray { Chunk, Session, Root };

class ConsolidationStraySibling : public ::testing::TestWithParam<Stray> {};

TEST_P(ConsolidationStraySibling, OnlyDocumentsAreAbsorbed) {
  // Loaded data may list a chunk, a session or the root itself beside the
  // documents of a session; none of them is absorbed by a small document.
  HandTree tree(kDim);
  const Id root = tree.root();
  const Id session = tree.branch(ContainerLevel::Session, root);
  const Id doc = tree.branch(ContainerLevel::Document, session);
  tree.chunk(doc, test_vector(kDim, 1));
  Id stray = root;
  switch (GetParam()) {
    case Stray::Chunk:
      stray = tree.chunk(session, test_vector(kDim, 2));
      break;
    case Stray::Session: {
      stray = tree.branch(ContainerLevel::Session, session);
      tree.chunk(tree.branch(ContainerLevel::Document, stray), test_vector(kDim, 3));
      break;
    }
    case Stray::Root:
      tree.index.find(session)->mutable_children().push_back(root);
      break;
  }
  const auto chunks = all_chunks(tree.index);
  const ConsolidationReport report = run_consolidation(tree.index, ConsolidationConfig::full());
  EXPECT_EQ(report.merges, 0u);
  ASSERT_TRUE(tree.has(stray));
  EXPECT_EQ(tree.at(session).children(), (std::vector<Id>{doc, stray}));
  EXPECT_EQ(reachable_chunks(tree.index), chunks);
}

INSTANTIATE_TEST_SUITE_P(Strays, ConsolidationStraySibling,
                         ::testing::Values(Stray::Chunk, Stray::Session, Stray::Root));

TEST(ConsolidationPrune, EmptyContainersGoInPassesAndTheRootStays) {
  HandTree tree(kDim);
  const Id root = tree.root();
  const Id session = tree.branch(ContainerLevel::Session, root);
  const Id doc = tree.branch(ContainerLevel::Document, session);
  const ConsolidationReport report = run_consolidation(tree.index, ConsolidationConfig::full());
  EXPECT_EQ(report.pruned, 2u);
  EXPECT_FALSE(tree.has(doc));
  EXPECT_FALSE(tree.has(session));
  ASSERT_TRUE(tree.has(root));
  EXPECT_TRUE(tree.at(root).children().empty());
  EXPECT_EQ(tree.index.stats().global_count, 1u);
}

TEST(ConsolidationPrune, RemovedChunksAreForgottenBeforeTheTreeIsReshaped) {
  // The ids of removed chunks are dropped first: the emptied document, being
  // under-filled, absorbs its sibling and holds only live chunks.
  Session s = session_with({2, 5});
  for (const Id& id : s.chunks[0]) s.index.remove(id);
  const ConsolidationReport report = run_consolidation(s.index, ConsolidationConfig::full());
  EXPECT_EQ(report.dangling_dropped, 2u);
  EXPECT_EQ(report.pruned, 0u);
  EXPECT_EQ(report.merges, 1u);
  EXPECT_EQ(s.index.find(s.session)->children(), std::vector<Id>{s.documents[0]});
  expect_recomputed(s.index, s.documents[0], s.chunks[1]);
}

TEST(ConsolidationPrune, DocumentsLeftEmptyByRemovalsArePrunedWithTheirSession) {
  // A second session whose only document lost every chunk: both go, and the
  // root is recomputed from the live chunks alone.
  Session s = session_with({4});
  s.index.new_session();
  std::uint32_t seed = 50;
  const std::vector<Id> removed = insert_chunks(s.index, 3, seed);
  for (const Id& id : removed) s.index.remove(id);
  const ConsolidationReport report = run_consolidation(s.index, ConsolidationConfig::full());
  EXPECT_EQ(report.pruned, 2u);
  const KivStats stats = s.index.stats();
  EXPECT_EQ(stats.session_count, 1u);
  EXPECT_EQ(stats.document_count, 1u);
  const ContainerView root = s.index.find(*s.index.root_id());
  EXPECT_EQ(root.children(), std::vector<Id>{s.session});
  EXPECT_EQ(root.point_count(), 4u);
  EXPECT_EQ(values_of(root.sum()), sum_of(embeddings_of(s.index, s.chunks[0])));
}

TEST(ConsolidationPrune, ContainersMovedByMergeOrSplitAreUnlistedFromTheirNewParent) {
  // Loaded data may nest an empty document inside a document. Whether a merge
  // or a split moves it, pruning must unlist it where it now is.
  HandTree tree(kDim);
  const Id root = tree.root();
  const Id session = tree.branch(ContainerLevel::Session, root);
  const Id small = tree.branch(ContainerLevel::Document, session);
  tree.chunk(small, test_vector(kDim, 1));
  const Id absorbed = tree.branch(ContainerLevel::Document, session);
  for (std::uint32_t i = 0; i < 4; ++i) tree.chunk(absorbed, test_vector(kDim, 10 + i));
  const Id nested_in_merge = tree.branch(ContainerLevel::Document, absorbed);
  const Id big = tree.branch(ContainerLevel::Document, session);
  for (std::uint32_t i = 0; i < 120; ++i) tree.chunk(big, test_vector(kDim, 100 + i));
  const Id nested_in_split = tree.branch(ContainerLevel::Document, big);

  const ConsolidationReport report = run_consolidation(tree.index, ConsolidationConfig::full());
  EXPECT_EQ(report.merges, 1u);
  EXPECT_EQ(report.splits, 1u);
  EXPECT_EQ(report.pruned, 2u);
  EXPECT_FALSE(tree.has(nested_in_merge));
  EXPECT_FALSE(tree.has(nested_in_split));
  for (const auto& [id, c] : tree.index.containers()) {
    const auto& children = c.children();
    EXPECT_EQ(std::count(children.begin(), children.end(), nested_in_merge), 0);
    EXPECT_EQ(std::count(children.begin(), children.end(), nested_in_split), 0);
  }
  EXPECT_EQ(tree.at(small).point_count(), 5u);
  EXPECT_EQ(reachable_chunks(tree.index), all_chunks(tree.index));
}

TEST(ConsolidationSplit, DocumentWithoutParentIsSplitUnattached) {
  HandTree tree(kDim);
  const Id orphan = tree.branch(ContainerLevel::Document);
  for (std::uint32_t i = 0; i < 101; ++i) tree.chunk(orphan, test_vector(kDim, i));
  const ConsolidationReport report = run_consolidation(tree.index, ConsolidationConfig::full());
  EXPECT_EQ(report.splits, 1u);
  EXPECT_EQ(tree.index.stats().document_count, 2u);
  EXPECT_EQ(tree.at(orphan).point_count(), 50u);
}

TEST(ConsolidationAfterwards, InsertionOpensADocumentWhenTheCurrentOneWasMerged) {
  // 1 chunk, then 3 in the current document: the first absorbs the second.
  Session s = session_with({1, 3});
  ASSERT_EQ(*s.index.current_document(), s.documents[1]);
  run_consolidation(s.index, ConsolidationConfig::full());
  ASSERT_FALSE(s.index.find(s.documents[1]));

  const Id chunk = new_id();
  ASSERT_TRUE(s.index.insert(chunk, test_vector(kDim, 99)).has_value());
  const Id fresh = *s.index.current_document();
  EXPECT_NE(fresh, s.documents[1]);
  EXPECT_EQ(*s.index.current_session(), s.session);
  EXPECT_EQ(s.index.find(s.session)->children(), (std::vector<Id>{s.documents[0], fresh}));
  EXPECT_EQ(s.index.find(fresh)->children(), std::vector<Id>{chunk});
  EXPECT_TRUE(reachable_chunks(s.index).contains(chunk));
}

TEST(ConsolidationAfterwards, InsertionOpensASessionWhenTheCurrentOneWasPruned) {
  HandTree tree(kDim);
  const Id root = tree.root();
  const Id kept = tree.branch(ContainerLevel::Session, root);
  tree.chunk(tree.branch(ContainerLevel::Document, kept), test_vector(kDim, 1));
  const Id empty_session = tree.branch(ContainerLevel::Session, root);
  const Id empty_document = tree.branch(ContainerLevel::Document, empty_session);
  tree.index.set_current_session(empty_session);
  tree.index.set_current_document(empty_document);

  const ConsolidationReport report = run_consolidation(tree.index, ConsolidationConfig::full());
  ASSERT_EQ(report.pruned, 2u);

  const Id chunk = new_id();
  ASSERT_TRUE(tree.index.insert(chunk, test_vector(kDim, 2)).has_value());
  const Id session = *tree.index.current_session();
  EXPECT_NE(session, empty_session);
  EXPECT_NE(*tree.index.current_document(), empty_document);
  EXPECT_EQ(tree.at(root).children(), (std::vector<Id>{kept, session}));
  EXPECT_EQ(tree.index.root_id(), root);
  EXPECT_TRUE(reachable_chunks(tree.index).contains(chunk));
}

}  // namespace
}  // namespace orlo_kiv
