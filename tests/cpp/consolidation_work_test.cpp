// Consolidation on shapes that insertion never builds but loaded data can
// describe: containers nested far deeper than the four levels, one container
// listed by many parents, cycles, long chains of empty containers. Whatever
// the shape, a run examines each children list a bounded number of times, so
// its work stays linear in the size of the tree.
#include <gtest/gtest.h>

#include <tuple>

#include "adapters/index/consolidation.h"
#include "adapters/index/kiv.h"
#include "consolidation_test_support.h"

namespace orlo_kiv {
namespace {

using testing_support::all_chunks;
using testing_support::HandTree;
using testing_support::reachable_chunks;

constexpr std::uint64_t kLength = 20'000;

// Containers plus children-list entries: the size of the tree as data.
std::uint64_t tree_size(const KivIndex& index) {
  std::uint64_t size = 0;
  for (const auto& [id, c] : index.containers()) size += 1 + c.children().size();
  return size;
}

enum class Shape {
  DocumentChain,      // each document lists a chunk and then the next document
  Cycle,              // the same chain, whose last document lists the first again
  EmptyChain,         // documents that each list only the next, the last nothing
  SharedDocument,     // one document of many chunks listed by every session
  ManyEmptySiblings,  // one session listing many empty documents
  MergesAlongChain,   // a document chain where each also lists two one-chunk documents
};

struct Built {
  std::vector<Id> chain;  // the documents of a chain, in order
  std::vector<Id> sessions;
  Id shared;
};

Built build(HandTree& tree, Shape shape) {
  Built built;
  const Id root = tree.root();
  switch (shape) {
    case Shape::DocumentChain:
    case Shape::Cycle: {
      Id parent = tree.branch(ContainerLevel::Session, root);
      built.sessions.push_back(parent);
      for (std::uint64_t i = 0; i < kLength; ++i) {
        const Id document = tree.branch(ContainerLevel::Document, parent);
        tree.chunk(document, {1.0f, 0.0f});
        built.chain.push_back(document);
        parent = document;
      }
      if (shape == Shape::Cycle)
        tree.index.find(parent)->mutable_children().push_back(built.chain[0]);
      break;
    }
    case Shape::EmptyChain: {
      // Not listed by the root, as in a file holding nothing else.
      std::optional<Id> parent;
      for (std::uint64_t i = 0; i < kLength; ++i) {
        built.chain.push_back(tree.branch(ContainerLevel::Document, parent));
        parent = built.chain.back();
      }
      break;
    }
    case Shape::SharedDocument: {
      built.shared = tree.branch(ContainerLevel::Document);
      for (std::uint64_t i = 0; i < kLength; ++i) tree.chunk(built.shared, {1.0f, 0.0f});
      for (std::uint64_t i = 0; i < kLength; ++i) {
        built.sessions.push_back(tree.branch(ContainerLevel::Session, root));
        tree.index.find(built.sessions.back())->mutable_children().push_back(built.shared);
      }
      break;
    }
    case Shape::ManyEmptySiblings: {
      built.sessions.push_back(tree.branch(ContainerLevel::Session, root));
      for (std::uint64_t i = 0; i < kLength; ++i) {
        built.chain.push_back(tree.branch(ContainerLevel::Document, built.sessions[0]));
      }
      break;
    }
    case Shape::MergesAlongChain: {
      Id parent = tree.branch(ContainerLevel::Session, root);
      built.sessions.push_back(parent);
      for (std::uint64_t i = 0; i < kLength; ++i) {
        const Id document = tree.branch(ContainerLevel::Document, parent);
        for (int small = 0; small < 2; ++small) {
          tree.chunk(tree.branch(ContainerLevel::Document, document), {1.0f, 0.0f});
        }
        built.chain.push_back(document);
        parent = document;
      }
      break;
    }
  }
  return built;
}

class ConsolidationWork : public ::testing::TestWithParam<std::tuple<Shape, bool>> {};

TEST_P(ConsolidationWork, StaysLinearOnMalformedShapes) {
  const auto [shape, full] = GetParam();
  HandTree tree(2);
  const Built built = build(tree, shape);
  const std::uint64_t size = tree_size(tree.index);
  const auto chunks = all_chunks(tree.index);

  const ConsolidationReport report = run_consolidation(
      tree.index, full ? ConsolidationConfig::full() : ConsolidationConfig::light());
  EXPECT_LE(report.children_visited, 10 * size) << "tree size " << size;
  EXPECT_EQ(all_chunks(tree.index), chunks);

  switch (shape) {
    case Shape::DocumentChain:
    case Shape::Cycle:
      // Each document holds the chunks of the chain from itself on, once.
      for (std::uint64_t i = 0; i < kLength; i += 997) {
        const ContainerView document = tree.at(built.chain[i]);
        EXPECT_EQ(document.point_count(), kLength - i);
        EXPECT_EQ(document.sum()[0], static_cast<float>(kLength - i));
        EXPECT_EQ(document.centroid()[0], 1.0f);
      }
      EXPECT_EQ(tree.at(*tree.index.root_id()).point_count(), kLength);
      EXPECT_EQ(reachable_chunks(tree.index), chunks);
      break;
    case Shape::EmptyChain:
      EXPECT_EQ(report.pruned, full ? kLength : 0u);
      break;
    case Shape::SharedDocument:
      // The document counts under the first session that lists it.
      EXPECT_EQ(tree.at(built.sessions[0]).point_count(), kLength);
      EXPECT_EQ(tree.at(built.sessions[1]).point_count(), 0u);
      EXPECT_EQ(tree.at(*tree.index.root_id()).point_count(), kLength);
      break;
    case Shape::ManyEmptySiblings:
      // Every document is empty: one or two absorb an empty sibling, and all
      // are pruned, then the session.
      if (full) {
        EXPECT_GE(report.pruned, kLength - 1);
        EXPECT_EQ(tree.index.containers().size(), 1u);
      }
      break;
    case Shape::MergesAlongChain:
      // Each merge forgets the subtotals above it, but only up to where an
      // earlier merge forgot them already: otherwise this costs the chain's
      // length squared. The two one-chunk documents listed by each chain
      // document become one of two chunks (the last chain document, of two
      // children, absorbs one of those of the document before it).
      if (full) {
        EXPECT_EQ(report.merges, 2 * kLength + 1);
        for (std::uint64_t i = 0; i < kLength - 2; i += 997) {
          const ContainerView document = tree.at(built.chain[i]);
          ASSERT_EQ(document.children().size(), 2u);
          EXPECT_EQ(tree.at(document.children()[0]).point_count(), 2u);
        }
      }
      EXPECT_EQ(reachable_chunks(tree.index), chunks);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ConsolidationWork,
    ::testing::Combine(::testing::Values(Shape::DocumentChain, Shape::Cycle, Shape::EmptyChain,
                                         Shape::SharedDocument, Shape::ManyEmptySiblings,
                                         Shape::MergesAlongChain),
                       ::testing::Bool()));

}  // namespace
}  // namespace orlo_kiv
