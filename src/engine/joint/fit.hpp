// The joint multi-output fit: one gradient-boosted model for K outputs whose rounds each grow a
// single tree shared by all outputs, with K-vector leaves. Each output keeps its own objective,
// targets and baseline. Serial; failures throw JointError with one message text and no partial
// model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "core/neutralization.hpp"
#include "core/training_mode.hpp"
#include "engine/joint/types.hpp"
#include "engine/trained_model.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine::joint {

// The continuation of an earlier joint fit: its baselines, its stumps (encoded node ids, each
// tree's stumps contiguous), its DART weights and morph statistics, and the rounds it completed.
struct JointWarmStartState {
  std::vector<float> baselines;
  std::vector<TrainedStump> stumps;
  // The output count the prior artifact names in its objective text, when it names one: a prior
  // without trees carries it nowhere else.
  std::optional<std::size_t> output_count;
  std::optional<std::vector<float>> initial_dart_tree_weights;
  std::optional<std::vector<core::GradientEmaStats>> initial_ema_stats;
  // The first new tree's index; at least 1 + the largest tree index among the stumps.
  std::size_t initial_rounds_completed = 0;
};

struct JointTrainingSummary {
  std::vector<float> baselines;  // per output; the model's own base_prediction stays 0
  TrainedModel model;
  std::vector<std::string> objective_names;
  std::size_t rounds_completed = 0;  // earlier rounds included
};

struct JointFitRequest {
  const core::TrainParams& params;
  std::size_t feature_count = 0;
  const core::BinnedMatrix& binned;
  const std::vector<std::vector<float>>& targets;  // K lists of n_rows
  const std::optional<std::vector<std::uint32_t>>& group_ids;
  const std::vector<JointObjective>& objectives;
  std::size_t n_rounds = 0;
  std::span<const std::pair<std::size_t, std::size_t>> categorical_features;
  std::optional<JointWarmStartState> warm_start;
  const core::FactorExposureMatrix* factor_exposures = nullptr;
};

JointTrainingSummary fit_joint_multi_output_with_warm_start(JointFitRequest request);

}  // namespace kestrune::engine::joint
