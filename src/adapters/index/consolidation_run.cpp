// The consolidation driver: phase transitions with their timing, and the step
// of each phase. Work lists are consumed in batches, one batch per step, and
// the whole sequence runs inside one call.
#include "adapters/index/consolidation_run.h"

#include <algorithm>

#include "adapters/index/kiv.h"
#include "core/clock.h"

namespace orlo_kiv {
namespace {

// Microseconds from `start` to `end`; 0 if the wall clock was set back meanwhile.
std::uint64_t elapsed_us(std::uint64_t start, std::uint64_t end) noexcept {
  return end > start ? end - start : 0;
}

}  // namespace

std::string_view phase_name(ConsolidationPhase phase) noexcept {
  switch (phase) {
    case ConsolidationPhase::Idle:
      return "Idle";
    case ConsolidationPhase::CollectingLeaves:
      return "CollectingLeaves";
    case ConsolidationPhase::RecomputingCentroids:
      return "RecomputingCentroids";
    case ConsolidationPhase::AnalyzingStructure:
      return "AnalyzingStructure";
    case ConsolidationPhase::Merging:
      return "Merging";
    case ConsolidationPhase::Splitting:
      return "Splitting";
    case ConsolidationPhase::Pruning:
      return "Pruning";
    case ConsolidationPhase::OptimizingLayout:
      return "OptimizingLayout";
    case ConsolidationPhase::Complete:
      return "Complete";
  }
  return "Complete";
}

ConsolidationRun::ConsolidationRun(KivIndex& index, const ConsolidationConfig& config)
    : index_(index), tree_(index) {
  state_.settings = config;
  reset();
}

void ConsolidationRun::reset() {
  const ConsolidationConfig settings = state_.settings;
  state_ = ConsolidationState{};
  state_.settings = settings;
  state_.run_started_us = now_us();
  state_.phase_started_us = state_.run_started_us;
  state_.phase = ConsolidationPhase::CollectingLeaves;
}

std::uint64_t ConsolidationRun::batch_size() const noexcept {
  return std::max<std::uint64_t>(state_.settings.batch_size, 1);
}

void ConsolidationRun::advance_phase() {
  const std::uint64_t now = now_us();
  state_.progress.phase_durations.insert_or_assign(std::string(phase_name(state_.phase)),
                                                   elapsed_us(state_.phase_started_us, now));
  if (state_.drift_count > 0) {
    state_.progress.mean_drift = state_.drift_sum / static_cast<float>(state_.drift_count);
  }
  const std::uint8_t intensity = state_.settings.intensity;
  using enum ConsolidationPhase;
  switch (state_.phase) {
    case Idle:
      state_.phase = CollectingLeaves;
      break;
    case CollectingLeaves:
      state_.phase = RecomputingCentroids;
      break;
    case RecomputingCentroids:
      state_.phase = intensity == 0 ? Complete : AnalyzingStructure;
      break;
    case AnalyzingStructure:
      state_.phase = Merging;
      break;
    case Merging:
      state_.phase = Splitting;
      break;
    case Splitting:
      state_.phase = intensity == 1 ? Complete : Pruning;
      break;
    case Pruning:
      state_.phase = OptimizingLayout;
      break;
    case OptimizingLayout:
    case Complete:
      state_.phase = Complete;
      break;
  }
  state_.phase_started_us = now;
  state_.queue.clear();
  if (state_.phase == Complete)
    state_.progress.total_duration_us = elapsed_us(state_.run_started_us, now);
}

void ConsolidationRun::enqueue(const std::vector<Id>& ids) {
  state_.queue.insert(state_.queue.end(), ids.begin(), ids.end());
}

void ConsolidationRun::step() {
  switch (state_.phase) {
    case ConsolidationPhase::Idle:
      reset();
      break;
    case ConsolidationPhase::CollectingLeaves:
      collect_leaves_step();
      break;
    case ConsolidationPhase::RecomputingCentroids:
      recompute_step();
      break;
    case ConsolidationPhase::AnalyzingStructure:
      analyze_step();
      break;
    case ConsolidationPhase::Merging:
      merge_step();
      break;
    case ConsolidationPhase::Splitting:
      split_step();
      break;
    case ConsolidationPhase::Pruning:
      prune_step();
      break;
    case ConsolidationPhase::OptimizingLayout:
      advance_phase();
      break;
    case ConsolidationPhase::Complete:
      break;
  }
  ++state_.progress.steps;
}

void ConsolidationRun::collect_leaves_step() {
  advance_phase();
  // A full run forgets removed containers first, so that a document whose
  // chunks are all gone is recomputed from the live ones, or is empty and
  // then merged or pruned, instead of keeping its old centroid.
  if (state_.settings.intensity > 0)
    state_.progress.dangling_dropped = tree_.drop_missing_children();
  // Documents first, then sessions, then the root: the order of the queue.
  const ConsolidationTree::Branches& branches = tree_.scan();
  enqueue(branches.documents);
  enqueue(branches.sessions);
  enqueue(branches.globals);
}

void ConsolidationRun::recompute_step() {
  for (std::uint64_t taken = 0; taken < batch_size() && !state_.queue.empty(); ++taken) {
    const Id id = state_.queue.front();
    state_.queue.pop_front();
    const std::optional<float> drift = tree_.recompute_container(id);
    ++state_.progress.containers_processed;
    if (!drift) continue;
    state_.drift_sum += *drift;
    ++state_.drift_count;
    ++state_.progress.centroids_recomputed;
    if (*drift > state_.progress.max_drift) state_.progress.max_drift = *drift;
  }
  if (!state_.queue.empty()) return;
  advance_phase();
  // Recomputing adds and removes no container, so the documents are still
  // those of the scan, in map order.
  if (state_.phase == ConsolidationPhase::AnalyzingStructure) enqueue(tree_.branches().documents);
}

void ConsolidationRun::analyze_step() {
  const ConsolidationConfig& settings = state_.settings;
  for (std::uint64_t taken = 0; taken < batch_size() && !state_.queue.empty(); ++taken) {
    const Id id = state_.queue.front();
    state_.queue.pop_front();
    const ContainerView container = index_.find(id);
    if (container == nullptr) continue;
    const std::size_t children = container->children().size();
    if (container->level() == ContainerLevel::Document && children < settings.merge_threshold) {
      // An under-filled document is only ever merged, never split.
      if (const auto sibling = tree_.merge_sibling(container)) {
        state_.merge_candidates.emplace_back(id, *sibling);
      }
    } else if (!container->is_chunk() && children > settings.split_threshold) {
      state_.split_candidates.push_back(id);
    }
  }
  if (state_.queue.empty()) advance_phase();
}

void ConsolidationRun::merge_step() {
  auto& candidates = state_.merge_candidates;
  for (std::uint64_t taken = 0; taken < batch_size() && !candidates.empty(); ++taken) {
    const auto [target, absorbed] = candidates.back();
    candidates.pop_back();
    tree_.merge_containers(target, absorbed);
    ++state_.progress.merges;  // counted whatever the merge achieved
  }
  if (candidates.empty()) advance_phase();
}

void ConsolidationRun::split_step() {
  auto& candidates = state_.split_candidates;
  for (std::uint64_t taken = 0; taken < batch_size() && !candidates.empty(); ++taken) {
    const Id id = candidates.back();
    candidates.pop_back();
    if (tree_.split_container(id)) ++state_.progress.splits;
  }
  if (candidates.empty()) advance_phase();
}

void ConsolidationRun::prune_step() {
  state_.progress.pruned = tree_.prune_empty_containers();
  // Give back the table room of containers removed since the map was last
  // this small. That may number the nodes afresh, which the tree keeps its
  // facts by.
  if (index_.containers().shrink_to_fit()) tree_.forget_scan();
  advance_phase();
}

ConsolidationReport ConsolidationRun::report() const {
  ConsolidationReport report = state_.progress;
  report.children_visited = tree_.visits();
  return report;
}

ConsolidationReport run_consolidation(KivIndex& index, const ConsolidationConfig& config) {
  ConsolidationRun run(index, config);
  do {
    run.step();
  } while (run.phase() != ConsolidationPhase::Complete);
  return run.report();
}

}  // namespace orlo_kiv
