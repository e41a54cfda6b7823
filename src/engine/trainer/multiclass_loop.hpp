// The softmax multiclass boosting loop. Every round grows one tree per class, each against that
// class's softmax gradients over all K margin vectors; the round's K trees are judged together
// by the training loss, followed on the validation set, and kept or dropped together.
//
// The trees of a round are grown into a snapshot of the K training margin vectors, so keeping a
// round costs one swap and dropping it costs nothing but cutting the class lists back. The
// snapshot, the gradient lists and the scratch buffers are allocated once per fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "backend_cpu/row_store.hpp"
#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "core/histogram.hpp"
#include "engine/backend_ops.hpp"
#include "engine/dart.hpp"
#include "engine/morph.hpp"
#include "engine/objectives/multiclass.hpp"
#include "engine/round.hpp"
#include "engine/sampling.hpp"
#include "engine/stump_list.hpp"
#include "engine/tiling.hpp"
#include "engine/trainer/fit_contract.hpp"
#include "engine/trainer/fit_request.hpp"
#include "engine/trainer/loop_hooks.hpp"
#include "engine/trainer/loop_round.hpp"
#include "engine/trainer/loop_state.hpp"
#include "engine/trainer/loop_validation.hpp"
#include "engine/trainer/multiclass_dart.hpp"
#include "engine/trainer/multiclass_finish.hpp"
#include "engine/trainer/multiclass_round.hpp"
#include "engine/trainer/multiclass_setup.hpp"
#include "engine/trainer/multiclass_summary.hpp"
#include "engine/trainer/multiclass_warm_start.hpp"
#include "engine/trainer/trainer.hpp"
#include "engine/types.hpp"
#include "support/casts.hpp"

