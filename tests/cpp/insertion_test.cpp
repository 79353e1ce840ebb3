#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "adapters/index/kiv.h"
#include "predicted_ids.h"

namespace orlo_kiv {
namespace {

std::vector<float> as_vector(std::span<const float> s) { return {s.begin(), s.end()}; }

Id insert_new(KivIndex& index, std::vector<float> v) {
  const Id id = new_id();
  EXPECT_TRUE(index.insert(id, std::move(v)).has_value());
  return id;
}

// The container a slot names. ASSERT_* cannot stop a test from a helper that
// returns a value, so an empty slot or a missing container throws, which
// GoogleTest reports as the test's failure.
ContainerView at(const KivIndex& index, const std::optional<Id>& id) {
  const ContainerView c = id ? index.find(*id) : nullptr;
  if (c == nullptr) throw std::runtime_error("the slot names no container");
  return c;
}

TEST(Insertion, FirstInsertionCreatesTheWholePath) {
  KivIndex index = KivIndex::cosine(2);
  const Id chunk = insert_new(index, {3.0f, 4.0f});
  const KivStats stats = index.stats();
  EXPECT_EQ(stats.global_count, 1u);
  EXPECT_EQ(stats.session_count, 1u);
  EXPECT_EQ(stats.document_count, 1u);
  EXPECT_EQ(stats.chunk_count, 1u);

  const ContainerView root = at(index, index.root_id());
  const ContainerView session = at(index, index.current_session());
  const ContainerView document = at(index, index.current_document());
  EXPECT_EQ(root.children(), std::vector<Id>{session.id()});
  EXPECT_EQ(session.children(), std::vector<Id>{document.id()});
  EXPECT_EQ(document.children(), std::vector<Id>{chunk});
  // The first vector is taken as it is, not normalised.
  for (const ContainerView& c : {root, session, document}) {
    EXPECT_EQ(as_vector(c->centroid()), (std::vector<float>{3.0f, 4.0f}));
    EXPECT_EQ(as_vector(c->sum()), (std::vector<float>{3.0f, 4.0f}));
    EXPECT_EQ(c->point_count(), 1u);
  }
}

TEST(Insertion, ChunkSumSharesTheEmbeddingStorage) {
  KivIndex index = KivIndex::cosine(3);
  const Id chunk = insert_new(index, {1.0f, 2.0f, 3.0f});
  const ContainerView c = index.find(chunk);
  EXPECT_TRUE(c.has_sum());
  EXPECT_EQ(c.sum().data(), c.centroid().data());
  EXPECT_EQ(c.point_count(), 1u);
  EXPECT_EQ(c.subspace(), nullptr);
}

TEST(Insertion, SecondVectorMakesTheCentroidTheNormalisedMean) {
  KivIndex index = KivIndex::cosine(2);
  insert_new(index, {2.0f, 0.0f});
  insert_new(index, {0.0f, 4.0f});
  const ContainerView document = at(index, index.current_document());
  EXPECT_EQ(as_vector(document.sum()), (std::vector<float>{2.0f, 4.0f}));
  EXPECT_EQ(document.point_count(), 2u);
  const float norm = std::sqrt(1.0f + 4.0f);
  EXPECT_FLOAT_EQ(document.centroid()[0], 1.0f / norm);
  EXPECT_FLOAT_EQ(document.centroid()[1], 2.0f / norm);
}

TEST(Insertion, DocumentsAndSessionsCloseAtFiftyChildren) {
  KivIndex index = KivIndex::cosine(1);
  for (int i = 0; i < 49; ++i) insert_new(index, {1.0f});
  const Id first_document = *index.current_document();
  insert_new(index, {1.0f});  // the 50th closes the document
  EXPECT_FALSE(index.current_document().has_value());
  EXPECT_EQ(index.find(first_document)->children().size(), 50u);

  const Id session = *index.current_session();
  insert_new(index, {1.0f});  // the 51st opens a new document in the same session
  EXPECT_EQ(*index.current_session(), session);
  EXPECT_NE(*index.current_document(), first_document);

  // Fill the session up to its 50th document; that insertion closes both slots.
  for (int document = 3; document <= 50; ++document) {
    index.new_document();
    insert_new(index, {1.0f});
  }
  EXPECT_FALSE(index.current_session().has_value());
  EXPECT_FALSE(index.current_document().has_value());
  EXPECT_EQ(index.find(session)->children().size(), 50u);
  insert_new(index, {1.0f});
  EXPECT_NE(*index.current_session(), session);
  EXPECT_EQ(index.stats().session_count, 2u);
}

TEST(Insertion, HighThresholdStopsPropagationAboveTheDocument) {
  KivConfig config;
  config.propagation_threshold = 10.0f;
  KivIndex index = KivIndex::with_config(2, config);
  insert_new(index, {1.0f, 0.0f});
  const std::vector<float> session_before =
      as_vector(at(index, index.current_session()).centroid());
  const std::vector<float> root_before = as_vector(at(index, index.root_id()).centroid());
  insert_new(index, {0.0f, 1.0f});
  EXPECT_EQ(at(index, index.current_document()).point_count(), 2u);
  EXPECT_EQ(as_vector(at(index, index.current_session()).centroid()), session_before);
  EXPECT_EQ(at(index, index.current_session()).point_count(), 1u);
  EXPECT_EQ(as_vector(at(index, index.root_id()).centroid()), root_before);

  // A new document's first vector always propagates past it.
  index.new_document();
  insert_new(index, {0.0f, 1.0f});
  EXPECT_EQ(at(index, index.current_session()).point_count(), 2u);
}

TEST(Insertion, NanShiftDoesNotStopPropagation) {
  KivConfig config;
  config.propagation_threshold = 10.0f;
  KivIndex index = KivIndex::with_config(2, config);
  insert_new(index, {1.0f, 0.0f});
  insert_new(index, {std::numeric_limits<float>::quiet_NaN(), 0.0f});
  EXPECT_EQ(at(index, index.current_session()).point_count(), 2u);
  EXPECT_EQ(at(index, index.root_id()).point_count(), 2u);
}

TEST(Insertion, WrongLengthChangesNothing) {
  KivIndex index = KivIndex::cosine(3);
  const auto result = index.insert(new_id(), {1.0f, 2.0f});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(to_string(result.error()), "Dimensionality mismatch: expected 3, got 2");
  EXPECT_TRUE(index.containers().empty());
  EXPECT_FALSE(index.root_id().has_value());
  EXPECT_FALSE(index.current_session().has_value());
}

TEST(Insertion, RepeatedIdReplacesTheChunkAndIsListedTwice) {
  KivIndex index = KivIndex::cosine(1);
  const Id id = new_id();
  ASSERT_TRUE(index.insert(id, {1.0f}).has_value());
  ASSERT_TRUE(index.insert(id, {5.0f}).has_value());
  EXPECT_EQ(index.stats().chunk_count, 1u);
  EXPECT_EQ(index.find(id)->centroid()[0], 5.0f);
  EXPECT_EQ(at(index, index.current_document()).children(), (std::vector<Id>{id, id}));
}

TEST(Insertion, BoundaryCallsCreateNothing) {
  KivIndex index = KivIndex::cosine(1);
  index.new_session();
  index.new_session();
  index.new_document();
  EXPECT_TRUE(index.containers().empty());
}

// After the current container is removed, the next insertion opens a fresh one
// instead of storing a chunk that no document lists.
TEST(Insertion, RemovedCurrentDocumentIsReplaced) {
  KivIndex index = KivIndex::cosine(1);
  insert_new(index, {1.0f});
  const Id session = *index.current_session();
  const Id old_document = *index.current_document();
  index.remove(old_document);
  const Id chunk = insert_new(index, {2.0f});
  EXPECT_EQ(*index.current_session(), session);
  EXPECT_NE(*index.current_document(), old_document);
  EXPECT_EQ(at(index, index.current_document()).children(), std::vector<Id>{chunk});
  EXPECT_EQ(index.find(session)->children().back(), *index.current_document());
}

TEST(Insertion, RemovedCurrentSessionIsReplacedWithItsDocument) {
  KivIndex index = KivIndex::cosine(1);
  insert_new(index, {1.0f});
  const Id old_session = *index.current_session();
  const Id old_document = *index.current_document();
  index.remove(old_session);
  insert_new(index, {2.0f});
  EXPECT_NE(*index.current_session(), old_session);
  EXPECT_NE(*index.current_document(), old_document);
  EXPECT_EQ(at(index, index.root_id()).children().back(), *index.current_session());
}

TEST(Insertion, RemovedRootIsReplacedAndTheChunkIsReachable) {
  KivIndex index = KivIndex::cosine(1);
  insert_new(index, {1.0f});
  const Id old_root = *index.root_id();
  const Id old_session = *index.current_session();
  index.remove(old_root);
  const Id chunk = insert_new(index, {2.0f});
  ASSERT_NE(*index.root_id(), old_root);
  EXPECT_NE(*index.current_session(), old_session);
  const ContainerView root = at(index, index.root_id());
  ASSERT_EQ(root.children().size(), 1u);
  const ContainerView session = index.find(root.children()[0]);
  const ContainerView document = index.find(session.children().at(0));
  EXPECT_EQ(document.children(), std::vector<Id>{chunk});
}

TEST(Insertion, ChunkTakingTheCurrentDocumentsIdIsNeverMoved) {
  KivIndex index = KivIndex::cosine(2);
  insert_new(index, {1.0f, 0.0f});
  const Id document = *index.current_document();
  ASSERT_TRUE(index.insert(document, {0.0f, 3.0f}).has_value());
  const ContainerView chunk = index.find(document);
  EXPECT_TRUE(chunk.is_chunk());
  EXPECT_EQ(as_vector(chunk.centroid()), (std::vector<float>{0.0f, 3.0f}));
  EXPECT_TRUE(chunk.children().empty());
  // The slot now names a chunk, so the next insertion opens a real document.
  const Id next = insert_new(index, {1.0f, 1.0f});
  EXPECT_EQ(at(index, index.current_document()).level(), ContainerLevel::Document);
  EXPECT_EQ(at(index, index.current_document()).children(), std::vector<Id>{next});
}

TEST(Insertion, NewContainersNeverTakeAnIdInUse) {
  // Chunks planted under every id the root, session and document could be
  // given: each must get an id of its own instead of replacing one.
  KivIndex index = KivIndex::cosine(1);
  const std::vector<Id> planted = testing_support::upcoming_ids(3, 10'000);
  for (const Id& id : planted)
    index.containers().insert_or_assign(id, Container::chunk(id, {7.0f}, 1));
  Id chunk;
  chunk.bytes.fill(0xAB);
  ASSERT_TRUE(index.insert(chunk, {1.0f}).has_value());

  EXPECT_EQ(index.containers().size(), planted.size() + 4);
  for (const Id& id : planted) {
    const ContainerView c = index.find(id);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->is_chunk());
    EXPECT_EQ(c->centroid()[0], 7.0f);
  }
  EXPECT_EQ(at(index, index.root_id()).level(), ContainerLevel::Global);
  EXPECT_EQ(at(index, index.current_session()).level(), ContainerLevel::Session);
  EXPECT_EQ(at(index, index.current_document()).children(), std::vector<Id>{chunk});
  EXPECT_NE(index.find(chunk), nullptr);
}

TEST(Insertion, NewContainersNeverTakeTheIdOfTheChunkBeingAdded) {
  // The chunk comes under the id the insertion's new root would be given in
  // this millisecond: the root gets another, and the chunk is listed by its
  // document. Repeated, as the clock may move on between the two draws.
  for (int attempt = 0; attempt < 20; ++attempt) {
    KivIndex index = KivIndex::cosine(1);
    const Id chunk = testing_support::upcoming_ids(1, 1).front();
    ASSERT_TRUE(index.insert(chunk, {1.0f}).has_value());
    EXPECT_EQ(index.stats().global_count, 1u);
    EXPECT_EQ(at(index, index.root_id()).level(), ContainerLevel::Global);
    EXPECT_EQ(at(index, index.current_document()).children(), std::vector<Id>{chunk});
    EXPECT_TRUE(index.find(chunk)->is_chunk());
  }
}

TEST(Insertion, SphericalUpdatesFollowTheGreatCircle) {
  KivConfig config;
  config.spherical_updates = true;
  KivIndex index = KivIndex::with_config(2, config);
  insert_new(index, {2.0f, 0.0f});
  insert_new(index, {0.0f, 1.0f});
  // Orthogonal vectors: equal weights, then normalised.
  const auto after_two = as_vector(at(index, index.current_document()).centroid());
  EXPECT_NEAR(after_two[0], 2.0f / std::sqrt(5.0f), 1e-6f);
  EXPECT_NEAR(after_two[1], 1.0f / std::sqrt(5.0f), 1e-6f);
  insert_new(index, {0.0f, 1.0f});
  // A third of the way along the arc towards (0, 1).
  const float start = std::atan2(after_two[1], after_two[0]);
  const float angle = start + (static_cast<float>(M_PI) / 2 - start) / 3;
  const auto after_three = as_vector(at(index, index.current_document()).centroid());
  EXPECT_NEAR(after_three[0], std::cos(angle), 1e-5f);
  EXPECT_NEAR(after_three[1], std::sin(angle), 1e-5f);
  // The running sum is still kept exactly.
  EXPECT_EQ(as_vector(at(index, index.current_document()).sum()), (std::vector<float>{2, 2}));
}

TEST(Insertion, IncrementalSubspacesAreFedAfterTheFirstVector) {
  KivConfig config;
  config.use_subspaces = true;
  config.incremental_subspaces = true;
  KivIndex index = KivIndex::with_config(2, config);
  insert_new(index, {1.0f, 0.0f});
  insert_new(index, {0.0f, 1.0f});
  insert_new(index, {1.0f, 1.0f});
  for (const auto& slot : {index.current_document(), index.current_session(), index.root_id()}) {
    const Subspace* s = at(index, slot).subspace();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->count(), 2u);
    EXPECT_EQ(as_vector(s->sum()), (std::vector<float>{1.0f, 2.0f}));
  }
}

TEST(Insertion, SubspacesStayEmptyUnlessSwitchedOn) {
  KivIndex index = KivIndex::cosine(2);
  insert_new(index, {1.0f, 0.0f});
  insert_new(index, {0.0f, 1.0f});
  const Subspace* s = at(index, index.current_document()).subspace();
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->has_moments());
}

TEST(Removal, DeletesOneEntryAndKeepsReferences) {
  KivIndex index = KivIndex::cosine(1);
  const Id chunk = insert_new(index, {1.0f});
  index.remove(chunk);
  index.remove(chunk);  // absent: nothing happens
  EXPECT_TRUE(index.is_empty());
  const KivStats stats = index.stats();
  EXPECT_EQ(stats.global_count + stats.session_count + stats.document_count, 3u);
  const Id second = insert_new(index, {1.0f});
  EXPECT_EQ(at(index, index.current_document()).children(), (std::vector<Id>{chunk, second}));
}

}  // namespace
}  // namespace orlo_kiv
