// Index settings. Only beam width, temporal weight and propagation threshold
// can be changed from Python; the other switches stay at their defaults there
// and are reachable only from native code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orlo_kiv {

// Settings of learnable routing. Only `per_dimension` affects behaviour; the
// counts and rates are carried along for future training schedules.
struct RoutingConfig {
  std::uint64_t warmup_queries = 1000;
  std::uint64_t feedback_window = 50;
  std::uint64_t update_interval = 10;
  float learning_rate = 0.01f;
  float momentum = 0.9f;
  float weight_decay = 0.001f;
  bool per_dimension = true;
};

struct KivConfig {
  std::size_t max_children = 50;
  std::size_t beam_width = 3;
  std::size_t subspace_components = 3;
  float subspace_weight = 0.3f;
  bool incremental_subspaces = false;
  RoutingConfig routing;
  float temporal_weight = 0.0f;
  float temporal_decay = 0.001f;  // per hour
  float propagation_threshold = 0.0f;
  bool spherical_updates = false;
  bool use_subspaces = false;
  bool use_learnable_routing = false;
};

}  // namespace orlo_kiv
