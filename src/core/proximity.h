// Vector proximity: the strategy interface every index holds, its cosine
// implementation, and the normalisation helper used by centroid updates.
#pragma once

#include <span>
#include <string_view>
#include <vector>

namespace orlo_kiv {

// Compares two vectors; larger or smaller meaning closer is up to the index's
// `proximity_is_similarity` flag. Implementations hold no state.
class Proximity {
 public:
  virtual ~Proximity() = default;

  // Requires a.size() == b.size() (an internal error otherwise).
  virtual float proximity(std::span<const float> a, std::span<const float> b) const = 0;
  virtual std::string_view name() const = 0;
};

// Cosine similarity; 0 when either vector has zero length or a zero sum of
// squares. Not clamped: NaN components give NaN.
class CosineProximity final : public Proximity {
 public:
  float proximity(std::span<const float> a, std::span<const float> b) const override;
  std::string_view name() const override { return "cosine"; }
};

// Cosine from the three sums: dot / (√norm_sq_b × √norm_sq_a), or +0 when either
// sum of squares is 0.
float cosine_from_sums(float dot, float norm_sq_a, float norm_sq_b) noexcept;

// v / |v|, or an unchanged copy when Σ v² is exactly 0 (NaN sums divide).
std::vector<float> normalize(std::span<const float> v);

// In-place form of normalize.
void normalize_in_place(std::span<float> v) noexcept;

}  // namespace orlo_kiv
