// Shared pieces of the multiclass fit tests: three-class data with its bins, a fresh per-class
// prediction of a trained model, and hooks that record or script each class's tree.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "backend_cpu/cpu_backend.hpp"
#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "engine/objectives/multiclass.hpp"
#include "engine/round.hpp"
#include "engine/trainer/loop_hooks.hpp"
#include "engine/trainer/multiclass_loop.hpp"
#include "engine/tree_node.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer::multiclass_testing {

using fit_testing::Data;

constexpr std::size_t kClasses = 3;

// Raw values uniform in [0, 1) with about one missing cell in twenty, bins of width 1/16. The
// label is the class whose score (a different feature mix per class, plus noise) is highest;
// `label_noise` of the rows get a uniformly random label instead.
inline Data make_multiclass_data(std::uint64_t seed, std::size_t rows, std::size_t features,
                                 float label_noise = 0.1f) {
  Data data = fit_testing::make_data(seed, rows, features, fit_testing::Target::Regression);
  std::mt19937_64 rng(seed ^ 0x5eedull);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const std::vector<float>& values = data.dataset.matrix.values;
  auto at = [&](std::size_t row, std::size_t f) {
    const float v = values[row * features + f % features];
    return std::isnan(v) ? 0.5f : v;
  };
  for (std::size_t r = 0; r < rows; ++r) {
    const float scores[kClasses] = {2.0f * at(r, 0), 2.0f * at(r, 1), 1.0f + at(r, 2) - at(r, 0)};
    float label = static_cast<float>(std::max_element(scores, scores + kClasses) - scores);
    if (unit(rng) < label_noise) label = static_cast<float>(std::min<std::size_t>(kClasses - 1, unit(rng) * kClasses));
    data.dataset.targets[r] = label;
  }
  return data;
}

inline objectives::MultiClassSoftmaxObjective softmax() {
  return objectives::MultiClassSoftmaxObjective::make(kClasses);
}

inline std::optional<ValidationSet> validation_of(const Data& data) {
  return ValidationSet{&data.dataset, &data.binned};
}

// One multiclass fit with the softmax objective.
template <typename Hooks = GrowerHooks>
MultiClassIterationRunSummary run_multiclass(const Trainer& trainer, const Data& train, const IterationControls& controls,
                                             const Data* validation = nullptr,
                                             std::optional<MultiClassWarmStartState> warm_start = std::nullopt,
                                             const Hooks& hooks = Hooks{}) {
  std::optional<ValidationSet> set;
  if (validation) set = validation_of(*validation);
  return fit_multiclass_iterations_impl(trainer, train.dataset, train.binned, set, backend_cpu::CpuBackend{}, softmax(),
                                        controls, std::move(warm_start), hooks);
}

// Each class's baseline plus every tree of the class with index below `tree_limit`, walked over
// the bins from scratch.
inline std::vector<std::vector<float>> fresh_margins(std::span<const float> baselines,
                                                     const std::vector<std::vector<TrainedStump>>& class_stumps,
                                                     const Data& data,
                                                     std::optional<std::size_t> tree_limit = std::nullopt) {
  std::vector<std::vector<float>> margins;
  for (std::size_t k = 0; k < class_stumps.size(); ++k) {
    std::vector<TrainedStump> kept;
    for (const TrainedStump& stump : class_stumps[k]) {
      if (!tree_limit || tree_index_of(stump.node_id) < *tree_limit) kept.push_back(stump);
    }
    margins.emplace_back(data.binned.row_count, baselines[k]);
    apply_tree_to_binned_predictions(margins.back(), data.binned, kept,
                                     RawFeatureRows{data.dataset.matrix.values, data.dataset.matrix.feature_count});
  }
  return margins;
}

inline std::vector<std::vector<float>> fresh_margins(const MultiClassIterationRunSummary& run, const Data& data,
                                                     std::optional<std::size_t> tree_limit = std::nullopt) {
  return fresh_margins(run.baselines, run.class_stumps, data, tree_limit);
}

// The tree index of every stump of a class list, in order.
inline std::vector<std::uint32_t> tree_indices(const std::vector<TrainedStump>& stumps) {
  std::vector<std::uint32_t> indices;
  for (const TrainedStump& stump : stumps) indices.push_back(tree_index_of(stump.node_id));
  return indices;
}

// The real growers, recording the margins and rows each call (round by round, class by class)
// started from.
struct RecordingClassHooks : GrowerHooks {
  mutable std::vector<std::vector<float>> start_margins;
  mutable std::vector<std::vector<std::uint32_t>> rows;
  mutable std::vector<std::size_t> tree_indices;

  template <BackendOps Backend>
  tree_build::GrownTree build_tree(const Backend& backend, tree_build::TreeGrowthRequest request) const {
    start_margins.emplace_back(request.predictions.begin(), request.predictions.end());
    rows.emplace_back(request.root_rows.begin(), request.root_rows.end());
    tree_indices.push_back(request.tree_index);
    return GrowerHooks::build_tree(backend, std::move(request));
  }
};

// Trees chosen by the test: `script(pass, class)` returns the class's tree for this pass of the
// fit (counted from 0), or nothing to let the real grower grow it. `warmup` marks warm-up rounds
// by iteration.
struct ScriptedClassHooks {
  std::function<std::optional<std::vector<TrainedStump>>(std::size_t pass, std::size_t klass)> script;
  std::function<bool(std::uint64_t iteration)> warmup = [](std::uint64_t) { return false; };
  std::size_t warm_rounds = 0;
  std::size_t classes = kClasses;
  mutable std::size_t calls = 0;

  template <BackendOps Backend>
  tree_build::GrownTree build_tree(const Backend& backend, tree_build::TreeGrowthRequest request) const {
    const std::size_t klass = calls++ % classes;
    std::optional<std::vector<TrainedStump>> scripted = script(request.tree_index - warm_rounds, klass);
    if (!scripted) return GrowerHooks{}.build_tree(backend, std::move(request));
    for (TrainedStump& stump : *scripted) stump.node_id = encode_tree_node_id(request.tree_index, stump.node_id);
    fit_testing::apply_to_request_rows(request, *scripted);
    const IterationStopReason reason =
        scripted->empty() ? IterationStopReason::GainBelowThreshold : IterationStopReason::CompletedRequestedRounds;
    return {std::move(*scripted), reason};
  }
  bool in_warmup(std::uint64_t iteration) const { return warmup(iteration); }
  float loss_threshold_scale(std::uint64_t) const { return 1.0f; }
};

// A one-stump tree on feature 0 (bins <= 7 take `left`), local id 0; the hooks set its tree index.
inline std::vector<TrainedStump> one_stump(float left, float right) {
  TrainedStump stump;
  stump.feature_index = 0;
  stump.split_bin = 7;
  stump.left = left;
  stump.right = right;
  return {stump};
}

}  // namespace kestrune::engine::trainer::multiclass_testing
