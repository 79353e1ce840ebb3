// The consolidation driver: phase sequence, batches, counters, drifts and
// durations, and exact recomputation of centroids, sums and point counts.
#include "adapters/index/consolidation_run.h"

#include <gtest/gtest.h>

#include <numeric>

#include "adapters/index/kiv.h"
#include "consolidation_test_support.h"

namespace orlo_kiv {
namespace {

using testing_support::embeddings_of;
using testing_support::HandTree;
using testing_support::normalised_mean;
using testing_support::sum_of;
using testing_support::test_vector;
using testing_support::values_of;

std::vector<std::string> duration_keys(const ConsolidationReport& report) {
  std::vector<std::string> keys;
  keys.reserve(report.phase_durations.size());
  for (const auto& [name, duration] : report.phase_durations) keys.push_back(name);
  return keys;
}

std::uint64_t duration_total(const ConsolidationReport& report) {
  std::uint64_t total = 0;
  for (const auto& [name, duration] : report.phase_durations) total += duration;
  return total;
}

TEST(ConsolidationRun, EmptyIndexLightRunTakesTwoSteps) {
  KivIndex index = KivIndex::cosine(4);
  const ConsolidationReport report = run_consolidation(index, ConsolidationConfig::light());
  EXPECT_EQ(report.steps, 2u);
  EXPECT_EQ(duration_keys(report),
            (std::vector<std::string>{"CollectingLeaves", "RecomputingCentroids"}));
  EXPECT_EQ(report.containers_processed, 0u);
  EXPECT_EQ(report.centroids_recomputed, 0u);
  EXPECT_EQ(report.mean_drift, 0.0f);
  EXPECT_EQ(report.max_drift, 0.0f);
  EXPECT_TRUE(index.containers().empty());
}

TEST(ConsolidationRun, EmptyIndexFullRunTakesOneStepPerPhase) {
  KivIndex index = KivIndex::cosine(4);
  const ConsolidationReport report = run_consolidation(index, ConsolidationConfig::full());
  EXPECT_EQ(report.steps, 7u);
  EXPECT_EQ(duration_keys(report),
            (std::vector<std::string>{"AnalyzingStructure", "CollectingLeaves", "Merging",
                                      "OptimizingLayout", "Pruning", "RecomputingCentroids",
                                      "Splitting"}));
  EXPECT_EQ(report.merges + report.splits + report.pruned, 0u);
  EXPECT_TRUE(index.containers().empty());
}

struct IntensityCase {
  std::uint8_t intensity;
  std::vector<ConsolidationPhase> phases_after_each_step;
};

class ConsolidationIntensity : public ::testing::TestWithParam<IntensityCase> {};

TEST_P(ConsolidationIntensity, PhaseSequenceFollowsTheIntensity) {
  KivIndex index = KivIndex::cosine(2);
  ConsolidationConfig config;
  config.intensity = GetParam().intensity;
  ConsolidationRun run(index, config);
  EXPECT_EQ(run.phase(), ConsolidationPhase::CollectingLeaves);
  std::vector<ConsolidationPhase> seen;
  while (run.phase() != ConsolidationPhase::Complete) {
    run.step();
    seen.push_back(run.phase());
  }
  EXPECT_EQ(seen, GetParam().phases_after_each_step);
  // A step at Complete changes nothing but the step count.
  run.step();
  EXPECT_EQ(run.phase(), ConsolidationPhase::Complete);
  EXPECT_EQ(run.state().progress.steps, seen.size() + 1);
}

using enum ConsolidationPhase;
INSTANTIATE_TEST_SUITE_P(
    Phases, ConsolidationIntensity,
    ::testing::Values(
        IntensityCase{0, {RecomputingCentroids, Complete}},
        IntensityCase{1, {RecomputingCentroids, AnalyzingStructure, Merging, Splitting, Complete}},
        IntensityCase{2,
                      {RecomputingCentroids, AnalyzingStructure, Merging, Splitting, Pruning,
                       OptimizingLayout, Complete}},
        IntensityCase{3,
                      {RecomputingCentroids, AnalyzingStructure, Merging, Splitting, Pruning,
                       OptimizingLayout, Complete}}));

// Root, one session and `documents` documents of 4 chunks each: 2 + documents
// containers to recompute.
KivIndex index_with_documents(std::size_t documents) {
  KivIndex index = KivIndex::cosine(3);
  std::uint32_t seed = 1;
  for (std::size_t doc = 0; doc < documents; ++doc) {
    for (int chunk = 0; chunk < 4; ++chunk) {
      EXPECT_TRUE(index.insert(new_id(), test_vector(3, seed++)).has_value());
    }
    index.new_document();
  }
  return index;
}

struct BatchCase {
  std::uint64_t batch_size;
  std::size_t documents;
  std::uint64_t light_steps;
};

class ConsolidationBatches : public ::testing::TestWithParam<BatchCase> {};

TEST_P(ConsolidationBatches, RecomputingTakesOneStepPerBatch) {
  KivIndex index = index_with_documents(GetParam().documents);
  ConsolidationConfig config;
  config.batch_size = GetParam().batch_size;
  const ConsolidationReport report = run_consolidation(index, config);
  EXPECT_EQ(report.steps, GetParam().light_steps);
  EXPECT_EQ(report.containers_processed, GetParam().documents + 2);
  EXPECT_EQ(report.centroids_recomputed, GetParam().documents + 2);
}

// 7 containers: ceil(7 / batch) recompute steps after the collecting step;
// a batch size of 0 works as 1.
INSTANTIATE_TEST_SUITE_P(Batches, ConsolidationBatches,
                         ::testing::Values(BatchCase{100, 5, 2}, BatchCase{3, 5, 4},
                                           BatchCase{7, 5, 2}, BatchCase{1, 5, 8},
                                           BatchCase{0, 5, 8}));

TEST(ConsolidationRun, FullRunAnalysesDocumentsInBatches) {
  // 5 documents of 4 chunks: nothing to merge or split, and analysing them in
  // batches of 2 takes 3 steps.
  KivIndex index = index_with_documents(5);
  ConsolidationConfig config = ConsolidationConfig::full();
  config.batch_size = 2;
  const ConsolidationReport report = run_consolidation(index, config);
  // 1 collecting + 4 recomputing (7 containers) + 3 analysing + merge, split,
  // prune, layout.
  EXPECT_EQ(report.steps, 1u + 4u + 3u + 4u);
  EXPECT_EQ(report.merges + report.splits + report.pruned, 0u);
}

TEST(ConsolidationRun, LightRunRecomputesEveryAncestorExactly) {
  KivConfig config;
  config.spherical_updates = true;  // insertion centroids then differ from the exact mean
  KivIndex index = KivIndex::with_config(5, config);
  std::vector<std::vector<Id>> documents(3);
  for (std::uint32_t i = 0; i < 9; ++i) {
    const Id id = new_id();
    ASSERT_TRUE(index.insert(id, test_vector(5, i)).has_value());
    documents[i / 3].push_back(id);
    if (i % 3 == 2) index.new_document();
  }
  const Id root = *index.root_id();
  const Id session = *index.current_session();
  const std::vector<Id> document_ids = index.find(session)->children();
  ASSERT_EQ(document_ids.size(), 3u);

  const ConsolidationReport report = run_consolidation(index, ConsolidationConfig::light());
  EXPECT_EQ(report.centroids_recomputed, 5u);
  EXPECT_GT(report.max_drift, 0.0f);

  std::vector<Id> every_chunk;
  for (std::size_t doc = 0; doc < 3; ++doc) {
    const auto vectors = embeddings_of(index, documents[doc]);
    const ContainerView c = index.find(document_ids[doc]);
    EXPECT_EQ(c.point_count(), 3u);
    const auto expected_sum = sum_of(vectors);
    EXPECT_EQ(values_of(c.sum()), expected_sum);
    const auto expected = normalised_mean(vectors);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(c.centroid()[i], expected[i]);
    every_chunk.insert(every_chunk.end(), documents[doc].begin(), documents[doc].end());
  }
  const auto all = embeddings_of(index, every_chunk);
  for (const Id& id : {session, root}) {
    const ContainerView c = index.find(id);
    EXPECT_EQ(c.point_count(), 9u);
    EXPECT_EQ(values_of(c.sum()), sum_of(all));
    const auto expected = normalised_mean(all);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(c.centroid()[i], expected[i]);
  }
}

TEST(ConsolidationRun, SecondLightRunFindsNoDriftAtAll) {
  KivIndex index = KivIndex::cosine(64);
  for (std::uint32_t i = 0; i < 400; ++i) {
    ASSERT_TRUE(index.insert(new_id(), test_vector(64, i)).has_value());
    if (i % 7 == 6) index.new_document();
    if (i % 90 == 89) index.new_session();
  }
  const ConsolidationReport first = run_consolidation(index, ConsolidationConfig::light());
  EXPECT_GT(first.max_drift, 0.0f);
  const ConsolidationReport second = run_consolidation(index, ConsolidationConfig::light());
  EXPECT_EQ(second.centroids_recomputed, first.centroids_recomputed);
  EXPECT_EQ(second.max_drift, 0.0f);
  EXPECT_EQ(second.mean_drift, 0.0f);
}

TEST(ConsolidationRun, DriftsAreMeasuredAgainstThePreviousCentroids) {
  HandTree tree(2);
  const Id root = tree.root();
  const Id session = tree.branch(ContainerLevel::Session, root);
  const Id a = tree.branch(ContainerLevel::Document, session);
  const Id b = tree.branch(ContainerLevel::Document, session);
  tree.chunk(a, {3.0f, 4.0f});
  tree.chunk(b, {0.0f, 2.0f});
  tree.index.find(a)->set_centroid({0.6f, 0.8f});  // already exact: drift 0
  tree.index.find(b)->set_centroid({1.0f, 0.0f});  // moves to (0, 1): drift sqrt(2)

  const ConsolidationReport report = run_consolidation(tree.index, ConsolidationConfig::light());
  // The session and the root start at zero and end at unit length: drift 1 each.
  EXPECT_EQ(report.centroids_recomputed, 4u);
  EXPECT_FLOAT_EQ(report.max_drift, std::sqrt(2.0f));
  EXPECT_FLOAT_EQ(report.mean_drift, (std::sqrt(2.0f) + 2.0f) / 4.0f);
  EXPECT_FLOAT_EQ(tree.at(b).centroid()[1], 1.0f);
}

TEST(ConsolidationRun, ContainerWithoutChunksKeepsItsState) {
  KivIndex index = KivIndex::cosine(3);
  std::vector<Id> chunks;
  for (std::uint32_t i = 0; i < 2; ++i) {
    chunks.push_back(new_id());
    ASSERT_TRUE(index.insert(chunks.back(), test_vector(3, i)).has_value());
  }
  const Id document = *index.current_document();
  for (const Id& id : chunks) index.remove(id);
  const ContainerView doc = index.find(document);
  const std::vector<float> centroid(doc.centroid().begin(), doc.centroid().end());
  const std::vector<float> sum = values_of(doc.sum());

  const ConsolidationReport report = run_consolidation(index, ConsolidationConfig::light());
  EXPECT_EQ(report.containers_processed, 3u);
  EXPECT_EQ(report.centroids_recomputed, 0u);
  EXPECT_EQ(std::vector<float>(doc.centroid().begin(), doc.centroid().end()), centroid);
  EXPECT_EQ(values_of(doc.sum()), sum);
  EXPECT_EQ(doc.point_count(), 2u);
}

TEST(ConsolidationRun, ChunksKeepTheirEmbeddings) {
  KivIndex index = KivIndex::cosine(2);
  const Id chunk = new_id();
  ASSERT_TRUE(index.insert(chunk, {3.0f, 4.0f}).has_value());
  run_consolidation(index, ConsolidationConfig::full());
  const auto centroid = index.find(chunk)->centroid();
  EXPECT_EQ(std::vector<float>(centroid.begin(), centroid.end()), (std::vector<float>{3.0f, 4.0f}));
}

TEST(ConsolidationRun, ChunkListedTwiceCountsTwice) {
  HandTree tree(2);
  const Id root = tree.root();
  const Id session = tree.branch(ContainerLevel::Session, root);
  const Id doc = tree.branch(ContainerLevel::Document, session);
  const Id twice = tree.chunk(doc, {1.0f, 0.0f});
  tree.chunk(doc, {0.0f, 1.0f});
  tree.index.find(doc)->mutable_children().push_back(twice);

  run_consolidation(tree.index, ConsolidationConfig::light());
  EXPECT_EQ(tree.at(doc).point_count(), 3u);
  EXPECT_EQ(tree.at(doc).sum()[0], 2.0f);
  EXPECT_EQ(tree.at(doc).sum()[1], 1.0f);
  EXPECT_EQ(tree.at(root).point_count(), 3u);
}

TEST(ConsolidationRun, SharedAndCyclicContainersAreExpandedOncePerWalk) {
  HandTree tree(2);
  const Id root = tree.root();
  const Id session = tree.branch(ContainerLevel::Session, root);
  const Id doc = tree.branch(ContainerLevel::Document, session);
  tree.chunk(doc, {1.0f, 1.0f});
  // The document lists itself and its session; the session lists it twice.
  tree.index.find(doc)->mutable_children().push_back(doc);
  tree.index.find(doc)->mutable_children().push_back(session);
  tree.index.find(session)->mutable_children().push_back(doc);

  const ConsolidationReport report = run_consolidation(tree.index, ConsolidationConfig::full());
  EXPECT_EQ(report.centroids_recomputed, 3u);
  EXPECT_EQ(tree.at(doc).point_count(), 1u);
  EXPECT_EQ(tree.at(session).point_count(), 1u);
  EXPECT_EQ(tree.at(root).point_count(), 1u);
}

TEST(ConsolidationRun, SharedDocumentCountsUnderItsFirstParentOnly) {
  // One document listed twice by one session and once by another: it counts
  // once, under the session that lists it first in a walk from the root.
  HandTree tree(2);
  const Id root = tree.root();
  const Id first = tree.branch(ContainerLevel::Session, root);
  const Id second = tree.branch(ContainerLevel::Session, root);
  const Id shared = tree.branch(ContainerLevel::Document, first);
  const Id own = tree.branch(ContainerLevel::Document, second);
  tree.index.find(first)->mutable_children().push_back(shared);
  tree.index.find(second)->mutable_children().push_back(shared);
  tree.chunk(shared, {1.0f, 0.0f});
  tree.chunk(shared, {1.0f, 0.0f});
  tree.chunk(own, {0.0f, 4.0f});

  run_consolidation(tree.index, ConsolidationConfig::light());
  EXPECT_EQ(tree.at(shared).point_count(), 2u);
  EXPECT_EQ(tree.at(first).point_count(), 2u);
  EXPECT_EQ(tree.at(second).point_count(), 1u);
  EXPECT_EQ(tree.at(root).point_count(), 3u);
  EXPECT_EQ(tree.at(second).sum()[0], 0.0f);
  EXPECT_EQ(tree.at(second).sum()[1], 4.0f);
}

TEST(ConsolidationRun, DeepChainIsWalkedWithoutRecursion) {
  HandTree tree(2);
  const Id root = tree.root();
  Id link = tree.branch(ContainerLevel::Session, root);
  for (int depth = 0; depth < 200'000; ++depth) link = tree.branch(ContainerLevel::Document, link);
  tree.chunk(link, {0.0f, 5.0f});
  ConsolidationTree walker(tree.index);
  const auto drift = walker.recompute_container(root);
  ASSERT_TRUE(drift.has_value());
  EXPECT_EQ(tree.at(root).point_count(), 1u);
  EXPECT_EQ(tree.at(root).centroid()[1], 1.0f);
}

TEST(ConsolidationRun, PhaseDurationsAddUpToTheTotal) {
  KivIndex index = index_with_documents(30);
  for (const auto& config : {ConsolidationConfig::light(), ConsolidationConfig::full()}) {
    const ConsolidationReport report = run_consolidation(index, config);
    EXPECT_EQ(duration_total(report), report.total_duration_us);
  }
}

struct SubspaceCase {
  bool use_subspaces;
  std::vector<std::vector<float>> chunks;
  std::uint64_t expected_count;
  std::vector<float> expected_variances;
};

class ConsolidationSubspaces : public ::testing::TestWithParam<SubspaceCase> {};

TEST_P(ConsolidationSubspaces, SubspacesAreRebuiltOnlyWhenKept) {
  KivConfig config;
  config.use_subspaces = GetParam().use_subspaces;
  KivIndex index = KivIndex::with_config(2, config);
  for (const auto& chunk : GetParam().chunks)
    ASSERT_TRUE(index.insert(new_id(), chunk).has_value());
  const Id doc = *index.current_document();
  run_consolidation(index, ConsolidationConfig::light());
  const Subspace* subspace = index.find(doc)->subspace();
  ASSERT_NE(subspace, nullptr);
  EXPECT_EQ(subspace->count(), GetParam().expected_count);
  const auto variances = subspace->variances();
  ASSERT_EQ(variances.size(), GetParam().expected_variances.size());
  for (std::size_t i = 0; i < variances.size(); ++i) {
    EXPECT_FLOAT_EQ(variances[i], GetParam().expected_variances[i]);
  }
}

// (1, 0), (-1, 0), (0, 0) spread along the first axis only, with variance 2/3.
INSTANTIATE_TEST_SUITE_P(Subspaces, ConsolidationSubspaces,
                         ::testing::Values(SubspaceCase{false, {{1, 0}, {-1, 0}, {0, 0}}, 0, {}},
                                           SubspaceCase{true, {{1, 0}, {-1, 0}}, 2, {}},
                                           SubspaceCase{
                                               true, {{1, 0}, {-1, 0}, {0, 0}}, 3, {2.0f / 3.0f}}));

}  // namespace
}  // namespace orlo_kiv
