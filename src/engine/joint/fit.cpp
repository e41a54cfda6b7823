#include "engine/joint/fit.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <variant>

#include "engine/dart.hpp"
#include "engine/error.hpp"
#include "engine/factor.hpp"
#include "engine/joint/build_round.hpp"
#include "engine/joint/error.hpp"
#include "engine/joint/draws.hpp"
#include "engine/joint/fit_warm_start.hpp"
#include "engine/joint/objective_text.hpp"
#include "engine/joint/morph_context.hpp"
#include "engine/joint/row_selection.hpp"
#include "engine/joint/tree_walk.hpp"
#include "engine/leaf_refinement.hpp"
#include "engine/morph.hpp"
#include "engine/stump_list.hpp"
#include "engine/tree_node.hpp"
#include "support/float_text.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::joint {
namespace {

constexpr float kF32Epsilon = 1.1920929e-7f;

std::string objective_debug(const JointObjective& objective) {
  switch (objective.kind) {
    case JointObjectiveKind::SquaredError: return "SquaredError";
    case JointObjectiveKind::QueryRmse: return "QueryRmse";
    case JointObjectiveKind::RankPairwise: return "RankPairwise";
    case JointObjectiveKind::RankNdcg: return "RankNdcg";
    case JointObjectiveKind::RankXendcg: return "RankXendcg";
    case JointObjectiveKind::Poisson: return "Poisson";
    case JointObjectiveKind::Gamma: return "Gamma";
    case JointObjectiveKind::Tweedie: return "Tweedie { variance_power: " + support::debug_f32(objective.parameter) + " }";
    case JointObjectiveKind::Quantile: return "Quantile { alpha: " + support::debug_f32(objective.parameter) + " }";
  }
  return "";
}

// Runs a step whose engine errors become the fit's message "{prefix}: {debug form}".
template <typename F>
decltype(auto) with_debug_prefix(const char* prefix, F&& body) {
  try {
    return with_core_errors(std::forward<F>(body));
  } catch (const EngineError& error) {
    throw JointError(std::string(prefix) + ": " + error.debug());
  }
}

// The per-stump scale of a round: the learning rate, or under morph the round's scheduled rate,
// decayed over the fit and damped by the stump's depth.
float stump_scale(const core::TrainParams& params, const MorphState* morph, std::uint64_t round,
                  std::uint32_t total_rounds, std::uint32_t local_id) {
  if (morph == nullptr) return params.learning_rate;
  const float rate = morph->learning_rate_at(round);
  const float progress = static_cast<float>(round) / static_cast<float>(std::max(total_rounds, 1u));
  const float raw_decay = 1.0f - progress * morph->config.morph_rate;
  const float decay = raw_decay > 0.0f ? raw_decay : 0.0f;  // NaN counts as 0
  const std::uint32_t depth = 31u - static_cast<std::uint32_t>(std::countl_zero(local_id + 1u));
  return (rate * decay) * std::pow(morph->config.depth_penalty_base, static_cast<float>(depth) / 3.0f);
}

std::optional<core::NeutralizationMetadata> neutralization_metadata(const core::TrainParams& params) {
  if (!params.neutralization_config) return std::nullopt;
  const core::NeutralizationConfig& config = *params.neutralization_config;
  const bool recorded = config.kind == core::NeutralizationKind::PreTarget ||
                        config.kind == core::NeutralizationKind::PerRoundGradient ||
                        (config.kind == core::NeutralizationKind::SplitPenalty && config.factor_penalty != 0.0f);
  if (!recorded) return std::nullopt;
  return core::NeutralizationMetadata{config.factor_neutralization_lambda, config.factor_penalty, config.kind};
}

}  // namespace

