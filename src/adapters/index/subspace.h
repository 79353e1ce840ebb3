// Running moments and principal directions of the vectors beneath a non-chunk
// container.
//
// Every session, document and root carries one, but most never receive a
// vector, so nothing is allocated until the first add_point: until then the
// mean, sum and second moments read as empty spans and stand for zeros of the
// subspace's dimensionality.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orlo_kiv {

class Subspace {
 public:
  explicit Subspace(std::size_t dimensionality) noexcept : dimensionality_(dimensionality) {}

  // Feeds one vector into the running moments and refreshes the mean direction.
  // Requires v.size() <= dimensionality() (an index-out-of-bounds internal
  // error otherwise); allocates the d(d+1)/2 second moments on first use (a
  // capacity-overflow internal error when they cannot be addressed).
  void add_point(std::span<const float> v);

  // A subspace fed with every leaf in order whose leading principal directions
  // (at most max_components, and at most d) come from power iteration with
  // deflation. Fewer than 3 leaves give no directions.
  static Subspace rebuild(std::span<const std::span<const float>> leaves,
                          std::size_t max_components, std::size_t dimensionality);

  // Position of the (i, j) second moment, i <= j, in the row-packed triangle.
  static std::size_t packed_index(std::size_t i, std::size_t j,
                                  std::size_t dimensionality) noexcept {
    return j + i * (2 * dimensionality - i - 1) / 2;
  }

  std::size_t dimensionality() const noexcept { return dimensionality_; }
  bool has_moments() const noexcept { return !sum_.empty(); }

  // Normalised mean of the vectors added; empty (zeros) before the first one.
  std::span<const float> mean() const noexcept { return mean_; }
  std::span<const float> sum() const noexcept { return sum_; }
  std::span<const float> second_moments() const noexcept { return second_moments_; }
  const std::vector<std::vector<float>>& components() const noexcept { return components_; }
  std::span<const float> variances() const noexcept { return variances_; }
  std::uint64_t count() const noexcept { return count_; }

 private:
  void allocate_moments();

  std::size_t dimensionality_;
  std::vector<float> mean_;
  std::vector<std::vector<float>> components_;
  std::vector<float> variances_;
  std::vector<float> sum_;
  std::vector<float> second_moments_;
  std::uint64_t count_ = 0;
};

}  // namespace orlo_kiv
