#include "engine/trainer/multiclass_setup.hpp"

#include <cmath>
#include <string>
#include <utility>
#include <variant>

#include "core/validation.hpp"
#include "engine/error.hpp"
#include "engine/sampling.hpp"
#include "engine/tree_node.hpp"
#include "engine/trainer/loop_round.hpp"
#include "engine/trainer/policy.hpp"
#include "engine/trainer/validate.hpp"
#include "support/casts.hpp"
#include "support/float_text.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {
namespace {

void check_validation_set(const ValidationSet& validation, const core::TrainingDataset& training) {
  support::invariant(validation.dataset != nullptr && validation.binned != nullptr,
                     "a validation set needs both its dataset and its bins");
  validate_training_alignment(*validation.dataset, *validation.binned);
  if (validation.dataset->matrix.feature_count != training.matrix.feature_count) {
    throw EngineError::contract_violation("validation feature_count " +
                                          std::to_string(validation.dataset->matrix.feature_count) +
                                          " does not match training feature_count " +
                                          std::to_string(training.matrix.feature_count));
  }
}

void check_warm_start(const MultiClassWarmStartState& warm_start, std::size_t num_classes,
                      std::size_t feature_count) {
  if (warm_start.baselines.size() != num_classes) {
    throw EngineError::contract_violation("warm-start baseline count " + std::to_string(warm_start.baselines.size()) +
                                          " != num_classes " + std::to_string(num_classes));
  }
  if (warm_start.class_stumps.size() != num_classes) {
    throw EngineError::contract_violation("warm-start class_stumps count " +
                                          std::to_string(warm_start.class_stumps.size()) + " != num_classes " +
                                          std::to_string(num_classes));
  }
  // A split on a feature the data lacks cannot be walked, and a tree index at or past the round
  // count would share its index with a tree of the new rounds.
  for (const std::vector<TrainedStump>& stumps : warm_start.class_stumps) {
    for (const TrainedStump& stump : stumps) {
      if (stump.feature_index >= feature_count) {
        throw EngineError::contract_violation("warm-start model splits on feature " +
                                              std::to_string(stump.feature_index) + " but the training data has " +
                                              std::to_string(feature_count) + " features");
      }
      if (tree_index_of(stump.node_id) >= warm_start.initial_rounds_completed) {
        throw EngineError::contract_violation("warm-start model has a tree at index " +
                                              std::to_string(tree_index_of(stump.node_id)) + " but only " +
                                              std::to_string(warm_start.initial_rounds_completed) +
                                              " completed rounds");
      }
    }
  }
}

}  // namespace

void check_class_labels(std::span<const float> targets, std::size_t num_classes, std::string_view what) {
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const float t = targets[i];
    // NaN fails the first test, infinities the last.
    const bool whole = t == std::floor(t);
    if (whole && !(t < 0.0f) && support::saturating_cast<std::uint64_t>(t) < num_classes) continue;
    throw EngineError::contract_violation(std::string(what) + " at index " + std::to_string(i) + " is " +
                                          support::format_f32(t) + ", expected integer in [0, " +
                                          std::to_string(num_classes) + ")");
  }
}

MultiClassStart prepare_multiclass_fit(const Trainer& trainer, const core::TrainingDataset& training,
                                       const core::BinnedMatrix& binned, const std::optional<ValidationSet>& validation,
                                       const objectives::MultiClassSoftmaxObjective& objective,
                                       const IterationControls& controls,
                                       std::optional<MultiClassWarmStartState> warm_start) {
  const core::TrainParams& params = trainer.params();
  const std::size_t num_classes = objective.num_classes();
  validate_iteration_controls(controls);
  if (controls.early_stopping_rounds && !validation) {
    throw EngineError::invalid_config("validation early stopping requires a validation dataset");
  }
  with_core_errors([&] { core::validate_train_params(params); });
  with_core_errors([&] { core::validate_training_dataset(training); });
  validate_neutralization_fit_contract_for_support(params, training, false);
  validate_warm_start_neutralization_contract(params, warm_start.has_value(), training);
  validate_training_alignment(training, binned);
  if (validation) check_validation_set(*validation, training);
  check_class_labels(training.targets, num_classes, "target");
  if (validation) check_class_labels(validation->dataset->targets, num_classes, "validation target");

  std::optional<std::vector<float>> warm_dart_weights;
  std::optional<std::vector<core::GradientEmaStats>> warm_morph_stats;
  MultiClassStart start;
  start.seed_base = sampling_seed_base(params.seed, params.deterministic);
  start.options = split_selection_options_for_training(trainer, training, binned, controls);
  start.projector = round_gradient_projector(params, training);
  if (warm_start) {
    check_warm_start(*warm_start, num_classes, training.matrix.feature_count);
    start.baselines = std::move(warm_start->baselines);
    start.class_stumps = std::move(warm_start->class_stumps);
    start.warm_rounds = warm_start->initial_rounds_completed;
    warm_dart_weights = std::move(warm_start->initial_dart_tree_weights);
    warm_morph_stats = std::move(warm_start->morph_ema_stats);
  } else {
    start.baselines = objective.initial_predictions();
    start.class_stumps.resize(num_classes);
  }
  start.warm_stump_counts.reserve(num_classes);
  for (const std::vector<TrainedStump>& stumps : start.class_stumps) start.warm_stump_counts.push_back(stumps.size());
  start.total_iterations = support::wrapping_cast<std::uint32_t>(start.warm_rounds + controls.rounds);
  if (params.morph_config) {
    start.morph.emplace(*params.morph_config, num_classes, start.total_iterations, params.learning_rate);
    if (warm_morph_stats) start.morph->resume_ema_stats(*warm_morph_stats);
  }
  // Without DART the warm start's weights are not read: its trees keep the weights they carry.
  if (const auto* dart = std::get_if<core::DartBoosting>(&params.boosting_mode)) {
    start.dart = make_multiclass_dart(*dart, num_classes, start.class_stumps, start.warm_rounds, warm_dart_weights);
  }
  return start;
}

std::vector<std::vector<float>> multiclass_start_predictions(std::span<const float> baselines,
                                                             std::span<const std::vector<TrainedStump>> class_stumps,
                                                             const core::BinnedMatrix& binned,
                                                             std::optional<RawFeatureRows> raw) {
  support::invariant(baselines.size() == class_stumps.size(), "one baseline per class tree list");
  std::vector<std::vector<float>> predictions;
  predictions.reserve(baselines.size());
  for (std::size_t k = 0; k < baselines.size(); ++k) {
    predictions.emplace_back(binned.row_count, baselines[k]);
    apply_tree_to_binned_predictions(predictions.back(), binned, class_stumps[k], raw);
  }
  return predictions;
}

}  // namespace kestrune::engine::trainer
