#include "core/merge.h"

#include "core/internal_error.h"

namespace orlo_kiv {

std::vector<float> MeanMerge::merge(std::span<const std::span<const float>> vectors) const {
  if (vectors.empty()) internal_error("Cannot merge empty slice");
  const std::size_t dimensionality = vectors.front().size();
  const auto count = static_cast<float>(vectors.size());
  std::vector<float> result(dimensionality, 0.0f);
  for (const auto& v : vectors) {
    if (v.size() != dimensionality) internal_error("All points must have same dimensionality");
    for (std::size_t i = 0; i < dimensionality; ++i) result[i] += v[i] / count;
  }
  return result;
}

}  // namespace orlo_kiv
