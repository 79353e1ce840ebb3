// One consolidation run as a phase machine: its state, the step that does the
// next batch of the current phase, and the phase transitions with their
// timing. run_consolidation() drives a run from start to Complete in one call;
// the class is exposed so that the machine can be stepped and observed.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "adapters/index/consolidation.h"
#include "adapters/index/consolidation_tree.h"
#include "core/id.h"

namespace orlo_kiv {

struct ConsolidationState {
  ConsolidationPhase phase = ConsolidationPhase::Idle;
  ConsolidationConfig settings;
  // Work list of RecomputingCentroids and AnalyzingStructure, taken from the front.
  std::deque<Id> queue;
  // (under-filled document, sibling it absorbs), taken from the back.
  std::vector<std::pair<Id, Id>> merge_candidates;
  // Over-full documents, taken from the back.
  std::vector<Id> split_candidates;
  // Every recorded drift, summed in the order recorded, and how many there are.
  float drift_sum = 0.0f;
  std::uint64_t drift_count = 0;
  // The counters, drifts and phase durations of the run so far: what the run
  // reports when it is complete.
  ConsolidationReport progress;
  std::uint64_t run_started_us = 0;
  std::uint64_t phase_started_us = 0;
};

class ConsolidationRun {
 public:
  // Starts a run: the clock starts and the phase is CollectingLeaves.
  ConsolidationRun(KivIndex& index, const ConsolidationConfig& config);

  ConsolidationRun(const ConsolidationRun&) = delete;
  ConsolidationRun& operator=(const ConsolidationRun&) = delete;

  // Does one batch of the current phase, changing phase when its work is done.
  // A step at Complete does nothing but count.
  void step();

  ConsolidationPhase phase() const noexcept { return state_.phase; }
  const ConsolidationState& state() const noexcept { return state_; }
  ConsolidationReport report() const;

 private:
  void reset();
  void advance_phase();
  void enqueue(const std::vector<Id>& ids);
  std::uint64_t batch_size() const noexcept;

  void collect_leaves_step();
  void recompute_step();
  void analyze_step();
  void merge_step();
  void split_step();
  void prune_step();

  KivIndex& index_;
  ConsolidationState state_;
  ConsolidationTree tree_;
};

}  // namespace orlo_kiv