namespace kestrune::engine::trainer {

// Runs one multiclass fit. `validation`, when given, is borrowed for the call; the warm start is
// consumed. Errors: the set-up checks' (see prepare_multiclass_fit), then those of the objective,
// the projector, the sampling, the tree grower, the tree walks and the losses, unchanged; a
// failed fit returns nothing.
template <BackendOps Backend, typename Hooks = GrowerHooks>
MultiClassIterationRunSummary fit_multiclass_iterations_impl(
    const Trainer& trainer, const core::TrainingDataset& training, const core::BinnedMatrix& binned,
    const std::optional<ValidationSet>& validation_set, const Backend& backend,
    const objectives::MultiClassSoftmaxObjective& objective, const IterationControls& controls,
    std::optional<MultiClassWarmStartState> warm_start, const Hooks& hooks = Hooks{}) {
  const core::TrainParams& params = trainer.params();

  // ---- set-up ----
  MultiClassStart start =
      prepare_multiclass_fit(trainer, training, binned, validation_set, objective, controls, std::move(warm_start));
  const std::size_t num_classes = objective.num_classes();
  const std::size_t row_count = binned.row_count;
  const objectives::Weights weights = dataset_weights(training);
  const std::optional<RawFeatureRows> raw = raw_feature_rows(training);
  const FactorProjector* const projector = start.projector ? &*start.projector : nullptr;

  MultiClassOutcome outcome;
  outcome.warm_stump_counts = start.warm_stump_counts;
  std::vector<std::vector<TrainedStump>>& class_stumps = outcome.class_stumps;
  class_stumps = std::move(start.class_stumps);
  outcome.baselines = std::move(start.baselines);

  std::vector<std::vector<float>> predictions =
      multiclass_start_predictions(outcome.baselines, class_stumps, binned, raw);
  std::vector<std::vector<float>> snapshot = predictions;
  std::optional<MultiClassValidation> validation;
  if (validation_set) validation = make_multiclass_validation(*validation_set, outcome.baselines, class_stumps);

  outcome.initial_train_loss = objective.loss(predictions, training.targets, weights);
  float previous_loss = outcome.initial_train_loss;
  std::optional<ValidationTracker> tracker;
  if (validation) {
    const float initial_validation_loss = multiclass_validation_loss(objective, *validation);
    outcome.initial_validation_loss = initial_validation_loss;
    tracker.emplace(initial_validation_loss, controls.early_stopping_rounds, controls.min_validation_improvement,
                    false, false);
  }

  std::vector<std::vector<core::GradientPair>> gradients(num_classes);
  for (std::vector<core::GradientPair>& list : gradients) list.reserve(row_count);
  std::vector<std::optional<float>> pre_projection_norms(num_classes);
  std::vector<IterationDiagnostics> class_diagnostics(num_classes);
  std::vector<std::size_t> counts_before(num_classes);
  std::vector<float> walk_scratch;
  std::optional<MultiClassDart>& dart = start.dart;
  std::optional<MorphState>& morph = start.morph;
  TrainingLossRules loss_rules(controls.min_loss_improvement, controls.loss_stall_limit, dart.has_value());
  RoundHistories& histories = outcome.histories;
  std::vector<std::vector<float>> backup;  // the margins before a round's drops

  // ---- rounds ----
  std::size_t rounds_run = 0;
  while (rounds_run < controls.rounds) {
    const std::uint64_t iteration = start.warm_rounds + rounds_run;
    // DART: the dropped trees leave the margins while the round's trees are fitted.
    std::vector<std::size_t> dropped;
    std::vector<float> dropped_weights;
    if (dart) {
      dropped = select_multiclass_dropouts(*dart, start.seed_base, iteration);
      dropped_weights = dart_weights_of(*dart, dropped);
    }
    if (!dropped.empty()) {
      backup = predictions;
      remove_dart_trees(*dart, class_stumps, dropped, dropped_weights, predictions, binned, raw);
    }
    compute_class_gradients(objective, predictions, training.targets, weights, projector, gradients,
                            pre_projection_norms);
    const core::RowList rows = select_row_indices_for_round_multiclass(
        params.boosting_mode, row_count, start.seed_base, iteration, gradients, controls.row_subsample);
    const SampledFeatureTiles tiles =
        sampled_feature_tiles(binned.feature_count, start.seed_base, iteration, controls.col_subsample);
    const std::vector<std::uint32_t> unreached = unselected_rows(rows, row_count);

    bool any_tree = false;
    for (std::size_t k = 0; k < num_classes; ++k) {
      snapshot[k] = predictions[k];
      counts_before[k] = class_stumps[k].size();
      class_diagnostics[k] = IterationDiagnostics::from_gradient_snapshot(
          gradients[k], projector != nullptr, rows.size(), tiles.sampled_feature_count,
          pre_projection_norms[k].value_or(0.0f));
      std::optional<tree_build::MorphTreeContext> morph_tree;
      if (morph) {
        morph->update_ema_from_gradient_pairs(gradients[k], k);
        morph_tree = tree_build::MorphTreeContext{&*morph, k, support::wrapping_cast<std::uint32_t>(iteration),
                                                  start.total_iterations, morph->learning_rate_at(iteration)};
      }
      tree_build::GrownTree tree = hooks.build_tree(
          backend, tree_build::TreeGrowthRequest{.binned = binned,
                                                 .gradients = gradients[k],
                                                 .root_rows = rows,
                                                 .tree_index = static_cast<std::size_t>(iteration),
                                                 .feature_tiles = tiles.tiles,
                                                 .options = start.options,
                                                 .params = params,
                                                 .controls = controls,
                                                 .predictions = snapshot[k],
                                                 .feature_weights = params.feature_weights,
                                                 .categorical_features = trainer.categorical_features(),
                                                 .morph = morph_tree,
                                                 .raw_values = training.matrix.values,
                                                 .factor_exposures = training.factor_exposures
                                                                         ? &*training.factor_exposures
                                                                         : nullptr});
      if (tree.stumps.empty()) continue;
      any_tree = true;
      // The grower reached only the sampled rows; the others receive the tree by a walk.
      add_tree_on_rows(snapshot[k], predictions[k], walk_scratch, binned, tree.stumps, raw, unreached);
      append_round_stumps(class_stumps[k], std::move(tree.stumps), controls.rounds - rounds_run);
    }

    // DART: the new trees enter at 1 / (k + 1), the dropped ones return rescaled. The training
    // margins keep the drops until the round is kept (and are restored if it is skipped).
    DartRoundScale dart_scale;
    std::vector<float> new_dropped_weights;
    if (dart && !dropped.empty()) {
      dart_scale = dart_round_scale(dropped.size(), dart->settings.normalize_type);
      for (std::size_t k = 0; k < num_classes; ++k) {
        if (class_stumps[k].size() > counts_before[k]) {
          scale_new_tree_contribution(snapshot[k], predictions[k], dart_scale.new_tree_weight);
        }
      }
      new_dropped_weights.reserve(dropped.size());
      for (const float weight : dropped_weights) new_dropped_weights.push_back(weight * dart_scale.dropped_factor);
      add_dart_trees(*dart, class_stumps, dropped, new_dropped_weights, snapshot, binned, raw);
    }
    auto restore_drops = [&] {
      if (!dropped.empty()) std::swap(predictions, backup);
    };

    const bool in_warmup = morph ? morph->is_in_warmup_phase(iteration) : hooks.in_warmup(iteration);
    if (!any_tree) {
      if (in_warmup) {
        restore_drops();
        ++rounds_run;
        continue;
      }
      outcome.stop_reason = IterationStopReason::NoSplitCandidate;
      break;
    }
    const float new_loss = objective.loss(snapshot, training.targets, weights);
    const float scale = in_warmup ? 1.0f
                        : morph     ? morph->lr_loss_threshold_scale(iteration)
                                    : hooks.loss_threshold_scale(iteration);
    const TrainingLossVerdict verdict = loss_rules.judge(previous_loss, new_loss, in_warmup, scale);
    if (verdict == TrainingLossVerdict::SkipPass || verdict == TrainingLossVerdict::Stop) {
      drop_round_trees(class_stumps, counts_before);
      if (verdict == TrainingLossVerdict::SkipPass) {
        restore_drops();
        ++rounds_run;
        continue;
      }
      outcome.stop_reason = IterationStopReason::LossImprovementBelowThreshold;
      break;
    }

    const std::size_t round_number = rounds_run + 1;
    ValidationFlags flags;
    if (validation) {
      if (dart) {
        add_dart_round_to_validation(*dart, *validation, class_stumps, counts_before, dropped, dropped_weights,
                                     new_dropped_weights, dart_scale.new_tree_weight);
      } else {
        add_round_to_validation(*validation, class_stumps, counts_before);
      }
      const float loss = multiclass_validation_loss(objective, *validation);
      flags = tracker->record_round(round_number, loss, std::nullopt);
      histories.validation_loss.push_back(loss);
    }

    // Keep the round.
    std::swap(predictions, snapshot);
    std::vector<std::size_t> added(num_classes);
    std::size_t added_total = 0;
    for (std::size_t k = 0; k < num_classes; ++k) {
      added[k] = class_stumps[k].size() - counts_before[k];
      added_total += added[k];
    }
    histories.train_loss.push_back(new_loss);
    histories.active_rows.push_back(rows.size());
    histories.active_features.push_back(tiles.sampled_feature_count);
    histories.diagnostics.push_back(IterationDiagnostics::aggregate_per_class(class_diagnostics));
    histories.stump_counts.push_back(added_total);
    histories.round_numbers.push_back(round_number);
    if (dart) {
      for (std::size_t k = 0; k < num_classes; ++k) {
        for (std::size_t i = counts_before[k]; i < class_stumps[k].size(); ++i) {
          class_stumps[k][i].tree_weight = dart_scale.new_tree_weight;
        }
      }
      record_multiclass_dart_round(*dart, dropped, new_dropped_weights, dart_scale.new_tree_weight, counts_before,
                                   added);
    }
    outcome.round_class_counts.push_back(std::move(added));
    ++rounds_run;
    backend_cpu::trim_heap_after_round(row_count, rounds_run);
    previous_loss = new_loss;
    if (flags.loss_plateau) {
      outcome.stop_reason = IterationStopReason::ValidationLossPlateau;
      break;
    }
  }

  // ---- finish ----
  backend_cpu::trim_heap(row_count);
  outcome.rounds_run = rounds_run;
  outcome.low_improvement_rounds = loss_rules.low_improvement_rounds();
  outcome.last_train_loss = previous_loss;
  if (tracker) {
    outcome.best_validation_loss = tracker->best_loss();
    outcome.best_validation_round = tracker->best_round();
    outcome.last_validation_loss = tracker->last_loss();
  }
  const std::size_t recorded_rounds = histories.accepted_rounds();
  const MultiClassFinals finals = cut_back_to_best_round(outcome);
  if (dart) {
    if (finals.kept_rounds < recorded_rounds) truncate_multiclass_dart(*dart, finals.kept_rounds);
    // The weights after the last kept round travel with the trees into the model.
    write_multiclass_dart_weights(*dart, class_stumps);
  }
  MultiClassIterationRunSummary summary = assemble_multiclass_summary(
      std::move(outcome), finals,
      MultiClassRunShape{num_classes, binned.feature_count, controls.rounds, start.warm_rounds, &params});
  if (morph) summary.morph_metadata = morph_metadata_of(*morph, summary.rounds_completed, start.total_iterations);
  return summary;
}

}  // namespace kestrune::engine::trainer
