// The checks a single-output fit makes before it touches the data, in their fixed order: the
// first failure is the error the fit returns, so callers see exactly one message.
#pragma once

#include <optional>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "core/dataset.hpp"
#include "engine/trainer/fit_objective.hpp"
#include "engine/trainer/fit_request.hpp"

namespace kestrune::engine::trainer {

// The objective-dependent part of the checks.
struct FitInputRules {
  bool ranking = false;
  bool pre_target_supported = false;
  std::optional<float> quantile_alpha;  // checked when present
};

template <FitObjective O>
FitInputRules fit_input_rules(const O& objective) {
  using Traits = FitObjectiveTraits<O>;
  FitInputRules rules;
  rules.ranking = Traits::ranking;
  rules.pre_target_supported = Traits::pre_target_supported;
  if constexpr (Traits::checks_quantile_alpha) rules.quantile_alpha = Traits::quantile_alpha(objective);
  return rules;
}

// InvalidConfig "quantile_alpha must be finite and in (0.0, 1.0)" unless 0 < alpha < 1.
void validate_quantile_alpha(float alpha);

// In order:
//  1. the iteration controls (InvalidConfig);
//  2. early stopping without a validation set: InvalidConfig "validation early stopping requires
//     a validation dataset";
//  3. the training dataset against its bins; ranking: ContractViolation "this objective requires
//     group_id to be provided on the training dataset";
//  4. with validation: the validation dataset against its bins, ContractViolation "validation
//     feature_count {} does not match training feature_count {}", then for ranking the
//     validation group_id ("... on the validation dataset");
//  5. the training parameters (their core error, wrapped);
//  6. quantile: InvalidConfig "quantile_alpha must be finite and in (0.0, 1.0)";
//  7. the training dataset (its core error, wrapped);
//  8. the neutralization contracts, then the warm start against the training data.
void check_fit_inputs(const core::TrainParams& params, const IterationExecutionContext& request,
                      const core::TrainingDataset& training, const core::BinnedMatrix& binned,
                      const FitInputRules& rules);

}  // namespace kestrune::engine::trainer
