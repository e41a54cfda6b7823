// What sets one objective's fit apart from another's. The boosting loop is one template over the
// objective type; everything it does differently per objective is read from the traits below at
// compile time. An objective defined elsewhere (the Python module's custom objective) joins by
// specialising FitObjectiveTraits, usually by deriving from CustomObjectiveFitTraits.
#pragma once

#include <concepts>
#include <span>
#include <string_view>
#include <vector>

#include "engine/objectives/binary.hpp"
#include "engine/objectives/contract.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/names.hpp"
#include "engine/objectives/pairwise.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/objectives/query_rmse.hpp"
#include "engine/objectives/squared.hpp"
#include "engine/objectives/xendcg.hpp"
#include "engine/objectives/yetirank.hpp"

namespace kestrune::engine::trainer {

// Specialised for every objective type a single-output fit accepts.
template <typename O>
struct FitObjectiveTraits;

struct FitObjectiveTraitsDefaults {
  // Needs query groups on the training and validation sets, scores the validation set with its
  // own groups, and keeps every grown tree whatever the training loss does.
  static constexpr bool ranking = false;
  // Accepts neutralization='pre_target' (targets residualized before the fit).
  static constexpr bool pre_target_supported = false;
  // Its objective carries a quantile level that must lie in (0, 1).
  static constexpr bool checks_quantile_alpha = false;
  // Re-fits every new tree's leaves on the round's residuals before it enters the predictions.
  static constexpr bool refines_leaves_each_round = false;
  // May re-fit the finished model's leaves (under the leaf-refinement experiment switch).
  static constexpr bool refines_leaves_after_loop = false;
  // Its gradient pairs come from outside the engine unchecked, so every round's pairs are
  // checked, not only those of the dry run before the first round.
  static constexpr bool validates_gradients_every_round = false;
  // The fit computes the starting score itself (the target mean) instead of asking the objective.
  static constexpr bool initial_prediction_is_target_mean = false;
};

// The pointwise objectives whose finished models the leaf-refinement switch concerns. Only the
// squared error refines: the refinement fits leaves to target-minus-score residuals, which is
// meaningful only when the score is on the target's scale; on a logit or log-mean score (binary
// cross-entropy, Poisson, Gamma, Tweedie) it mixes two scales and makes the model worse.
struct RegressionFitTraits : FitObjectiveTraitsDefaults {};

struct RankingFitTraits : FitObjectiveTraitsDefaults {
  static constexpr bool ranking = true;
};

// For an objective whose gradients and loss are user code.
struct CustomObjectiveFitTraits : FitObjectiveTraitsDefaults {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::Custom;
  static constexpr bool validates_gradients_every_round = true;
  static constexpr bool initial_prediction_is_target_mean = true;
};

template <>
struct FitObjectiveTraits<objectives::SquaredErrorObjective> : RegressionFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::SquaredError;
  static constexpr bool pre_target_supported = true;
  static constexpr bool refines_leaves_after_loop = true;
};
template <>
struct FitObjectiveTraits<objectives::BinaryCrossEntropyObjective> : RegressionFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::BinaryCrossEntropy;
};
template <>
struct FitObjectiveTraits<objectives::PoissonObjective> : RegressionFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::Poisson;
};
template <>
struct FitObjectiveTraits<objectives::GammaObjective> : RegressionFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::Gamma;
};
template <>
struct FitObjectiveTraits<objectives::TweedieObjective> : RegressionFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::Tweedie;
};
template <>
struct FitObjectiveTraits<objectives::QuantileObjective> : FitObjectiveTraitsDefaults {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::Quantile;
  static constexpr bool checks_quantile_alpha = true;
  static constexpr bool refines_leaves_each_round = true;
  static float quantile_alpha(const objectives::QuantileObjective& objective) { return objective.alpha; }
};
template <>
struct FitObjectiveTraits<objectives::QueryRMSEObjective> : RankingFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::QueryRmse;
};
template <>
struct FitObjectiveTraits<objectives::PairwiseRankingObjective> : RankingFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::RankPairwise;
};
template <>
struct FitObjectiveTraits<objectives::LambdaMARTObjective> : RankingFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::RankNdcg;
};
template <>
struct FitObjectiveTraits<objectives::XeNDCGObjective> : RankingFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::RankXeNdcg;
};
template <>
struct FitObjectiveTraits<objectives::YetiRankObjective> : RankingFitTraits {
  static constexpr objectives::ObjectiveKind kind = objectives::ObjectiveKind::YetiRank;
};

// An objective whose gradient pass also gives the training loss of the same predictions, the float
// its loss would return (LambdaMART, binary cross-entropy).
template <typename O>
concept GradientPassGivesLoss =
    requires(const O& objective, std::span<const float> values, const objectives::Weights& weights,
             std::vector<core::GradientPair>& out) {
      { objective.compute_gradients_and_loss_into(values, values, weights, out) } -> std::same_as<float>;
    };

// An objective whose loss can run on the pool's idle workers, giving the float its loss would
// return (binary cross-entropy).
template <typename O>
concept LossOnIdleWorkers = requires(const O& objective, std::span<const float> values,
                                     const objectives::Weights& weights, std::vector<float>& terms) {
  { objective.loss_when_idle(values, values, weights, terms) } -> std::same_as<float>;
};

// An objective the single-output loop can be instantiated for: the objective contract, traits,
// and, for the ranking objectives, a loss over caller-chosen query groups.
template <typename O>
concept FitObjective =
    objectives::ObjectiveOps<O> && requires {
      { FitObjectiveTraits<O>::kind } -> std::convertible_to<objectives::ObjectiveKind>;
      { FitObjectiveTraits<O>::ranking } -> std::convertible_to<bool>;
    } && (!FitObjectiveTraits<O>::ranking || objectives::RankingObjectiveOps<O>) &&
    (!FitObjectiveTraits<O>::checks_quantile_alpha || requires(const O& objective) {
      { FitObjectiveTraits<O>::quantile_alpha(objective) } -> std::convertible_to<float>;
    });

}  // namespace kestrune::engine::trainer
