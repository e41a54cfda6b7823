// The single-output boosting loop, written once and instantiated per objective type. Each pass
// computes the objective's gradients at the current predictions, samples rows and features, grows
// one tree, judges it by the training loss, follows it on the validation set, and either keeps it
// or ends the run; the finishing step then cuts back to the best round and builds the summary.
//
// The training predictions live in two buffers that swap roles: the grower writes the new tree
// into the working copy, and an accepted round makes that copy the training predictions. Both
// buffers and the gradient buffer are allocated once per fit.
//
// Two objective families change the round or the finish: the quantile objective re-fits every new
// tree's leaves before the tree enters the predictions, and the regression objectives may re-fit
// the finished model's leaves (loop_refinement.hpp). DART (loop_dart.hpp) wraps each round in a
// drop of earlier trees and a rescale of the new and the dropped ones.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "backend_cpu/row_store.hpp"
#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "engine/backend_ops.hpp"
#include "engine/factor.hpp"
#include "engine/morph.hpp"
#include "engine/objectives/names.hpp"
#include "engine/round.hpp"
#include "engine/sampling.hpp"
#include "engine/stump_list.hpp"
#include "engine/trainer/fit_contract.hpp"
#include "engine/trainer/fit_objective.hpp"
#include "engine/trainer/fit_request.hpp"
#include "engine/trainer/fit_setup.hpp"
#include "engine/trainer/loop_dart.hpp"
#include "engine/trainer/loop_finish.hpp"
#include "engine/trainer/loop_hooks.hpp"
#include "engine/trainer/loop_refinement.hpp"
#include "engine/trainer/loop_round.hpp"
#include "engine/trainer/loop_state.hpp"
#include "engine/trainer/loop_validation.hpp"
#include "engine/trainer/policy.hpp"
#include "engine/trainer/summary.hpp"
#include "engine/trainer/trainer.hpp"
#include "engine/trainer/validate.hpp"
#include "parallel/parallel.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {

// The objective's loss of the validation predictions; a ranking objective scores them with the
// validation set's own query groups.
template <FitObjective O>
float validation_loss(const O& objective, const ValidationData& validation) {
  const core::TrainingDataset& dataset = *validation.dataset;
  if constexpr (FitObjectiveTraits<O>::ranking) {
    return objective.loss_with_boundaries(validation.predictions, dataset.targets, validation.weights,
                                          validation.group_boundaries);
  } else {
    return objective.loss(validation.predictions, dataset.targets, validation.weights);
  }
}

