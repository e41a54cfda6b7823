// The pipeline's training stretch: trainer, metric callback, objective by name, iteration
// controls, one fit, then the finished model's artifact and the summary.
#include "training_pipeline.hpp"

#include <chrono>
#include <string>
#include <utility>

#include "backend_cpu/cpu_backend.hpp"
#include "callbacks.hpp"
#include "engine/error.hpp"
#include "engine/multiclass_model.hpp"
#include "engine/objectives/binary.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/multiclass.hpp"
#include "engine/objectives/names.hpp"
#include "engine/objectives/pairwise.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/objectives/query_rmse.hpp"
#include "engine/objectives/squared.hpp"
#include "engine/objectives/xendcg.hpp"
#include "engine/objectives/yetirank.hpp"
#include "engine/trainer/fit.hpp"
#include "engine/trainer/multiclass_loop.hpp"
#include "engine/trainer/trainer.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"
#include "training_preparation.hpp"
#include "training_summary.hpp"

namespace kestrune::python {
namespace {

using engine::EngineError;
using engine::objectives::ObjectiveKind;

// YetiRank's re-rankings per group.
constexpr std::size_t kYetiRankSamples = 10;

[[noreturn]] void throw_unknown_objective(std::string_view objective) {
  throw EngineError::invalid_config("unknown objective '" + std::string(objective) +
                                    "', expected one of: squared_error, binary_crossentropy, multiclass_softmax, "
                                    "custom, queryrmse, rank_pairwise, rank_ndcg, rank_xendcg, yetirank, poisson, "
                                    "gamma, tweedie");
}

// Training group ids are required; validation groups are attached when the validation rows
// have them.
template <typename Objective, typename Make>
Objective make_ranking_objective(std::string_view name, const PreparedTraining& prepared, Make make) {
  const std::optional<std::vector<std::uint32_t>>& group_id = prepared.training.dataset.group_id;
  if (!group_id) {
    throw EngineError::contract_violation("objective '" + std::string(name) + "' requires group_id to be provided");
  }
  Objective objective = make(std::span<const std::uint32_t>(*group_id));
  if (prepared.validation && prepared.validation->dataset.group_id) {
    objective = std::move(objective).with_validation_group(*prepared.validation->dataset.group_id);
  }
  return objective;
}

// Builds the single-output objective named by `kind` and calls `run(objective, ranking)`.
template <typename Run>
TrainingResultRecord with_objective(ObjectiveKind kind, TrainingPipelineInputs& inputs,
                                    const PreparedTraining& prepared, const core::TrainParams& params, Run&& run) {
  namespace obj = engine::objectives;
  const std::string_view name = inputs.objective;
  switch (kind) {
    case ObjectiveKind::SquaredError:
      return run(obj::SquaredErrorObjective{}, false);
    case ObjectiveKind::BinaryCrossEntropy:
      return run(obj::BinaryCrossEntropyObjective{}, false);
    case ObjectiveKind::Poisson:
      return run(obj::PoissonObjective{}, false);
    case ObjectiveKind::Gamma:
      return run(obj::GammaObjective{}, false);
    case ObjectiveKind::Tweedie:
      return run(obj::TweedieObjective::make(params.tweedie_variance_power), false);
    case ObjectiveKind::Quantile:
      return run(obj::QuantileObjective{params.quantile_alpha}, false);
    case ObjectiveKind::QueryRmse:
      return run(make_ranking_objective<obj::QueryRMSEObjective>(
                     name, prepared, [](auto ids) { return obj::QueryRMSEObjective(ids); }),
                 true);
    case ObjectiveKind::RankPairwise:
      return run(make_ranking_objective<obj::PairwiseRankingObjective>(
                     name, prepared, [](auto ids) { return obj::PairwiseRankingObjective(ids); }),
                 true);
    case ObjectiveKind::RankNdcg:
      return run(make_ranking_objective<obj::LambdaMARTObjective>(
                     name, prepared, [](auto ids) { return obj::LambdaMARTObjective(ids); }),
                 true);
    case ObjectiveKind::RankXeNdcg:
      return run(make_ranking_objective<obj::XeNDCGObjective>(
                     name, prepared, [](auto ids) { return obj::XeNDCGObjective(ids); }),
                 true);
    case ObjectiveKind::YetiRank:
      // The caller's seed unchanged, not the derived sampling seed.
      return run(make_ranking_objective<obj::YetiRankObjective>(
                     name, prepared,
                     [&](auto ids) { return obj::YetiRankObjective(ids, kYetiRankSamples, params.seed); }),
                 true);
    case ObjectiveKind::Custom:
      if (!inputs.custom_objective_fn) {
        throw EngineError::contract_violation("objective 'custom' requires a custom_objective_fn to be provided");
      }
      return run(CustomPythonObjective(std::move(*inputs.custom_objective_fn), std::move(inputs.custom_loss_fn)),
                 false);
    case ObjectiveKind::MultiClassSoftmax:
      break;
  }
  support::panic("multiclass_softmax is trained on its own branch");
}

// The multiclass branch: its own objective, controls, warm start (decoded here from the earlier
// multiclass artifact), fit and model.
TrainingResultRecord train_multiclass(const TrainingPipelineInputs& inputs, PreparedTraining& prepared,
                                      const engine::trainer::Trainer& trainer,
                                      std::chrono::steady_clock::time_point train_start) {
  namespace fit = engine::trainer;
  if (!inputs.num_classes) {
    throw EngineError::invalid_config("multiclass_softmax objective requires num_classes to be specified");
  }
  if (*inputs.num_classes < 2) {
    throw EngineError::invalid_config("multiclass_softmax requires num_classes >= 2, got " +
                                      std::to_string(*inputs.num_classes));
  }
  const auto objective = engine::objectives::MultiClassSoftmaxObjective::make(*inputs.num_classes);
  const core::TrainingDataset& training = prepared.training.dataset;
  const core::BinnedMatrix& binned = prepared.training.binned;
  const engine::IterationControls controls =
      trainer.iteration_controls_for_policy(training, binned, inputs.rounds, inputs.policy_auto);

  std::optional<fit::MultiClassWarmStartState> warm_start;
  if (inputs.init_artifact_bytes) {
    warm_start = fit::multiclass_warm_start_from_artifact_bytes(*inputs.init_artifact_bytes, inputs.feature_count,
                                                                *inputs.num_classes);
  }
  std::optional<fit::ValidationSet> validation;
  if (prepared.validation) validation = fit::ValidationSet{&prepared.validation->dataset, &prepared.validation->binned};

  fit::MultiClassIterationRunSummary run = fit::fit_multiclass_iterations_impl(
      trainer, training, binned, validation, backend_cpu::CpuBackend{}, objective, controls, std::move(warm_start));
  const double native_train_seconds = seconds_of(std::chrono::steady_clock::now() - train_start);

  TrainingResultRecord result;
  result.summary = build_native_training_summary_from_multiclass(run, inputs.objective,
                                                                 prepared.bridge_prepare_seconds, native_train_seconds);
  engine::MultiClassTrainedModel model = fit::multiclass_trained_model(run);
  if (prepared.categorical_state) {
    model = engine::with_core_errors(
        [&] { return std::move(model).with_categorical_state(prepared.categorical_state); });
  }
  result.artifact_bytes = model.to_artifact_bytes();
  result.continuous_binning_metadata = std::move(prepared.training.binning_metadata);
  result.native_cat_mappings = std::move(prepared.native_cat_mappings);
  return result;
}

// Exactly one fit, chosen by the warm start and the validation set; the metric callback goes
// only to the fits that score a validation set.
template <typename Objective>
engine::trainer::IterationRunSummary fit_once(const engine::trainer::Trainer& trainer, PreparedTraining& prepared,
                                              const Objective& objective, const engine::IterationControls& controls,
                                              const engine::trainer::PerRoundMetricCallback* metric) {
  namespace fit = engine::trainer;
  const backend_cpu::CpuBackend backend;
  const core::TrainingDataset& training = prepared.training.dataset;
  const core::BinnedMatrix& binned = prepared.training.binned;
  if (prepared.warm_start) {
    fit::WarmStartState warm_start = std::move(*prepared.warm_start);
    prepared.warm_start.reset();
    if (prepared.validation) {
      return fit::fit_iterations_warm_start_with_validation_and_metric(
          trainer, training, binned, prepared.validation->dataset, prepared.validation->binned, backend, objective,
          controls, std::move(warm_start), metric);
    }
    return fit::fit_iterations_warm_start(trainer, training, binned, backend, objective, controls,
                                          std::move(warm_start));
  }
  if (prepared.validation) {
    return fit::fit_iterations_with_validation_and_metric(trainer, training, binned, prepared.validation->dataset,
                                                          prepared.validation->binned, backend, objective, controls,
                                                          metric);
  }
  return fit::fit_iterations_with_summary(trainer, training, binned, backend, objective, controls);
}

// The trained model with the records the caller asked for, as artifact bytes beside the summary.
TrainingResultRecord finish_single_output(engine::trainer::IterationRunSummary run,
                                          const TrainingPipelineInputs& inputs, PreparedTraining& prepared,
                                          double native_train_seconds) {
  engine::TrainedModel model = std::move(run.model);
  if (inputs.store_node_stats) model = std::move(model).with_node_debug_stats_from_stumps();
  if (prepared.categorical_state) {
    model = engine::with_core_errors(
        [&] { return std::move(model).with_categorical_state(prepared.categorical_state); });
  }
  model.native_categorical_features.clear();
  for (const engine::trainer::CategoricalFeature& feature : prepared.native_categorical_features) {
    const std::optional<std::uint32_t> index = support::checked_cast<std::uint32_t>(feature.first);
    if (!index) {
      throw EngineError::contract_violation("native categorical feature index " + std::to_string(feature.first) +
                                            " does not fit the model's 32-bit feature indices");
    }
    model.native_categorical_features.push_back(*index);
  }
  TrainingResultRecord result;
  result.artifact_bytes = engine::with_core_errors([&] { return model.to_artifact_bytes(); });
  result.summary =
      build_native_training_summary(run, inputs.objective, prepared.bridge_prepare_seconds, native_train_seconds);
  result.continuous_binning_metadata = std::move(prepared.training.binning_metadata);
  result.native_cat_mappings = std::move(prepared.native_cat_mappings);
  return result;
}

}  // namespace

TrainingResultRecord train_regression_artifact_with_summary_dense_impl(TrainingPipelineInputs inputs) {
  PreparedTraining prepared = prepare_training(inputs);

  const std::vector<engine::trainer::CategoricalFeature> native_features = prepared.native_categorical_features;
  engine::trainer::Trainer trainer =
      engine::trainer::Trainer::make(std::move(inputs.params)).with_categorical_features(native_features);
  const auto train_start = std::chrono::steady_clock::now();
  std::optional<CustomPythonMetricCallback> metric;
  if (inputs.custom_metric_fn) metric = CustomPythonMetricCallback::make(std::move(*inputs.custom_metric_fn));

  const std::optional<ObjectiveKind> kind = engine::objectives::objective_kind_from_name(inputs.objective);
  if (!kind) throw_unknown_objective(inputs.objective);
  if (*kind == ObjectiveKind::MultiClassSoftmax) return train_multiclass(inputs, prepared, trainer, train_start);

  return with_objective(*kind, inputs, prepared, trainer.params(), [&](auto objective, bool ranking) {
    const engine::IterationControls controls = trainer.iteration_controls_for_policy_ext(
        prepared.training.dataset, prepared.training.binned, inputs.rounds, inputs.policy_auto, ranking);
    engine::trainer::IterationRunSummary run =
        fit_once(trainer, prepared, objective, controls, metric ? &*metric : nullptr);
    const double native_train_seconds = seconds_of(std::chrono::steady_clock::now() - train_start);
    return finish_single_output(std::move(run), inputs, prepared, native_train_seconds);
  });
}

}  // namespace kestrune::python
