// The request every fit entry operation builds for the single-output boosting loop: the controls,
// the native categorical features, and the optional warm start, validation set and metric
// callback. The loop consumes it; the datasets and the callback stay the caller's.
#pragma once

#include <optional>
#include <vector>

#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "engine/trainer/metric_callback.hpp"
#include "engine/trainer/trainer.hpp"
#include "engine/trainer/warm_start.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// A held-out dataset with its bins, quantized with the training cuts. Both are borrowed for the
// fit and must outlive it.
struct ValidationSet {
  const core::TrainingDataset* dataset = nullptr;
  const core::BinnedMatrix* binned = nullptr;
};

struct IterationExecutionContext {
  IterationControls controls;
  std::vector<CategoricalFeature> categorical_features;
  std::optional<WarmStartState> warm_start;
  std::optional<ValidationSet> validation;
  // Evaluated only when a validation set is given; nullptr when there is no callback.
  const PerRoundMetricCallback* metric_callback = nullptr;
};

}  // namespace kestrune::engine::trainer
