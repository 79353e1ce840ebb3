// The size queries read counts that every change of the container map keeps,
// instead of walking the map. After any sequence of changes, and on loaded
// data that insertion never makes, they must agree with a walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>

#include "adapters/index/consolidation.h"
#include "adapters/index/kiv.h"
#include "adapters/index/persistence.h"
#include "persisted_records.h"

namespace orlo_kiv {
namespace {

void expect_counts_match_a_walk(const KivIndex& index) {
  std::array<std::uint64_t, 4> walked{};
  std::size_t entries = 0;
  for (const auto& [id, container] : index.containers()) {
    ++walked[static_cast<std::size_t>(container.level())];
    ++entries;
  }
  const KivStats stats = index.stats();
  EXPECT_EQ(stats.global_count, walked[0]);
  EXPECT_EQ(stats.session_count, walked[1]);
  EXPECT_EQ(stats.document_count, walked[2]);
  EXPECT_EQ(stats.chunk_count, walked[3]);
  EXPECT_EQ(index.chunk_count(), walked[3]);
  EXPECT_EQ(index.is_empty(), walked[3] == 0);
  EXPECT_EQ(index.containers().size(), entries);
}

std::vector<std::uint8_t> encode(const KivIndex& index) {
  const auto bytes = persistence::to_bytes(index);
  const auto span = bytes->span();
  return {span.begin(), span.end()};
}

KivIndex decode(std::span<const std::uint8_t> bytes) {
  auto loaded = persistence::from_bytes(bytes);
  EXPECT_TRUE(loaded.has_value());
  return std::move(*loaded);
}

TEST(IndexCounts, AgreeWithAWalkAfterRandomChanges) {
  constexpr std::size_t kDims = 3;
  std::mt19937_64 random(11);
  std::normal_distribution<float> normal;
  KivIndex index = KivIndex::cosine(kDims);
  std::vector<Id> seen;  // every id stored so far, of any level
  std::set<Id> seen_set;
  const auto some_seen_id = [&] { return seen[random() % seen.size()]; };
  for (int step = 0; step < 3000; ++step) {
    const std::uint64_t choice = random() % 100;
    if (choice < 55 || seen.empty()) {
      // A fresh id, or one in use: a chunk, a document or even the root.
      const Id id = seen.empty() || choice % 5 != 0 ? new_id() : some_seen_id();
      ASSERT_TRUE(index.insert(id, {normal(random), normal(random), normal(random)}).has_value());
    } else if (choice < 80) {
      index.remove(choice % 4 == 0 ? new_id() : some_seen_id());
    } else if (choice < 88) {
      index.new_document();
    } else if (choice < 92) {
      index.new_session();
    } else if (choice < 96) {
      run_consolidation(
          index, choice % 2 == 0 ? ConsolidationConfig::light() : ConsolidationConfig::full());
    } else {
      KivIndex loaded = decode(encode(index));
      loaded.set_current_session(index.current_session());
      loaded.set_current_document(index.current_document());
      index = std::move(loaded);
    }
    for (const auto& [id, container] : index.containers()) {
      if (seen_set.insert(id).second) seen.push_back(id);
    }
    expect_counts_match_a_walk(index);
    if (HasFailure()) FAIL() << "after step " << step;
  }
}

// Writes records in the binary format, one call per record.
class RawIndex {
 public:
  explicit RawIndex(std::uint32_t d) : d_(d) {}

  void record(const Id& id, ContainerLevel level, const std::vector<Id>& children,
              std::uint64_t point_count, const std::vector<float>& centroid,
              const std::vector<float>* sum) {
    put(id.bytes.data(), 16);
    bytes_.push_back(static_cast<std::uint8_t>(level));
    put_le(1'700'000'000'000 + records_, 8);
    put_le(children.size(), 4);
    for (const Id& child : children) put(child.bytes.data(), 16);
    put_le(point_count, 8);
    put(centroid.data(), std::size_t{4} * d_);
    bytes_.push_back(sum != nullptr ? 1 : 0);
    if (sum != nullptr) put(sum->data(), std::size_t{4} * d_);
    ++records_;
  }

