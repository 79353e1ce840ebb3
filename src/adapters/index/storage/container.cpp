#include "adapters/index/storage/container.h"

#include <cstring>

namespace orlo_kiv {

Container::Container(const Id& id, ContainerLevel level, std::uint64_t timestamp_ms)
    : id_(id), level_(level), timestamp_ms_(timestamp_ms) {}

Container Container::branch(const Id& id, ContainerLevel level, std::size_t dimensionality,
                            std::uint64_t timestamp_ms) {
  Container c(id, level, timestamp_ms);
  c.centroid_.assign(dimensionality, 0.0f);
  c.subspace_ = std::make_unique<Subspace>(dimensionality);
  return c;
}

Container Container::chunk(const Id& id, std::vector<float> embedding, std::uint64_t timestamp_ms) {
  Container c(id, ContainerLevel::Chunk, timestamp_ms);
  c.centroid_ = std::move(embedding);
  c.sum_state_ = SumState::SameAsCentroid;
  c.point_count_ = 1;
  return c;
}

Container::Container(const Id& id, ContainerLevel level, std::uint64_t timestamp_ms,
                     std::vector<Id> children, std::uint64_t point_count,
                     std::vector<float> centroid, std::optional<std::vector<float>> sum,
                     std::unique_ptr<Subspace> subspace)
    : id_(id),
      level_(level),
      centroid_(std::move(centroid)),
      children_(std::move(children)),
      point_count_(point_count),
      timestamp_ms_(timestamp_ms),
      subspace_(std::move(subspace)) {
  if (!sum) return;
  const bool same_bits = sum->size() == centroid_.size() &&
                         (centroid_.empty() || std::memcmp(sum->data(), centroid_.data(),
                                                           centroid_.size() * sizeof(float)) == 0);
  if (same_bits) {
    sum_state_ = SumState::SameAsCentroid;
  } else {
    sum_ = std::move(*sum);
    sum_state_ = SumState::Own;
  }
}

std::span<const float> Container::sum() const noexcept {
  switch (sum_state_) {
    case SumState::Absent:
      return {};
    case SumState::SameAsCentroid:
      return centroid_;
    case SumState::Own:
      return sum_;
  }
  return {};
}

void Container::detach_sum() {
  if (sum_state_ == SumState::SameAsCentroid) {
    sum_ = centroid_;
    sum_state_ = SumState::Own;
  }
}

void Container::set_centroid(std::vector<float> centroid) {
  detach_sum();
  centroid_ = std::move(centroid);
}

void Container::set_sum(std::vector<float> sum) {
  sum_ = std::move(sum);
  sum_state_ = SumState::Own;
}

std::vector<float>& Container::mutable_sum() {
  detach_sum();
  return sum_;
}

}  // namespace orlo_kiv