JointTrainingSummary fit_joint_multi_output_with_warm_start(JointFitRequest request) {
  const core::TrainParams& params = request.params;
  const core::BinnedMatrix& binned = request.binned;
  const std::size_t n_outputs = request.targets.size();
  const std::size_t n_rows = binned.row_count;
  const std::vector<JointObjective>& objectives = request.objectives;
  std::optional<JointWarmStartState> warm = std::move(request.warm_start);

  if (objectives.size() != n_outputs) {
    throw JointError("per_output_objective length " + std::to_string(objectives.size()) + " != n_outputs " +
                     std::to_string(n_outputs));
  }
  for (std::size_t k = 0; k < n_outputs; ++k) {
    if (request.targets[k].size() != n_rows) {
      throw JointError("targets[" + std::to_string(k) + "] length " + std::to_string(request.targets[k].size()) +
                       " != n_rows " + std::to_string(n_rows));
    }
  }
  if (!request.group_ids &&
      std::any_of(objectives.begin(), objectives.end(), [](const JointObjective& o) { return o.requires_group_ids(); })) {
    throw JointError("at least one objective requires group_id");
  }
  // The new trees take the numbers initial_rounds_completed onward, and a node key holds 4096 tree
  // numbers. Checked before the DART book and the morph schedule are sized by the count.
  const std::size_t initial_rounds = warm ? warm->initial_rounds_completed : 0;
  if (initial_rounds > kMaxEncodedTrees || request.n_rounds > kMaxEncodedTrees - initial_rounds) {
    throw JointError("init_rounds_completed " + std::to_string(initial_rounds) + " + n_estimators " +
                     std::to_string(request.n_rounds) + " exceeds the 4096 trees a joint model can number");
  }

  // Pre-target neutralization trains on the targets' residuals against the factors.
  const core::NeutralizationKind kind = core::neutralization_kind(params);
  const float ridge = params.neutralization_config ? params.neutralization_config->factor_neutralization_lambda : 0.0f;
  std::vector<std::vector<float>> residual_targets;
  if (kind == core::NeutralizationKind::PreTarget) {
    if (request.factor_exposures == nullptr) {
      throw JointError("factor_exposures are required when neutralization='pre_target'");
    }
    for (std::size_t k = 0; k < n_outputs; ++k) {
      if (objectives[k].kind != JointObjectiveKind::SquaredError) {
        throw JointError("neutralization='pre_target' requires every per-output objective to be 'squared_error' "
                         "(output " + std::to_string(k) + " is " + objective_debug(objectives[k]) +
                         "). Use neutralization='per_round_gradient' for ranking objectives.");
      }
    }
    const FactorProjector projector = with_debug_prefix(
        "pre_target projector", [&] { return FactorProjector::make(*request.factor_exposures, std::nullopt, ridge); });
    for (std::size_t k = 0; k < n_outputs; ++k) {
      residual_targets.push_back(request.targets[k]);
      with_debug_prefix("pre_target residualize",
                        [&] { projector.residualize_values_in_place(residual_targets.back()); });
    }
  }
  const std::vector<std::vector<float>>& targets = residual_targets.empty() ? request.targets : residual_targets;
  std::vector<std::span<const float>> target_spans(targets.begin(), targets.end());

  std::vector<float> baselines;
  if (!warm) {
    for (std::size_t k = 0; k < n_outputs; ++k) {
      objectives[k].check_parameters();
      baselines.push_back(objectives[k].initial_prediction(targets[k]));
    }
  } else {
    if (warm->baselines.size() != n_outputs) {
      throw JointError("warm-start baselines length " + std::to_string(warm->baselines.size()) + " != n_outputs " +
                       std::to_string(n_outputs));
    }
    if (warm->initial_ema_stats && warm->initial_ema_stats->size() != n_outputs) {
      throw JointError("warm-start initial_ema_stats length " + std::to_string(warm->initial_ema_stats->size()) +
                       " != n_outputs " + std::to_string(n_outputs));
    }
    baselines = warm->baselines;
  }
  std::vector<std::vector<float>> predictions(n_outputs);
  for (std::size_t k = 0; k < n_outputs; ++k) predictions[k].assign(n_rows, baselines[k]);

  const auto total_rounds = static_cast<std::uint32_t>(initial_rounds + request.n_rounds);  // at most 4096
  std::optional<MorphState> morph;
  if (params.morph_config) {
    morph.emplace(*params.morph_config, n_outputs, total_rounds, params.learning_rate);
    if (warm && warm->initial_ema_stats) morph->resume_ema_stats(*warm->initial_ema_stats);
  }
  const core::DartBoosting* dart = std::get_if<core::DartBoosting>(&params.boosting_mode);

  std::vector<TrainedStump> all_stumps;
  JointTreeBook book;
  if (warm) {
    book = replay_joint_warm_start(*warm, params, binned, request.feature_count, n_outputs, predictions);
    all_stumps = std::move(warm->stumps);
    warm.reset();
  }

  std::optional<FactorProjector> projector;
  if (kind == core::NeutralizationKind::PerRoundGradient) {
    if (request.factor_exposures == nullptr) {
      throw JointError("factor_exposures are required when neutralization='per_round_gradient'");
    }
    projector.emplace(with_debug_prefix("per_round_gradient projector", [&] {
      return FactorProjector::make(*request.factor_exposures, std::nullopt, ridge);
    }));
  }

  std::optional<std::span<const std::uint32_t>> group_ids;
  if (request.group_ids) group_ids = std::span<const std::uint32_t>(*request.group_ids);
  auto tree_of = [&](std::size_t position) {
    const auto [start, count] = book.slots.at(position);
    support::invariant(start + count <= all_stumps.size(), "a tree's stump range lies beyond the model");
    return std::span<const TrainedStump>(all_stumps).subspan(start, count);
  };

  std::size_t rounds_done = 0;
  for (std::size_t i = 0; i < request.n_rounds; ++i) {
    const std::uint64_t round = initial_rounds + i;
    std::vector<std::size_t> dropped;
    if (dart != nullptr && !book.weights.empty()) {
      dropped = select_dropouts(book.weights.size(), dart->dart_max_drop, dart->sample_type, book.weights,
                                params.seed, round, dart->dart_drop_rate);
      for (const std::size_t t : dropped) {
        walk_tree_into_predictions(tree_of(t), binned, request.feature_count, n_rows, n_outputs, predictions, -1.0f,
                                   book.weights.at(t));
      }
    }

    std::vector<std::vector<core::GradientPair>> pairs;
    pairs.reserve(n_outputs);
    for (std::size_t k = 0; k < n_outputs; ++k) {
      pairs.push_back(objectives[k].compute_gradients(predictions[k], target_spans[k], group_ids));
    }
    if (projector) {
      for (std::size_t k = 0; k < n_outputs; ++k) {
        with_debug_prefix("per_round_gradient projection", [&] { projector->project_gradient_pairs_in_place(pairs[k]); });
      }
    }
    std::optional<JointMorphContext> morph_context;
    if (morph) {
      for (std::size_t k = 0; k < n_outputs; ++k) morph->update_ema_from_gradient_pairs(pairs[k], k);
      morph_context = JointMorphContext::from_state(morph->ema_stats, morph->config, static_cast<std::uint32_t>(round),
                                                    total_rounds);
    }

    std::optional<std::vector<std::uint32_t>> selected =
        select_joint_row_indices_for_round(params.boosting_mode, n_rows, params.seed, round, pairs, n_outputs);
    if (!selected && params.row_subsample < 1.0f) {
      selected = joint_row_subsample(n_rows, params.row_subsample, params.seed, round);
    }

    const JointRoundRequest round_request{params,
                                          binned,
                                          pairs,
                                          n_outputs,
                                          request.categorical_features,
                                          round,
                                          selected ? &*selected : nullptr,
                                          morph_context ? &*morph_context : nullptr,
                                          request.factor_exposures};
    std::vector<TrainedStump> stumps;
    if (params.tree_growth == core::TreeGrowth::Leaf) {
      if (!params.max_leaves) throw JointError("tree_growth='leaf' requires max_leaves to be set on the joint trainer");
      stumps = build_joint_round_leafwise(round_request, *params.max_leaves);
    } else {
      stumps = build_joint_round_inner(round_request);
    }
    if (stumps.empty()) break;

    try {
      with_core_errors([&] { refine_joint_quantile_leaves(stumps, binned, predictions, target_spans, objectives); });
    } catch (const EngineError& error) {
      throw JointError(error.display());
    }

    if (std::fabs(params.learning_rate - 1.0f) > kF32Epsilon || morph) {
      for (TrainedStump& stump : stumps) {
        const float scale = stump_scale(params, morph ? &*morph : nullptr, round, total_rounds, stump.node_id);
        support::invariant(stump.multi_output.has_value(), "a joint stump carries no K-vectors");
        for (float& v : stump.multi_output->left) v *= scale;
        for (float& v : stump.multi_output->right) v *= scale;
        stump.left = stump.multi_output->left.at(0);
        stump.right = stump.multi_output->right.at(0);
      }
    }
    walk_tree_into_predictions(stumps, binned, request.feature_count, n_rows, n_outputs, predictions, 1.0f, 1.0f);

    const std::size_t first = all_stumps.size();
    for (TrainedStump& stump : stumps) {
      stump.node_id = with_debug_prefix("encode_tree_node_id", [&] { return encode_tree_node_id(round, stump.node_id); });
    }
    append_round_stumps(all_stumps, std::move(stumps), request.n_rounds - i);
    const std::size_t count = all_stumps.size() - first;
    book.slots.emplace_back(first, count);

    if (dart != nullptr) {
      const DartRoundScale scale = dart_round_scale(dropped.size(), dart->normalize_type);
      const std::span<const TrainedStump> new_tree = tree_of(book.slots.size() - 1);
      if (std::fabs(1.0f - scale.new_tree_weight) > kF32Epsilon) {
        walk_tree_into_predictions(new_tree, binned, request.feature_count, n_rows, n_outputs, predictions, -1.0f,
                                   1.0f - scale.new_tree_weight);
      }
      for (const std::size_t t : dropped) {
        walk_tree_into_predictions(tree_of(t), binned, request.feature_count, n_rows, n_outputs, predictions, 1.0f,
                                   scale.dropped_factor * book.weights.at(t));
      }
      apply_normalization(book.weights, dropped, dart->normalize_type, book.weights.size());
    }
    rounds_done = i + 1;
  }

  if (dart != nullptr) {
    for (std::size_t t = 0; t < book.slots.size() && t < book.weights.size(); ++t) {
      const auto [start, count] = book.slots[t];
      for (std::size_t s = start; s < start + count && s < all_stumps.size(); ++s) {
        all_stumps[s].tree_weight = book.weights[t];
      }
    }
  }

  JointTrainingSummary summary;
  summary.rounds_completed = initial_rounds + rounds_done;
  summary.baselines = std::move(baselines);
  TrainedModel& model = summary.model;
  model.stumps = std::move(all_stumps);
  model.objective = joint_objective_text(n_outputs);
  model.feature_count = request.feature_count;
  model.base_prediction = 0.0f;
  if (morph) {
    const std::size_t last = summary.rounds_completed > 0 ? summary.rounds_completed - 1 : 0;
    model.morph_metadata = morph_metadata_of(*morph, last, total_rounds);
  }
  if (params.leaf_solver == core::LeafSolver::Dro && params.dro_config && params.dro_config->radius > 0.0f) {
    model.dro_metadata = core::DroMetadata{params.dro_config->radius, params.dro_config->metric};
  }
  model.neutralization_metadata = neutralization_metadata(params);
  for (const JointObjective& objective : objectives) summary.objective_names.emplace_back(objective.name());
  return summary;
}

}  // namespace kestrune::engine::joint
