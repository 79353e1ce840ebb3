#include "adapters/index/storage/container_map.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace orlo_kiv {
namespace {

Id id_of(std::uint64_t n) { return make_id(n >> 16, n); }

std::vector<std::uint32_t> bits_of(std::span<const float> values) {
  std::vector<std::uint32_t> bits;
  for (const float x : values) bits.push_back(std::bit_cast<std::uint32_t>(x));
  return bits;
}

// One float per vector fits the map's slabs; two do not and are kept apart.
Container value_with(std::uint64_t step, ContainerLevel level) {
  std::vector<float> centroid(step % 7 == 0 ? 2 : 1, static_cast<float>(step));
  if (level == ContainerLevel::Chunk) return Container::chunk(Id{}, std::move(centroid), step);
  Container c = Container::branch(Id{}, level, 1, step);
  c.set_centroid(std::move(centroid));
  c.mutable_children().push_back(id_of(step % 50));
  return c;
}

TEST(ContainerMap, AgreesWithAReferenceMapUnderRandomChanges) {
  ContainerMap map(1);
  struct Expected {
    float value;
    ContainerLevel level;
  };
  std::map<Id, Expected> reference;
  std::mt19937_64 random(42);
  // Few distinct keys, so that inserts, replacements and erasures all collide.
  std::uniform_int_distribution<std::uint64_t> key(0, 3000);
  for (std::uint64_t step = 0; step < 100'000; ++step) {
    const Id id = id_of(key(random));
    const auto level = static_cast<ContainerLevel>(random() % 4);
    switch (random() % 3) {
      case 0: {
        const auto [view, inserted] = map.insert_or_assign(id, value_with(step, level));
        EXPECT_EQ(inserted, reference.count(id) == 0);
        EXPECT_EQ(view->id(), id);
        reference[id] = {static_cast<float>(step), level};
        break;
      }
      case 1:
        EXPECT_EQ(map.erase(id), reference.erase(id));
        break;
      default: {
        const ContainerView view = std::as_const(map).find(id);
        const auto expected = reference.find(id);
        ASSERT_EQ(!view, expected == reference.end());
        if (view) {
          EXPECT_EQ(view->centroid()[0], expected->second.value);
          EXPECT_EQ(view->level(), expected->second.level);
        }
      }
    }
    ASSERT_EQ(map.size(), reference.size());
    if (step % 1000 == 0) map.collect_garbage();
  }
  std::map<Id, Expected> iterated;
  std::array<std::uint64_t, 4> counts{};
  for (const auto& [id, container] : std::as_const(map)) {
    iterated[id] = {container.centroid()[0], container.level()};
    ++counts[static_cast<std::size_t>(container.level())];
  }
  ASSERT_EQ(iterated.size(), reference.size());
  for (const auto& [id, expected] : reference) {
    EXPECT_EQ(iterated[id].value, expected.value);
    EXPECT_EQ(iterated[id].level, expected.level);
  }
  for (std::size_t level = 0; level < 4; ++level) {
    EXPECT_EQ(map.count(static_cast<ContainerLevel>(level)), counts[level]);
  }
}

TEST(ContainerMap, ViewsAndListedIdsOutliveGrowthAndErasure) {
  ContainerMap map(3);
  const ContainerRef document =
      map.insert_or_assign(id_of(1), Container::branch(id_of(1), ContainerLevel::Document, 3, 0))
          .first;
  document->mutable_children().push_back(id_of(2));  // not stored yet
  for (std::uint64_t n = 3; n < 10'000; ++n) {
    map.insert_chunk(id_of(n), std::vector<float>{1.0f, 2.0f, float(n)}, 0);
  }
  for (std::uint64_t n = 3; n < 10'000; n += 2) map.erase(id_of(n));
  EXPECT_EQ(document->level(), ContainerLevel::Document);
  ASSERT_EQ(document->children().size(), 1u);
  EXPECT_EQ(document->children()[0], id_of(2));
  EXPECT_FALSE(map.find(id_of(2)));
  // A listed id resolves as soon as a container is stored under it.
  map.insert_chunk(id_of(2), std::vector<float>{7.0f, 8.0f, 9.0f}, 0);
  EXPECT_EQ(map.centroid(document->children().handles().at(0))[2], 9.0f);
  map.collect_garbage();
  EXPECT_EQ(map.find(id_of(4))->centroid()[2], 4.0f);
  EXPECT_EQ(map.find(id_of(1))->children()[0], id_of(2));
}

// Timestamps are kept as offsets from their block's first one; any other
// value, early or late by any amount, reads back whole.
TEST(ContainerMap, EveryTimestampReadsBackWhole) {
  ContainerMap map(1);
  const std::vector<std::uint64_t> times = {
      1'000'000, 5,        UINT64_MAX, 1'000'000 + (1ull << 32), 1'000'000 + (1ull << 32) - 2,
      0,         1'000'001};
  for (std::size_t i = 0; i < times.size(); ++i) {
    map.insert_chunk(id_of(i), std::vector<float>{1.0f}, times[i]);
  }
  for (std::size_t i = 0; i < times.size(); ++i) {
    EXPECT_EQ(map.find(id_of(i))->timestamp_ms(), times[i]);
  }
  // Replacing one kept apart with one that fits, and the other way round.
  map.insert_chunk(id_of(2), std::vector<float>{1.0f}, 1'000'002);
  map.insert_chunk(id_of(6), std::vector<float>{1.0f}, 3);
  EXPECT_EQ(map.find(id_of(2))->timestamp_ms(), 1'000'002u);
  EXPECT_EQ(map.find(id_of(6))->timestamp_ms(), 3u);
}

TEST(ContainerMap, ShrinkingAfterErasuresKeepsEveryEntry) {
  ContainerMap map(1);
  for (std::uint64_t n = 0; n < 10'000; ++n) {
    map.insert_chunk(id_of(n), std::vector<float>{float(n)}, n);
  }
  for (std::uint64_t n = 0; n < 10'000; ++n) {
    if (n % 100 != 7) map.erase(id_of(n));
  }
  EXPECT_TRUE(map.shrink_to_fit());
  std::size_t seen = 0;
  for (const auto& [id, container] : map) {
    EXPECT_EQ(map.find(id)->centroid()[0], container.centroid()[0]);
    ++seen;
  }
  EXPECT_EQ(seen, 100u);
  for (std::uint64_t n = 7; n < 10'000; n += 100) {
    const ContainerView kept = map.find(id_of(n));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->centroid()[0], float(n));
    EXPECT_EQ(kept->timestamp_ms(), n);
  }
  map.insert_chunk(id_of(1), std::vector<float>{1.0f}, 0);
  EXPECT_EQ(map.size(), 101u);
}

TEST(ContainerMap, EmptyMapFindsNothing) {
  const ContainerMap map(4);
  EXPECT_TRUE(map.empty());
  EXPECT_FALSE(map.find(id_of(7)));
  EXPECT_EQ(map.begin(), map.end());
  EXPECT_EQ(map.count(ContainerLevel::Chunk), 0u);
}

TEST(ContainerMap, MovingLeavesAnEmptyUsableMap) {
  ContainerMap source(1);
  source.insert_chunk(id_of(3), std::vector<float>{3.0f}, 0);
  ContainerMap target = std::move(source);
  EXPECT_EQ(target.size(), 1u);
  EXPECT_EQ(target.find(id_of(3))->centroid()[0], 3.0f);
  EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
  EXPECT_FALSE(source.find(id_of(3)));
  source.insert_chunk(id_of(4), std::vector<float>{4.0f}, 0);
  EXPECT_EQ(source.size(), 1u);
  EXPECT_EQ(source.count(ContainerLevel::Chunk), 1u);
}

// A chunk whose centroid changes keeps its old sum; its new vector takes the
// place of the old one in the chunk slab, or is kept apart when its length is
// not the map's, and both survive the compaction that removals lead to.
TEST(ContainerMap, ChangedChunkCentroidsKeepTheirSumsThroughCompaction) {
  constexpr std::size_t kDims = 3;
  ContainerMap map(kDims);
  const auto vector_of = [](std::uint64_t n, std::size_t width) {
    return std::vector<float>(width, static_cast<float>(n) + 0.5f);
  };
  constexpr std::uint64_t kChunks = 6000;
  for (std::uint64_t n = 0; n < kChunks; ++n) map.insert_chunk(id_of(n), vector_of(n, kDims), 0);
  // Every third chunk moves: to another vector of the map's width, or to one
  // kept apart, or through one kept apart back into the slab.
  const auto width_of = [](std::uint64_t n) { return n % 9 == 3 ? kDims + 1 : kDims; };
  for (std::uint64_t n = 0; n < kChunks; n += 3) {
    if (n % 9 == 6) map.find(id_of(n))->set_centroid(vector_of(n, kDims + 1));
    map.find(id_of(n))->set_centroid(vector_of(n + kChunks, width_of(n)));
  }
  for (std::uint64_t n = 1; n < kChunks; n += 3) map.erase(id_of(n));
  EXPECT_TRUE(map.shrink_to_fit());
  for (std::uint64_t n = 0; n < kChunks; ++n) {
    const ContainerView chunk = map.find(id_of(n));
    ASSERT_EQ(static_cast<bool>(chunk), n % 3 != 1);
    if (!chunk) continue;
    const bool moved = n % 3 == 0;
    EXPECT_EQ(bits_of(chunk->centroid()),
              bits_of(moved ? vector_of(n + kChunks, width_of(n)) : vector_of(n, kDims)));
    EXPECT_EQ(bits_of(chunk->sum()), bits_of(vector_of(n, kDims)));
  }
}

}  // namespace
}  // namespace orlo_kiv
