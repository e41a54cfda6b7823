// The training policy: the automatic adaptation of the iteration controls to the data (a member
// of Trainer, defined beside the rules here) and the split-selection options of a fit.
#pragma once

#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "engine/env.hpp"
#include "engine/trainer/trainer.hpp"

namespace kestrune::engine::trainer {

// The split regularisers of a fit: L1, L2 and the minimum child hessian come from the
// parameters when any of the three is non-zero, else all three from the environment; the
// minimum leaf magnitude always from the environment; the noise strength is the DRO radius of
// a 'dro' leaf solver with a positive radius; the missing bin is the binned matrix's; the
// minimum child rows are the controls' leaf-size floor. An invalid environment value is
// EngineError::InvalidConfig.
SplitSelectionOptions split_selection_options_for_training(const Trainer& trainer, const core::TrainingDataset& dataset,
                                                           const core::BinnedMatrix& binned,
                                                           const IterationControls& controls);

}  // namespace kestrune::engine::trainer