// Runs one single-output fit. Errors: the set-up checks' (see check_fit_inputs), then those of
// the fit contract, the projector, a warm start's trees out of order under DART, the objective,
// the tree grower, the leaf refinements, the tree walks and the metric callback, unchanged; a
// failed fit returns nothing.
template <FitObjective O, BackendOps Backend, typename Hooks = GrowerHooks>
IterationRunSummary fit_iterations_with_optional_validation_summary(const Trainer& trainer,
                                                                    const core::TrainingDataset& training,
                                                                    const core::BinnedMatrix& binned,
                                                                    const Backend& backend, const O& objective,
                                                                    IterationExecutionContext request,
                                                                    const Hooks& hooks = Hooks{}) {
  using Traits = FitObjectiveTraits<O>;
  const core::TrainParams& params = trainer.params();
  const IterationControls& controls = request.controls;

  // ---- set-up ----
  check_fit_inputs(params, request, training, binned, fit_input_rules(objective));
  const std::optional<core::TrainingDataset> prepared = prepare_pre_target_training_dataset(params, training);
  const core::TrainingDataset& active = prepared ? *prepared : training;
  const float contract_initial = evaluate_fit_contract_on_active_dataset(trainer, active, objective).initial_prediction;
  const std::optional<FactorProjector> projector = round_gradient_projector(params, active);
  const std::uint64_t seed_base = sampling_seed_base(params.seed, params.deterministic);
  const SplitSelectionOptions options = split_selection_options_for_training(trainer, active, binned, controls);

  std::optional<WarmStartState> warm_start = std::move(request.warm_start);
  request.warm_start.reset();
  const float base_score = warm_start ? warm_start->base_score : contract_initial;
  const std::uint64_t warm_rounds = warm_start ? warm_start->completed_rounds : 0;
  LoopOutcome outcome;
  if (warm_start) outcome.stumps = std::move(warm_start->stumps);
  outcome.warm_stump_count = outcome.stumps.size();

  const std::size_t row_count = active.matrix.row_count;
  const objectives::Weights weights = dataset_weights(active);
  const std::optional<RawFeatureRows> raw = raw_feature_rows(active);
  std::vector<float> predictions(row_count, base_score);
  apply_tree_to_binned_predictions(predictions, binned, outcome.stumps, raw);
  std::vector<float> working = predictions;

  std::optional<ValidationData> validation;
  if (request.validation) {
    validation = make_validation_data(*request.validation, Traits::ranking, base_score, outcome.stumps);
  }
  const std::optional<core::DartBoosting> dart = dart_settings(params.boosting_mode);
  if (dart) {
    // Warm-start trees keep the weights their model stored, by tree index.
    outcome.dart = dart_tree_list_from_warm_start(outcome.stumps,
                                                  warm_start ? warm_start->dart_tree_weights : std::nullopt);
    outcome.dart_normalize_type = dart->normalize_type;
  }
  auto dart_training = [&] { return DartTarget{&predictions, &binned, raw}; };
  auto dart_validation = [&]() -> std::optional<DartTarget> {
    if (!validation) return std::nullopt;
    return DartTarget{&validation->predictions, validation->binned, validation->raw};
  };
  outcome.initial_train_loss = objective.loss(predictions, active.targets, weights);
  float previous_loss = outcome.initial_train_loss;

  const PerRoundMetricCallback* const metric = request.metric_callback;
  bool higher_is_better = false;
  std::optional<ValidationTracker> tracker;
  if (validation) {
    const float initial_validation_loss = validation_loss(objective, *validation);
    outcome.initial_validation_loss = initial_validation_loss;
    if (metric != nullptr) {
      outcome.metric_name = std::string(metric->metric_name());
      higher_is_better = metric->higher_is_better();
    }
    tracker.emplace(initial_validation_loss, controls.early_stopping_rounds, controls.min_validation_improvement,
                    metric != nullptr, higher_is_better);
  } else if (metric != nullptr) {
    // Without a validation set the callback is never evaluated; its name is still reported.
    outcome.metric_name = std::string(metric->metric_name());
    higher_is_better = metric->higher_is_better();
  }

  std::vector<core::GradientPair> gradients;
  gradients.reserve(row_count);
  std::vector<float> walk_scratch;
  std::optional<QuantileRefinementSettings> quantile_settings;
  if constexpr (Traits::refines_leaves_each_round) {
    static_assert(Traits::checks_quantile_alpha, "per-round refinement needs the objective's quantile level");
    quantile_settings = quantile_round_settings(Traits::quantile_alpha(objective), params, controls);
  }
  TrainingLossRules loss_rules(controls.min_loss_improvement, controls.loss_stall_limit, dart.has_value());
  // Morph mode: the schedule covers the warm start's rounds and this fit's; the averages continue
  // from the warm start's when it carries one set.
  const std::uint32_t total_rounds = support::wrapping_cast<std::uint32_t>(controls.rounds + warm_rounds);
  std::optional<MorphState> morph;
  if (params.morph_config) {
    morph.emplace(*params.morph_config, 1, total_rounds, params.learning_rate);
    if (warm_start && warm_start->morph_ema_stats) morph->resume_ema_stats(*warm_start->morph_ema_stats);
  }

  // A ranking fit's training loss decides nothing before the fit ends (no tree is judged by it),
  // so when the gradient pass can score its predictions, a kept round's loss is taken from the
  // next round's pass, whose predictions are exactly those the round left, and the last round's
  // after the loop. Not under DART, which changes the predictions before the next pass.
  const bool loss_from_next_pass = GradientPassGivesLoss<O> && Traits::ranking && !dart;
  bool train_loss_pending = false;
  // Any other objective whose gradient pass gives the loss takes a round's loss from the pass that
  // also gives the next round's gradients at the round's working predictions, which become the
  // predictions that round starts from when the round is kept: the loss's running total, a chain
  // the calling thread adds alone, then overlaps the gradients the workers compute. The gradients
  // of a round that is not kept are computed again. Not under DART, whose next round drops trees
  // before its gradients.
  const bool loss_with_next_gradients = GradientPassGivesLoss<O> && !Traits::ranking && !dart;
  bool next_gradients_ready = false;
  auto record_pending_train_loss = [&](float loss) {
    outcome.histories.train_loss.back() = loss;
    previous_loss = loss;
    train_loss_pending = false;
  };

  // What a round's commit needs of it.
  struct RoundToKeep {
    std::vector<TrainedStump> stumps;
    std::size_t selected_count = 0;
    std::size_t sampled_feature_count = 0;
    IterationDiagnostics diagnostics;
    std::uint64_t iteration = 0;
  };
  std::size_t rounds_run = 0;
  // A kept round: its validation, then the commit (`working` becomes the training predictions).
  // The validation's early-stopping flags are returned. `dart_round` is the round's DART state,
  // null without DART.
  const auto keep_round = [&](RoundToKeep& kept, float new_loss, DartRound* dart_round) {
    const std::size_t round_number = rounds_run + 1;
    ValidationFlags flags;
    if (validation) {
      if (dart) {
        add_accepted_dart_round(*dart_round, *outcome.dart, outcome.stumps, kept.stumps, *dart_validation());
      } else {
        apply_round_stumps_tree_walk(validation->predictions, *validation->binned, kept.stumps, validation->raw);
      }
      const float loss = validation_loss(objective, *validation);
      std::optional<float> metric_value;
      if (metric != nullptr) {
        metric_value = metric->evaluate(validation->predictions, validation->dataset->targets, validation->weights);
        outcome.histories.metric_values.push_back(*metric_value);
      }
      flags = tracker->record_round(round_number, loss, metric_value);
      outcome.histories.validation_loss.push_back(loss);
    }

    // Commit the round.
    std::swap(predictions, working);
    RoundHistories& histories = outcome.histories;
    histories.train_loss.push_back(new_loss);
    histories.active_rows.push_back(kept.selected_count);
    histories.active_features.push_back(kept.sampled_feature_count);
    histories.diagnostics.push_back(kept.diagnostics);
    histories.stump_counts.push_back(kept.stumps.size());
    histories.round_numbers.push_back(round_number);
    if (dart) {
      record_dart_tree(*outcome.dart, kept.iteration, dart_round->dropped, dart_round->new_dropped_weights,
                       dart_round->scale.new_tree_weight, outcome.stumps.size(), kept.stumps.size());
    }
    append_round_stumps(outcome.stumps, std::move(kept.stumps), controls.rounds - rounds_run);
    ++rounds_run;
    backend_cpu::trim_heap_after_round(row_count, rounds_run);
    previous_loss = new_loss;
    train_loss_pending = loss_from_next_pass;
    return flags;
  };
  // Ends the fit after a kept round when the validation says so; true then.
  const auto stops_after = [&](const ValidationFlags& flags) {
    if (flags.metric_plateau) {
      outcome.stop_reason = IterationStopReason::CustomMetricPlateau;
      return true;
    }
    if (flags.loss_plateau) {
      outcome.stop_reason = IterationStopReason::ValidationLossPlateau;
      return true;
    }
    return false;
  };

  // A round's training loss is a pass over every row (an exponential and a logarithm each for the
  // binary loss) that decides only whether the round is kept. Where nothing else waits on it, the
  // next round's gradients are taken at the round's predictions at once, the loss is computed on
  // the pool's idle threads while the next tree grows (the binary loss's terms on workers that
  // find nothing else to do), and the round is judged (and kept, or the fit ended) just before
  // that tree's increments go into the predictions: until then the growers write nothing there,
  // and the other buffer still holds the predictions the round started from. Every verdict,
  // history and model is that of judging first. Not for a warm-up round (a refused one is skipped
  // and its successor grown again), nor where a round changes the predictions or the gradients in
  // other ways (DART, per-round leaf refinement, a gradient projection, morph, ranking's loss from
  // the next pass, rows left out of the tree), nor with gradients checked every round (the check
  // of the next round's would come first). Nor on a pool of one thread, where nothing runs beside
  // the tree and the binary pass that gives both shares their exponentials.
  constexpr bool kHooksHonourBeforeUpdates = requires { Hooks::honours_before_updates; };
  const bool judge_later = kHooksHonourBeforeUpdates && !dart && !Traits::refines_leaves_each_round &&
                           !Traits::ranking && !Traits::validates_gradients_every_round && !projector && !morph &&
                           parallel::current_num_threads() > 1;
  struct UnjudgedRound {
    RoundToKeep kept;
    float loss = 0.0f;
    // The round's predictions. The next round's diagnostics task computes the loss from them
    // before its own pass (the binary loss's terms, into `loss_terms`, on workers that find
    // nothing else to do), and is the task the judgement waits for. Posted beside the tree on
    // their own, the loss's exponentials and logarithms held the workers for about a
    // millisecond, and the root's histogram waited for them; in the gradient pass, they held up
    // the root's histogram as long.
    std::span<const float> predictions;
    parallel::PostedTask<std::function<void()>>* computing_loss = nullptr;
  };
  std::vector<float> loss_terms;
  std::optional<UnjudgedRound> unjudged;
  enum class Judged { Kept, Ended };
  // Judges the unjudged round, keeping it or ending the fit. It is taken out first, so that a
  // failure while it is kept (a metric callback's) leaves nothing to judge again.
  const auto judge_unjudged = [&]() -> Judged {
    support::invariant(unjudged->computing_loss != nullptr, "an unjudged round's loss was never computed");
    unjudged->computing_loss->wait();
    const float new_loss = unjudged->loss;
    RoundToKeep kept = std::move(unjudged->kept);
    unjudged.reset();
    const TrainingLossVerdict verdict =
        loss_rules.judge(previous_loss, new_loss, false, hooks.loss_threshold_scale(kept.iteration));
    support::invariant(verdict != TrainingLossVerdict::SkipPass, "a round judged later was skipped");
    if (verdict == TrainingLossVerdict::Stop) {
      outcome.stop_reason = IterationStopReason::LossImprovementBelowThreshold;
      return Judged::Ended;
    }
    const ValidationFlags flags = keep_round(kept, new_loss, nullptr);
    return stops_after(flags) ? Judged::Ended : Judged::Kept;
  };

  // ---- rounds ----
  while (rounds_run < controls.rounds) {
    // A round still to be judged counts: this one is the next.
    const std::uint64_t iteration = warm_rounds + rounds_run + (unjudged ? 1 : 0);
    DartRound dart_round;
    if (dart) {
      dart_round = begin_dart_round(*outcome.dart, outcome.stumps, *dart, seed_base, iteration, dart_training(),
                                    dart_validation());
    }
    // Ends a pass that keeps no tree: the predictions return to what the round found.
    auto abandon_round = [&] {
      if (dart) restore_dart_round(dart_round, predictions, validation ? &validation->predictions : nullptr);
    };
    bool gradients_computed = std::exchange(next_gradients_ready, false);
    if constexpr (GradientPassGivesLoss<O>) {
      if (train_loss_pending) {
        record_pending_train_loss(
            objective.compute_gradients_and_loss_into(predictions, active.targets, weights, gradients));
        gradients_computed = true;
      }
    }
    if (!gradients_computed) objective.compute_gradients_into(predictions, active.targets, weights, gradients);
    if constexpr (Traits::validates_gradients_every_round) {
      // A wrong count is reported by the count check below, after the sampling steps.
      if (gradients.size() == row_count) validate_gradient_pairs(gradients, row_count);
    }
    RoundSample sample = prepare_round_sample(params.boosting_mode, controls, binned.feature_count, row_count,
                                              seed_base, iteration, projector ? &*projector : nullptr, gradients);
    std::optional<tree_build::MorphTreeContext> morph_tree;
    if (morph) {
      morph->update_ema_from_gradient_pairs(gradients, 0);
      morph_tree = tree_build::MorphTreeContext{&*morph, 0, support::wrapping_cast<std::uint32_t>(iteration),
                                                total_rounds, morph->learning_rate_at(iteration)};
    }
    // With a round still to be judged, `working` holds its predictions (its loss reads them): the
    // tree's increments go to the other buffer, which takes them over once that round is kept.
    if (!unjudged) copy_predictions(predictions, working);
    const std::vector<std::uint32_t> unreached = unselected_rows(sample.rows, row_count);
    const std::size_t selected_count = sample.rows.size();
    // The diagnostics are a serial float64 pass over the pairs, which the tree only reads too: a
    // worker sums them while the tree grows.
    // The sampled features, not the tiles: the tile count follows the pool size, and the summary
    // must not depend on the thread count.
    // An unjudged round's loss comes first, on the same worker (the binary loss's terms also on
    // workers that find nothing else to do): the loss is needed once the tree's increments are
    // due, the diagnostics only after the tree, and the root's histogram keeps the other workers.
    const bool judges_loss = unjudged.has_value();
    parallel::PostedTask<std::function<void()>> diagnosing([&, judges_loss, norm = sample.pre_projection_norm,
                                                            features = sample.sampled_feature_count] {
      if (judges_loss) {
        if constexpr (LossOnIdleWorkers<O>) {
          unjudged->loss = objective.loss_when_idle(unjudged->predictions, active.targets, weights, loss_terms);
        } else {
          unjudged->loss = objective.loss(unjudged->predictions, active.targets, weights);
        }
      }
      sample.diagnostics = IterationDiagnostics::from_gradient_snapshot(gradients, projector.has_value(),
                                                                        selected_count, features, norm);
    });
    if (judges_loss) unjudged->computing_loss = &diagnosing;

    std::optional<Judged> judged;
    const auto judge_before_updates = [&] {
      judged = judge_unjudged();
      if (*judged == Judged::Ended) return false;
      copy_predictions(predictions, working);
      return true;
    };
    const std::span<float> tree_predictions = unjudged ? std::span<float>(predictions) : std::span<float>(working);
    std::function<bool()> before_updates;
    if (unjudged) before_updates = judge_before_updates;
    tree_build::GrownTree tree;
    try {
      tree = hooks.build_tree(
          backend, tree_build::TreeGrowthRequest{.binned = binned,
                                                 .gradients = gradients,
                                                 .root_rows = std::move(sample.rows),
                                                 .tree_index = static_cast<std::size_t>(iteration),
                                                 .feature_tiles = sample.tiles,
                                                 .options = options,
                                                 .params = params,
                                                 .controls = controls,
                                                 .predictions = tree_predictions,
                                                 .feature_weights = params.feature_weights,
                                                 .categorical_features = request.categorical_features,
                                                 .morph = morph_tree,
                                                 .raw_values = active.matrix.values,
                                                 .factor_exposures = active.factor_exposures ? &*active.factor_exposures
                                                                                             : nullptr,
                                                 .before_updates = std::move(before_updates)});
    } catch (...) {
      // Judged first, the round might have ended the fit before this tree was grown.
      diagnosing.wait();
      if (unjudged && judge_unjudged() == Judged::Ended) break;
      throw;
    }
    diagnosing.wait();
    // A tree that made no split never reached its increments.
    if (unjudged) judged = judge_unjudged();
    if (judged == Judged::Ended) break;
    const bool in_warmup = morph ? morph->is_in_warmup_phase(iteration) : hooks.in_warmup(iteration);
    if (tree.stumps.empty()) {
      abandon_round();
      if (in_warmup) {
        ++rounds_run;
        continue;
      }
      outcome.stop_reason = tree.stop_reason;
      break;
    }
    if constexpr (Traits::refines_leaves_each_round) {
      refine_quantile_round(tree.stumps, binned, predictions, working, active,
                            morph ? morph_quantile_settings(*quantile_settings, *morph, iteration, total_rounds)
                                  : *quantile_settings);
    } else {
      add_tree_on_rows(working, predictions, walk_scratch, binned, tree.stumps, raw, unreached);
    }
    if (dart) {
      rescale_dart_round(dart_round, *outcome.dart, outcome.stumps, dart->normalize_type, working, predictions, binned,
                         raw);
    }
    if (judge_later && !in_warmup && unreached.empty() && rounds_run + 1 < controls.rounds) {
      // The next round's gradients now, this round's loss while the next tree grows.
      objective.compute_gradients_into(working, active.targets, weights, gradients);
      next_gradients_ready = true;
      unjudged.emplace();
      unjudged->kept = RoundToKeep{std::move(tree.stumps), selected_count, sample.sampled_feature_count,
                                   sample.diagnostics, iteration};
      unjudged->predictions = working;
      continue;
    }
    float new_loss = 0.0f;
    if constexpr (GradientPassGivesLoss<O>) {
      if (loss_with_next_gradients) {
        new_loss = objective.compute_gradients_and_loss_into(working, active.targets, weights, gradients);
      }
    }
    if (!loss_from_next_pass && !loss_with_next_gradients) new_loss = objective.loss(working, active.targets, weights);
    if constexpr (!Traits::ranking) {
      const float scale = in_warmup ? 1.0f
                          : morph     ? morph->lr_loss_threshold_scale(iteration)
                                      : hooks.loss_threshold_scale(iteration);
      const TrainingLossVerdict verdict = loss_rules.judge(previous_loss, new_loss, in_warmup, scale);
      if (verdict == TrainingLossVerdict::SkipPass) {
        abandon_round();
        ++rounds_run;
        continue;
      }
      if (verdict == TrainingLossVerdict::Stop) {
        abandon_round();
        outcome.stop_reason = IterationStopReason::LossImprovementBelowThreshold;
        break;
      }
    }

    RoundToKeep kept{std::move(tree.stumps), selected_count, sample.sampled_feature_count, sample.diagnostics,
                     iteration};
    const ValidationFlags flags = keep_round(kept, new_loss, dart ? &dart_round : nullptr);
    // The pass that gave the loss gave the next round's gradients too, at the predictions just kept.
    next_gradients_ready = loss_with_next_gradients;
    if (stops_after(flags)) break;
  }
  // Every round is judged by the end: one is left unjudged only when another follows it.
  support::invariant(!unjudged, "a round was left unjudged");

  if (train_loss_pending) record_pending_train_loss(objective.loss(predictions, active.targets, weights));

  // ---- finish ----
  backend_cpu::trim_heap(row_count);
  outcome.rounds_run = rounds_run;
  outcome.low_improvement_rounds = loss_rules.low_improvement_rounds();
  outcome.last_train_loss = previous_loss;
  if (tracker) {
    outcome.best_validation_loss = tracker->best_loss();
    outcome.best_validation_round = tracker->best_round();
    outcome.last_validation_loss = tracker->last_loss();
    outcome.best_metric_round = tracker->best_metric_round();
  }
  FinalLosses finals = truncate_to_best_round(outcome);
  // The weights go into the stumps before a refinement, which fits each tree at its weight; the
  // refined model's losses are then those of the model the fit returns.
  write_dart_weights(outcome);
  if constexpr (Traits::refines_leaves_after_loop) {
    if (regression_refinement_enabled(params)) {
      refine_finished_model(outcome.stumps, outcome.warm_stump_count, outcome.histories.stump_counts, base_score,
                            active, binned, controls.max_abs_leaf_value);
      const float train_loss =
          objective.loss(model_predictions(base_score, binned, outcome.stumps, raw), active.targets, weights);
      std::optional<float> refined_validation_loss;
      if (validation) {
        validation->predictions = model_predictions(base_score, *validation->binned, outcome.stumps, validation->raw);
        refined_validation_loss = validation_loss(objective, *validation);
      }
      replace_final_losses(outcome.histories, finals, train_loss, refined_validation_loss);
    }
  }
  IterationRunSummary summary =
      assemble_run_summary(std::move(outcome), finals, controls.rounds,
                           ModelDescription{base_score, objectives::objective_name(Traits::kind), &params,
                                            &training.matrix});
  if (morph) summary.model.morph_metadata = morph_metadata_of(*morph, summary.rounds_completed, total_rounds);
  return summary;
}

}  // namespace kestrune::engine::trainer
