// Consolidation: the index's maintenance runs.
//
// Every run recomputes the centroid, sum and point count of each session,
// document and root exactly from the chunks beneath it; a full run first drops
// from every children list the ids that name no container (what removals
// leave behind), and after recomputing merges under-filled documents into a
// sibling, splits over-full ones and prunes empty sessions and documents. A
// run is one call: it works through a phase machine to completion and leaves
// no state behind, only the report it returns.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace orlo_kiv {

class KivIndex;

enum class ConsolidationPhase : std::uint8_t {
  Idle = 0,
  CollectingLeaves = 1,
  RecomputingCentroids = 2,
  AnalyzingStructure = 3,
  Merging = 4,
  Splitting = 5,
  Pruning = 6,
  OptimizingLayout = 7,
  Complete = 8,
};

// The variant's name ("RecomputingCentroids", ...): the key of its duration.
std::string_view phase_name(ConsolidationPhase phase) noexcept;

// The settings of one run.
struct ConsolidationConfig {
  // Most work items one step takes from a work list; 0 is taken as 1.
  std::uint64_t batch_size = 100;
  // A document with strictly fewer children is merged into a sibling.
  std::uint64_t merge_threshold = 3;
  // A document with strictly more children is split in two.
  std::uint64_t split_threshold = 100;
  // How far the phase sequence runs: 0 recomputes only, 1 stops after
  // splitting, anything higher also prunes.
  std::uint8_t intensity = 0;

  // The settings of `consolidate()`: recompute only.
  static ConsolidationConfig light() noexcept { return {}; }
  // The settings of `consolidate_full()`: every phase.
  static ConsolidationConfig full() noexcept {
    ConsolidationConfig config;
    config.intensity = 3;
    return config;
  }
};

// What a run did. Durations are wall-clock microseconds.
struct ConsolidationReport {
  // Keyed by phase name; holds every phase the run passed through except Idle
  // and Complete.
  std::map<std::string, std::uint64_t, std::less<>> phase_durations;
  std::uint64_t containers_processed = 0;
  std::uint64_t centroids_recomputed = 0;
  std::uint64_t merges = 0;
  std::uint64_t splits = 0;
  std::uint64_t pruned = 0;
  std::uint64_t total_duration_us = 0;
  std::uint64_t steps = 0;
  // Children-list entries and collected leaves the run examined: its work,
  // linear in the size of the tree whatever the tree's shape.
  std::uint64_t children_visited = 0;
  // Ids naming no container that a full run dropped from children lists.
  std::uint64_t dangling_dropped = 0;
  // Mean and largest distance a recomputed centroid moved, over the whole run.
  float mean_drift = 0.0f;
  float max_drift = 0.0f;
};

// Runs one whole consolidation pass over `index` and reports on it. Never
// fails on caller data: missing, dangling, shared or cyclic references are
// skipped. Needs exclusive access to the index for its whole duration.
ConsolidationReport run_consolidation(KivIndex& index, const ConsolidationConfig& config);

}  // namespace orlo_kiv
