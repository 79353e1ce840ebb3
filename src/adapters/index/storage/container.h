// One node of the index tree, as a value: what insertion, splits and tests
// build and hand to the container map, which keeps it in its own compact form
// and gives access to it through views (container_view.h).
//
// Containers refer to each other only by Id: a children list may name ids that
// are no longer in the map, or name one id twice. A chunk's running sum starts
// equal to its embedding; that sum shares the centroid's storage until one of
// the two is changed, so a stored chunk costs one vector, not two.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "adapters/index/storage/container_level.h"
#include "adapters/index/subspace.h"
#include "core/id.h"

namespace orlo_kiv {

class Container {
 public:
  // A root, session or document: `dimensionality` zeros as centroid, no children,
  // no sum, point count 0, an empty subspace.
  static Container branch(const Id& id, ContainerLevel level, std::size_t dimensionality,
                          std::uint64_t timestamp_ms);

  // A stored embedding: centroid = embedding, sum = embedding, point count 1.
  static Container chunk(const Id& id, std::vector<float> embedding, std::uint64_t timestamp_ms);

  // Every field as given (decoded data). A sum bitwise equal to the centroid
  // shares its storage.
  Container(const Id& id, ContainerLevel level, std::uint64_t timestamp_ms,
            std::vector<Id> children, std::uint64_t point_count, std::vector<float> centroid,
            std::optional<std::vector<float>> sum, std::unique_ptr<Subspace> subspace);

  const Id& id() const noexcept { return id_; }
  ContainerLevel level() const noexcept { return level_; }
  bool is_chunk() const noexcept { return level_ == ContainerLevel::Chunk; }

  std::span<const float> centroid() const noexcept { return centroid_; }
  // A sum that shared the centroid's storage keeps its values.
  void set_centroid(std::vector<float> centroid);

  bool has_sum() const noexcept { return sum_state_ != SumState::Absent; }
  // The sum is the centroid itself (not merely equal to it in value).
  bool sum_is_centroid() const noexcept { return sum_state_ == SumState::SameAsCentroid; }
  // The running sum; empty when there is none.
  std::span<const float> sum() const noexcept;
  void set_sum(std::vector<float> sum);
  // Requires has_sum(). The sum for in-place change, detached from the centroid.
  std::vector<float>& mutable_sum();

  const std::vector<Id>& children() const noexcept { return children_; }
  std::vector<Id>& mutable_children() noexcept { return children_; }

  std::uint64_t point_count() const noexcept { return point_count_; }
  void set_point_count(std::uint64_t count) noexcept { point_count_ = count; }

  std::uint64_t timestamp_ms() const noexcept { return timestamp_ms_; }

  Subspace* subspace() noexcept { return subspace_.get(); }
  const Subspace* subspace() const noexcept { return subspace_.get(); }
  void set_subspace(std::unique_ptr<Subspace> subspace) noexcept {
    subspace_ = std::move(subspace);
  }
  std::unique_ptr<Subspace> take_subspace() noexcept { return std::move(subspace_); }

 private:
  enum class SumState : std::uint8_t { Absent, SameAsCentroid, Own };

  Container(const Id& id, ContainerLevel level, std::uint64_t timestamp_ms);
  void detach_sum();

  Id id_;
  ContainerLevel level_;
  SumState sum_state_ = SumState::Absent;
  std::vector<float> centroid_;
  std::vector<float> sum_;  // used only in state Own
  std::vector<Id> children_;
  std::uint64_t point_count_ = 0;
  std::uint64_t timestamp_ms_;
  std::unique_ptr<Subspace> subspace_;
};

}  // namespace orlo_kiv
