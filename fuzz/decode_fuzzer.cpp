// libFuzzer target for loading indexes from arbitrary bytes.
//
// Any input must end in a PersistError or a loaded index. A loaded index, however
// strange its tree, must write itself back to bytes that load as the same index,
// must accept new chunks, must save again, and must go through light and full
// consolidation runs without losing a chunk. Sanitizers turn any memory or
// undefined-behaviour fault on the way into a crash.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "adapters/index/consolidation.h"
#include "adapters/index/persistence.h"

namespace {

using orlo_kiv::ContainerView;
using orlo_kiv::KivIndex;
namespace persistence = orlo_kiv::persistence;

// Dimensionalities up to this get chunks added; larger ones would only make
// the fuzzer allocate big vectors.
constexpr std::size_t kMaxInsertDimensionality = 256;

void require(bool condition) {
  if (!condition) std::abort();
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

void require_same_index(const KivIndex& a, const KivIndex& b) {
  require(a.dimensionality() == b.dimensionality());
  require(a.root_id() == b.root_id());
  require(a.current_session() == b.current_session());
  require(a.current_document() == b.current_document());
  require(a.routing_weights().has_value() == b.routing_weights().has_value());
  if (a.routing_weights()) {
    require(same_bits(a.routing_weights()->weights(), b.routing_weights()->weights()));
  }
  require(a.containers().size() == b.containers().size());
  for (const auto& [id, container] : a.containers()) {
    const ContainerView other = b.find(id);
    require(other != nullptr);
    require(other->level() == container.level());
    require(other->timestamp_ms() == container.timestamp_ms());
    require(other->children().to_vector() == container.children().to_vector());
    require(other->point_count() == container.point_count());
    require(same_bits(other->centroid(), container.centroid()));
    require(other->has_sum() == container.has_sum());
    require(same_bits(other->sum(), container.sum()));
  }
}

std::size_t chunk_count(const KivIndex& index) {
  std::size_t count = 0;
  for (const auto& [id, container] : index.containers()) count += container.is_chunk() ? 1 : 0;
  return count;
}

KivIndex reload(const KivIndex& index) {
  const auto bytes = persistence::to_bytes(index);
  require(bytes.has_value());
  auto again = persistence::from_bytes(bytes->span());
  require(again.has_value());
  return std::move(*again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto loaded = persistence::from_bytes({data, size});
  if (!loaded) {
    require(!orlo_kiv::to_string(loaded.error()).empty());
    return 0;
  }
  KivIndex& index = *loaded;
  require_same_index(index, reload(index));

  const std::size_t d = index.dimensionality();
  if (d <= kMaxInsertDimensionality) {
    std::vector<float> v(d);
    for (std::size_t i = 0; i < d; ++i) v[i] = static_cast<float>(i % 7) - 3.0f;
    require(index.insert(orlo_kiv::new_id(), v).has_value());
    index.new_document();
    require(index.insert(orlo_kiv::new_id(), v).has_value());
    require_same_index(index, reload(index));

    // Consolidation never deletes a chunk, whatever shape the tree has.
    const std::size_t chunks = chunk_count(index);
    orlo_kiv::run_consolidation(index, orlo_kiv::ConsolidationConfig::light());
    orlo_kiv::run_consolidation(index, orlo_kiv::ConsolidationConfig::full());
    require(chunk_count(index) == chunks);
    require_same_index(index, reload(index));
  }
  return 0;
}
