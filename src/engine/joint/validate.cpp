#include "engine/joint/validate.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "engine/objectives/glm.hpp"
#include "engine/trainer/fit_setup.hpp"
#include "engine/trainer/trainer.hpp"

namespace kestrune::engine::joint {

void validate_joint_params(const core::TrainParams& params, std::span<const JointObjective> objectives) {
  // The settings the joint fit reads its own way are checked as a single-output fit would
  // accept them, so only the numbers both fits share can fail here.
  core::TrainParams checked = params;
  checked.max_depth = std::max<std::uint16_t>(checked.max_depth, 1);
  checked.min_data_in_leaf = std::max<std::uint32_t>(checked.min_data_in_leaf, 1);
  if (!checked.max_leaves) checked.tree_growth = core::TreeGrowth::Level;
  checked.interaction_constraints.clear();
  const trainer::Trainer trainer = trainer::Trainer::make(std::move(checked));
  // One round stands in for the fit's count: a joint fit may run none.
  (void)trainer.default_iteration_controls(1);
  for (const JointObjective& objective : objectives) {
    if (const std::optional<float> alpha = objective.quantile_alpha()) trainer::validate_quantile_alpha(*alpha);
    if (objective.kind == JointObjectiveKind::Tweedie) (void)objectives::TweedieObjective::make(objective.parameter);
  }
}

}  // namespace kestrune::engine::joint
