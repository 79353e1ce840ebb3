// Combining vectors: the strategy interface every index holds and its
// arithmetic-mean implementation.
#pragma once

#include <span>
#include <string_view>
#include <vector>

namespace orlo_kiv {

class Merge {
 public:
  virtual ~Merge() = default;

  // Requires a non-empty list of equally long vectors (internal error otherwise).
  virtual std::vector<float> merge(std::span<const std::span<const float>> vectors) const = 0;
  virtual std::string_view name() const = 0;
};

// Component-wise mean, each term divided by the count before it is added; the
// result is not normalised.
class MeanMerge final : public Merge {
 public:
  std::vector<float> merge(std::span<const std::span<const float>> vectors) const override;
  std::string_view name() const override { return "mean"; }
};

}  // namespace orlo_kiv
