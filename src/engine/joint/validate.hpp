// The joint fit refuses the settings a single-output fit refuses, with the single-output
// messages and error kinds, so a NaN learning rate or an empty leaf budget never trains.
#pragma once

#include <span>

#include "core/config.hpp"
#include "engine/joint/types.hpp"

namespace kestrune::engine::joint {

// The single-output trainer's parameter and iteration-control checks (EngineError, a wrapped
// core error for the parameters), then each output's objective parameter: the quantile level
// and the Tweedie variance power (InvalidConfig). Left to the joint builders and fit, which give
// them their own meaning or message: max_depth 0 and min_data_in_leaf 0 (both act as 1),
// leaf-wise growth without max_leaves, and the interaction constraints.
void validate_joint_params(const core::TrainParams& params, std::span<const JointObjective> objectives);

}  // namespace kestrune::engine::joint
