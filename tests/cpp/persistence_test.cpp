#include "adapters/index/persistence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "persisted_records.h"

namespace orlo_kiv {
namespace {

Id filled_id(std::uint8_t byte) {
  Id id;
  id.bytes.fill(byte);
  return id;
}

// ASSERT_* cannot stop a test from a helper that returns a value: encode and
// decode throw instead, which GoogleTest reports as the test's failure.
std::vector<std::uint8_t> encode(const KivIndex& index) {
  const auto bytes = persistence::to_bytes(index);
  if (!bytes) throw std::runtime_error("to_bytes failed: " + to_string(bytes.error()));
  const auto span = bytes->span();
  return {span.begin(), span.end()};
}

KivIndex decode(std::span<const std::uint8_t> bytes) {
  auto loaded = persistence::from_bytes(bytes);
  if (!loaded) throw std::runtime_error("from_bytes failed: " + to_string(loaded.error()));
  return std::move(*loaded);
}

std::vector<std::uint8_t> read_golden(const char* name) {
  std::ifstream in(std::string(ORLO_KIV_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void expect_same_container(const ContainerView& a, const ContainerView& b) {
  EXPECT_EQ(a.id(), b.id());
  EXPECT_EQ(a.level(), b.level());
  EXPECT_EQ(a.timestamp_ms(), b.timestamp_ms());
  EXPECT_EQ(a.children().to_vector(), b.children().to_vector());
  EXPECT_EQ(a.point_count(), b.point_count());
  EXPECT_TRUE(std::ranges::equal(a.centroid(), b.centroid()));
  EXPECT_EQ(a.has_sum(), b.has_sum());
  EXPECT_TRUE(std::ranges::equal(a.sum(), b.sum()));
}

// The worked example of the format: root, session, document and chunk of two
// dimensions, each with a sum, in the golden file.
KivIndex four_container_index() {
  KivIndex index = KivIndex::cosine(2);
  const std::vector<float> v = {3.0f, 4.0f};
  const std::uint64_t t = 1'700'000'000'000;
  for (std::uint8_t level = 0; level < 4; ++level) {
    const Id id = filled_id(level + 1);
    std::vector<Id> children;
    if (level < 3) children.push_back(filled_id(level + 2));
    std::unique_ptr<Subspace> subspace;
    if (level < 3) subspace = std::make_unique<Subspace>(2);
    index.containers().insert_or_assign(
        id, Container(id, static_cast<ContainerLevel>(level), t + level, children, 1, v, v,
                      std::move(subspace)));
  }
  index.set_root_id(filled_id(1));
  index.set_current_session(filled_id(2));
  index.set_current_document(filled_id(3));
  return index;
}

TEST(Persistence, OneRecordHasItsExactBytes) {
  KivIndex index = KivIndex::cosine(2);
  const Id id = filled_id(0xAB);
  index.containers().insert_or_assign(
      id,
      Container(id, ContainerLevel::Document, 0x0102030405060708, {filled_id(1), filled_id(2)}, 5,
                {1.5f, -2.0f}, std::vector<float>{3.0f, -4.0f}, std::make_unique<Subspace>(2)));
  index.set_root_id(id);
  index.set_current_document(filled_id(0xCD));

  std::vector<std::uint8_t> expected = {'K', 'I', 'V', 0};
  expected.insert(expected.end(), {1, 0, 0, 0});                 // version
  expected.insert(expected.end(), {2, 0, 0, 0});                 // dimensionality
  expected.insert(expected.end(), {1, 0, 0, 0, 0, 0, 0, 0});     // container count
  expected.insert(expected.end(), 16, 0xAB);                     // root
  expected.insert(expected.end(), 16, 0xAB);                     // record id
  expected.insert(expected.end(), {2, 8, 7, 6, 5, 4, 3, 2, 1});  // level, timestamp
  expected.insert(expected.end(), {2, 0, 0, 0});                 // child count
  expected.insert(expected.end(), 16, 0x01);
  expected.insert(expected.end(), 16, 0x02);
  expected.insert(expected.end(), {5, 0, 0, 0, 0, 0, 0, 0});                 // point count
  expected.insert(expected.end(), {0, 0, 0xC0, 0x3F, 0, 0, 0, 0xC0});        // 1.5, -2.0
  expected.insert(expected.end(), {1, 0, 0, 0x40, 0x40, 0, 0, 0x80, 0xC0});  // sum: 3.0, -4.0
  expected.insert(expected.end(), 16, 0);                                    // no current session
  expected.insert(expected.end(), 16, 0xCD);                                 // current document
  expected.push_back(0);                                                     // no routing weights

  ASSERT_EQ(persistence::encoded_size(index).value(), expected.size());
  EXPECT_EQ(encode(index), expected);
}

TEST(Persistence, GoldenFileDecodesToTheWorkedExample) {
  const std::vector<std::uint8_t> golden = read_golden("four_containers_d2.kiv");
  ASSERT_EQ(golden.size(), 333u);
  const KivIndex expected = four_container_index();
  const KivIndex loaded = decode(golden);

  EXPECT_EQ(loaded.dimensionality(), 2u);
  EXPECT_EQ(loaded.root_id(), filled_id(1));
  EXPECT_EQ(loaded.current_session(), filled_id(2));
  EXPECT_EQ(loaded.current_document(), filled_id(3));
  EXPECT_FALSE(loaded.routing_weights().has_value());
  ASSERT_EQ(loaded.containers().size(), 4u);
  for (const auto& [id, container] : expected.containers()) {
    const ContainerView found = loaded.find(id);
    ASSERT_NE(found, nullptr);
    expect_same_container(found, container);
  }
  EXPECT_EQ(sorted_records(encode(expected)), sorted_records(golden));
}

TEST(Persistence, LoadedIndexGetsDefaultsForWhatIsNotStored) {
  KivConfig config;
  config.beam_width = 10;
  config.temporal_weight = 0.5f;
  config.use_subspaces = true;
  config.incremental_subspaces = true;
  config.use_learnable_routing = true;
  KivIndex index = KivIndex::with_config(3, config);
  ASSERT_TRUE(index.insert(new_id(), {1.0f, 2.0f, 3.0f}).has_value());
  const KivIndex loaded = decode(encode(index));

  const KivConfig defaults;
  EXPECT_EQ(loaded.config().beam_width, defaults.beam_width);
  EXPECT_EQ(loaded.config().temporal_weight, defaults.temporal_weight);
  EXPECT_EQ(loaded.config().propagation_threshold, defaults.propagation_threshold);
  EXPECT_FALSE(loaded.config().use_subspaces);
  EXPECT_FALSE(loaded.config().use_learnable_routing);
  EXPECT_EQ(loaded.proximity().name(), "cosine");
  EXPECT_EQ(loaded.merge().name(), "mean");
  EXPECT_TRUE(loaded.proximity_is_similarity());
  for (const auto& [id, container] : loaded.containers()) {
    if (container.is_chunk()) {
      EXPECT_EQ(container.subspace(), nullptr);
      // A stored chunk costs one vector: its sum is its centroid.
      EXPECT_EQ(container.sum().data(), container.centroid().data());
    } else {
      ASSERT_NE(container.subspace(), nullptr);
      EXPECT_EQ(container.subspace()->count(), 0u);
      EXPECT_EQ(container.subspace()->dimensionality(), 3u);
      EXPECT_FALSE(container.subspace()->has_moments());
    }
  }
}

RoutingWeights weights_of(std::size_t d, bool per_dimension, std::span<const float> values) {
  RoutingConfig config;
  config.per_dimension = per_dimension;
  RoutingWeights weights(d, config);
  std::vector<std::uint8_t> bytes(values.size_bytes());
  std::memcpy(bytes.data(), values.data(), bytes.size());
  weights.replace_from_bytes(bytes);
  return weights;
}

TEST(Persistence, RoundTripKeepsContainersSlotsAndRoutingWeights) {
  KivIndex index = KivIndex::cosine(4);
  for (int i = 0; i < 7; ++i) {
    if (i == 3) index.new_document();
    if (i == 5) index.new_session();
    const float x = static_cast<float>(i);
    ASSERT_TRUE(index.insert(new_id(), {x, 1.0f - x, 0.5f * x, -x}).has_value());
  }
  const std::vector<float> weights = {0.25f, 1.0f, -3.5f, 2.0f};
  index.set_routing_weights(weights_of(4, true, weights));

  const std::vector<std::uint8_t> bytes = encode(index);
  const KivIndex loaded = decode(bytes);
  EXPECT_EQ(loaded.root_id(), index.root_id());
  EXPECT_EQ(loaded.current_session(), index.current_session());
  EXPECT_EQ(loaded.current_document(), index.current_document());
  ASSERT_EQ(loaded.containers().size(), index.containers().size());
  for (const auto& [id, container] : index.containers()) {
    const ContainerView found = loaded.find(id);
    ASSERT_NE(found, nullptr);
    expect_same_container(found, container);
  }
  ASSERT_TRUE(loaded.routing_weights().has_value());
  EXPECT_TRUE(std::ranges::equal(loaded.routing_weights()->weights(), weights));
  EXPECT_TRUE(loaded.routing_weights()->config().per_dimension);
  EXPECT_EQ(sorted_records(encode(loaded)), sorted_records(bytes));
}

// Records in any order load into the tree's own layout: the same containers,
// the same bytes when written again, the same query results to the bit, and
// children lists that are again a few runs of consecutive nodes.
TEST(Persistence, RecordsInAnyOrderLoadIntoTheTreesLayout) {
  KivIndex index = KivIndex::cosine(8);
  std::mt19937 random(3);
  std::normal_distribution<float> normal;
  for (int i = 0; i < 3000; ++i) {
    if (i % 150 == 0) index.new_document();
    std::vector<float> v(8);
    for (float& x : v) x = normal(random);
    ASSERT_TRUE(index.insert(new_id(), std::move(v)).has_value());
  }
  const std::vector<std::uint8_t> bytes = encode(index);
  std::vector<std::string> records = sorted_records(bytes);
  std::shuffle(records.begin(), records.end(), random);
  std::vector<std::uint8_t> shuffled(bytes.begin(), bytes.begin() + persistence::kHeaderSize);
  for (const std::string& record : records)
    shuffled.insert(shuffled.end(), record.begin(), record.end());
  shuffled.insert(shuffled.end(), bytes.end() - persistence::kTrailerSize, bytes.end());

  const KivIndex loaded = decode(shuffled);
  EXPECT_EQ(sorted_records(encode(loaded)), sorted_records(bytes));
  std::size_t lists = 0;
  std::size_t runs = 0;
  for (const auto& [id, container] : loaded.containers()) {
    if (container.children().empty()) continue;
    ++lists;
    runs += container.children().handles().runs().size();
  }
  EXPECT_LE(runs, 2 * lists);
  for (int q = 0; q < 20; ++q) {
    std::vector<float> query(8);
    for (float& x : query) x = normal(random);
    const auto expected = index.near(query, 10);
    const auto found = loaded.near(query, 10);
    ASSERT_EQ(found->size(), expected->size());
    for (std::size_t i = 0; i < expected->size(); ++i) {
      EXPECT_EQ((*found)[i].id, (*expected)[i].id);
      EXPECT_EQ(std::bit_cast<std::uint32_t>((*found)[i].score),
                std::bit_cast<std::uint32_t>((*expected)[i].score));
    }
  }
}

TEST(Persistence, SharedSingleWeightIsWrittenOncePerDimension) {
  KivIndex index = KivIndex::cosine(3);
  const float shared = 0.75f;
  index.set_routing_weights(weights_of(3, false, std::span(&shared, 1)));
  const std::vector<std::uint8_t> bytes = encode(index);
  ASSERT_EQ(bytes.size(), 69u + 12u);

  const KivIndex loaded = decode(bytes);
  ASSERT_TRUE(loaded.routing_weights().has_value());
  EXPECT_TRUE(
      std::ranges::equal(loaded.routing_weights()->weights(), std::vector{shared, shared, shared}));
  const std::vector<float> q = {1.0f, -2.0f, 0.5f};
  const std::vector<float> c = {0.25f, 0.5f, 4.0f};
  EXPECT_FLOAT_EQ(loaded.routing_weights()->routed_distance(q, c),
                  index.routing_weights()->routed_distance(q, c));
}

TEST(Persistence, VectorOfTheWrongLengthIsABrokenInvariant) {
  KivIndex index = KivIndex::cosine(3);
  const Id id = filled_id(7);
  index.containers().insert_or_assign(id, Container::chunk(id, {1.0f, 2.0f}, 0));
  EXPECT_THROW((void)persistence::encoded_size(index), InternalError);
}

TEST(Persistence, ErrorTexts) {
  EXPECT_EQ(to_string(PersistError::invalid_magic()), "Invalid KIV file magic bytes");
  EXPECT_EQ(to_string(PersistError::unsupported_version(7)), "Unsupported KIV version: 7");
  EXPECT_EQ(to_string(PersistError::truncated()), "IO error: failed to fill whole buffer");
  EXPECT_EQ(to_string(PersistError::write_zero()), "IO error: failed to write whole buffer");
  EXPECT_EQ(to_string(PersistError::nul_in_path()),
            "IO error: file name contained an unexpected NUL byte");
  EXPECT_EQ(to_string(PersistError::from_os_error(13)),
            "IO error: Permission denied (os error 13)");
  EXPECT_EQ(to_string(PersistError::invalid_level(200)), "Data corruption: Invalid level: 200");
}

}  // namespace
}  // namespace orlo_kiv