  std::vector<std::uint8_t> finish(const Id& root) const {
    std::vector<std::uint8_t> out = {'K', 'I', 'V', 0, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(d_ >> (8 * i)));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(records_ >> (8 * i)));
    out.insert(out.end(), root.bytes.begin(), root.bytes.end());
    out.insert(out.end(), bytes_.begin(), bytes_.end());
    out.insert(out.end(), 33, 0);  // no current session or document, no weights
    return out;
  }

 private:
  void put(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
  }
  void put_le(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }

  std::uint32_t d_;
  std::uint64_t records_ = 0;
  std::vector<std::uint8_t> bytes_;
};

Id numbered(std::uint8_t n) { return make_id(0x55, n); }

TEST(IndexCounts, AgreeWithAWalkOnMalformedLoadedData) {
  constexpr std::uint32_t kDims = 2;
  const std::vector<float> a{1.0f, -0.0f};
  const std::vector<float> b{0.5f, -0.0f};
  const std::vector<float> ab{1.5f, -0.0f};  // a + b, as insertion would add them
  const std::vector<float> odd{9.0f, 9.0f};
  const Id root = numbered(1), session = numbered(2), doc = numbered(3), twice = numbered(4);
  const Id ca = numbered(10), cb = numbered(11), stray = numbered(12), dangling = numbered(99);

  RawIndex raw(kDims);
  // Recorded first as a chunk, then again as a session: the later record wins.
  raw.record(session, ContainerLevel::Chunk, {}, 1, a, &a);
  raw.record(root, ContainerLevel::Global, {session, dangling, root}, 0, a, nullptr);
  raw.record(session, ContainerLevel::Session, {doc, twice, stray}, 2, ab, &ab);
  // A document whose sum its chunks give back, and one listing a chunk twice.
  raw.record(doc, ContainerLevel::Document, {ca, cb}, 2, ab, &ab);
  raw.record(twice, ContainerLevel::Document, {cb, dangling, cb}, 2, odd, &odd);
  raw.record(ca, ContainerLevel::Chunk, {}, 1, a, &a);
  raw.record(cb, ContainerLevel::Chunk, {}, 1, b, &b);
  // A chunk with children, another point count, a sum of its own, and a
  // document listed nowhere.
  raw.record(stray, ContainerLevel::Chunk, {ca, dangling}, 5, b, &odd);
  raw.record(numbered(13), ContainerLevel::Document, {stray}, 0, b, nullptr);
  const std::vector<std::uint8_t> data = raw.finish(root);

  KivIndex index = decode(data);
  expect_counts_match_a_walk(index);
  EXPECT_EQ(index.stats().session_count, 1u);
  EXPECT_EQ(index.stats().chunk_count, 3u);
  // Everything reads back as it was stored, except the replaced record.
  std::vector<std::string> expected = sorted_records(data);
  const std::string replaced(
      data.begin() + persistence::kHeaderSize,
      data.begin() + persistence::kHeaderSize +
          static_cast<std::ptrdiff_t>(persistence::record_size(0, kDims, true)));
  std::erase(expected, replaced);
  EXPECT_EQ(sorted_records(encode(index)), expected);
  EXPECT_FALSE(index.near(a, 10)->empty());

  index.remove(ca);
  index.remove(dangling);
  expect_counts_match_a_walk(index);
  ASSERT_TRUE(index.insert(session, a).has_value());  // the session becomes a chunk
  ASSERT_TRUE(index.insert(new_id(), b).has_value());
  expect_counts_match_a_walk(index);
  run_consolidation(index, ConsolidationConfig::full());
  expect_counts_match_a_walk(index);
  expect_counts_match_a_walk(decode(encode(index)));
}

}  // namespace
}  // namespace orlo_kiv
