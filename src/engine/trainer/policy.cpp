#include "engine/trainer/policy.hpp"

#include <algorithm>
#include <cmath>

#include "engine/trainer/validate.hpp"
#include "support/casts.hpp"

namespace kestrune::engine::trainer {

namespace {

// The smallest leaf the policy allows grows with the data: small sets keep fine leaves, larger
// ones get leaves that average out noise.
std::size_t leaf_size_floor(std::size_t rows) {
  if (rows < 2048) return 4;
  if (rows < 8192) return 8;
  return 16;
}

// A small, noisy, wide data set with many requested rounds overfits long before the last one.
std::size_t small_data_rounds(std::size_t rounds, std::size_t rows, std::size_t features, float variance) {
  const float rows_per_feature = static_cast<float>(rows) / static_cast<float>(std::max<std::size_t>(features, 1));
  if (variance > 1.0f && rows_per_feature < 64.0f && features >= 8 && rounds > 256) return 96;
  return rounds;
}

}  // namespace

IterationControls Trainer::iteration_controls_for_policy_ext(const core::TrainingDataset& dataset,
                                                             const core::BinnedMatrix& binned, std::size_t rounds,
                                                             bool automatic_policy, bool ranking_policy) const {
  // The switch is read first, on every call, so an operator can always fall back to manual.
  if (env_toggle_enabled(kForceManualPolicyVariable) || !automatic_policy) return default_iteration_controls(rounds);
  validate_training_alignment(dataset, binned);
  IterationControls controls = default_iteration_controls(rounds);
  const std::size_t rows = dataset.matrix.row_count;
  const std::size_t features = binned.feature_count;
  std::optional<std::span<const float>> weights;
  if (dataset.sample_weights) weights = std::span<const float>(*dataset.sample_weights);
  const float variance = target_variance(dataset.targets, weights);

  if (rows < 1024) {
    controls.rounds = small_data_rounds(controls.rounds, rows, features, variance);
    return controls;
  }

  const float density = binned_feature_density(binned);
  controls.min_rows_per_leaf =
      std::min<std::size_t>(rows / 2, std::max<std::size_t>(params_.min_data_in_leaf, leaf_size_floor(rows)));
  if (ranking_policy) {
    controls.min_split_gain = std::fmax(params_.min_split_gain, 0.0f);
    controls.min_loss_improvement = 0.0f;
    controls.loss_stall_limit = 0;
  } else {
    if (density < 0.1f) {
      controls.min_split_gain = std::fmax(params_.min_split_gain, 0.001f);
    } else {
      const std::optional<std::size_t> cells = support::checked_mul(rows, features);
      const bool large = !cells || *cells >= 65536;
      controls.min_split_gain = std::fmax(params_.min_split_gain, large ? 0.0001f : 0.0f);
    }
    if (rows >= 4096) {
      controls.min_loss_improvement = std::fmin(std::fmax(variance, 1e-6f) * 1e-5f, 0.01f);
      controls.loss_stall_limit = controls.rounds >= 65 ? 3 : 1;
    } else {
      controls.min_loss_improvement = 0.0f;
      controls.loss_stall_limit = 0;
    }
  }
  if (params_.row_subsample == 1.0f && rows >= 2048) controls.row_subsample = rows < 16384 ? 0.9f : 0.8f;
  if (params_.col_subsample == 1.0f && features >= 32) {
    controls.col_subsample = features < 128 ? 0.8f : (features < 256 ? 0.65f : 0.5f);
  }
  return controls;
}

SplitSelectionOptions split_selection_options_for_training(const Trainer& trainer,
                                                           const core::TrainingDataset& /*dataset*/,
                                                           const core::BinnedMatrix& binned,
                                                           const IterationControls& controls) {
  const SplitSelectionOptions environment = split_selection_options_from_env();
  const core::TrainParams& params = trainer.params();
  SplitSelectionOptions options;
  if (params.lambda_l1 == 0.0f && params.lambda_l2 == 0.0f && params.min_child_hessian == 0.0f) {
    options.split_l2 = environment.split_l2;
    options.split_l1 = environment.split_l1;
    options.min_child_hess = environment.min_child_hess;
  } else {
    options.split_l2 = params.lambda_l2;
    options.split_l1 = params.lambda_l1;
    options.min_child_hess = params.min_child_hessian;
  }
  options.min_leaf_magnitude = environment.min_leaf_magnitude;
  // A DRO leaf solver hedges each leaf against a shift of its gradient sum; the search widens the
  // L1 threshold by the same radius so it scores the splits the solver will fit.
  if (params.leaf_solver == core::LeafSolver::Dro && params.dro_config && params.dro_config->radius > 0.0f) {
    options.gradient_noise_strength = params.dro_config->radius;
  }
  options.missing_bin = binned.missing_bin;
  options.min_rows_per_leaf = controls.min_rows_per_leaf;
  return options;
}

}  // namespace kestrune::engine::trainer
