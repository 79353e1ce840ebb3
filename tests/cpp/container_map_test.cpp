#include "adapters/index/container_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace orlo_kiv {
namespace {

Id id_of(std::uint64_t n) { return make_id(n >> 16, n); }

Container chunk_with(float value) { return Container::chunk(Id{}, {value}, 0); }

TEST(ContainerMap, AgreesWithAReferenceMapUnderRandomChanges) {
  ContainerMap map;
  std::map<Id, float> reference;
  std::mt19937_64 random(42);
  // Few distinct keys, so that inserts, replacements and erasures all collide.
  std::uniform_int_distribution<std::uint64_t> key(0, 3000);
  for (int step = 0; step < 200'000; ++step) {
    const Id id = id_of(key(random));
    const float value = static_cast<float>(step);
    switch (random() % 3) {
      case 0: {
        const auto [it, inserted] = map.insert_or_assign(id, chunk_with(value));
        EXPECT_EQ(inserted, reference.count(id) == 0);
        EXPECT_EQ(it->first, id);
        reference[id] = value;
        break;
      }
      case 1:
        EXPECT_EQ(map.erase(id), reference.erase(id));
        break;
      default: {
        const auto it = map.find(id);
        const auto expected = reference.find(id);
        ASSERT_EQ(it == map.end(), expected == reference.end());
        if (it != map.end()) EXPECT_EQ(it->second.centroid()[0], expected->second);
      }
    }
    ASSERT_EQ(map.size(), reference.size());
  }
  std::map<Id, float> iterated;
  for (const auto& [id, container] : map) iterated[id] = container.centroid()[0];
  EXPECT_EQ(iterated, reference);
  for (const auto& [id, value] : reference) {
    const std::size_t hash = map.hash(id);
    const auto* entry = map.find_hashed(id, hash);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->second.centroid()[0], value);
  }
}

TEST(ContainerMap, EntriesStayInPlaceWhileTheTableGrows) {
  ContainerMap map;
  map.insert_or_assign(id_of(1), chunk_with(1.0f));
  const Container* first = &map.find(id_of(1))->second;
  for (std::uint64_t n = 2; n < 10'000; ++n) map.insert_or_assign(id_of(n), chunk_with(0.0f));
  for (std::uint64_t n = 2; n < 10'000; n += 2) map.erase(id_of(n));
  EXPECT_EQ(&map.find(id_of(1))->second, first);
  EXPECT_EQ(first->centroid()[0], 1.0f);
}

TEST(ContainerMap, ShrinkingAfterErasuresKeepsEntriesInPlace) {
  ContainerMap map;
  for (std::uint64_t n = 0; n < 10'000; ++n) map.insert_or_assign(id_of(n), chunk_with(float(n)));
  const Container* kept = &map.find(id_of(7))->second;
  for (std::uint64_t n = 0; n < 10'000; ++n) {
    if (n % 100 != 7) map.erase(id_of(n));
  }
  map.shrink_to_fit();
  EXPECT_EQ(&map.find(id_of(7))->second, kept);
  std::size_t seen = 0;
  for (const auto& [id, container] : map) {
    EXPECT_EQ(map.find(id)->second.centroid()[0], container.centroid()[0]);
    ++seen;
  }
  EXPECT_EQ(seen, 100u);
  for (std::uint64_t n = 7; n < 10'000; n += 100) ASSERT_NE(map.find(id_of(n)), map.end());
  map.insert_or_assign(id_of(1), chunk_with(1.0f));
  EXPECT_EQ(map.size(), 101u);
}

TEST(ContainerMap, EmptyMapFindsNothing) {
  const ContainerMap map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.find(id_of(7)), map.end());
  EXPECT_EQ(map.find_hashed(id_of(7), map.hash(id_of(7))), nullptr);
  EXPECT_EQ(map.begin(), map.end());
}

TEST(ContainerMap, MovingLeavesAnEmptyUsableMap) {
  ContainerMap source;
  source.insert_or_assign(id_of(3), chunk_with(3.0f));
  ContainerMap target = std::move(source);
  EXPECT_EQ(target.size(), 1u);
  EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
  EXPECT_EQ(source.find(id_of(3)), source.end());
  source.insert_or_assign(id_of(4), chunk_with(4.0f));
  EXPECT_EQ(source.size(), 1u);
}

TEST(ContainerMap, ReserveKeepsEntries) {
  ContainerMap map;
  for (std::uint64_t n = 0; n < 100; ++n) map.insert_or_assign(id_of(n), chunk_with(float(n)));
  map.reserve(100'000);
  for (std::uint64_t n = 0; n < 100; ++n) {
    ASSERT_NE(map.find(id_of(n)), map.end());
    EXPECT_EQ(map.find(id_of(n))->second.centroid()[0], float(n));
  }
}

}  // namespace
}  // namespace orlo_kiv
