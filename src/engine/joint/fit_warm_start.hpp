// Replaying an earlier joint model at the start of a warm-started fit: its trees go back into the
// running predictions, and under DART each tree's weight and stump range are restored.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "engine/joint/fit.hpp"

namespace kestrune::engine::joint {

// The trees DART may drop, in tree order: the model's trees only, never an unused tree number.
struct JointTreeBook {
  std::vector<std::pair<std::size_t, std::size_t>> slots;  // per tree: (first stump, count)
  std::vector<float> weights;                              // per tree; DART only
};

// Checks the warm-start stumps (features inside the current matrix, each tree's stumps
// contiguous, every tree index below initial_rounds_completed, node keys unique), replays each
// tree into `predictions` at its stored weight and returns the DART book (empty without DART or
// without stumps). Throws JointError with the warm-start messages.
JointTreeBook replay_joint_warm_start(const JointWarmStartState& warm, const core::TrainParams& params,
                                      const core::BinnedMatrix& binned, std::size_t feature_count,
                                      std::size_t n_outputs, std::vector<std::vector<float>>& predictions);

}  // namespace kestrune::engine::joint
