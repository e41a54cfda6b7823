#include "engine/trainer/multiclass_summary.hpp"

#include <utility>

namespace kestrune::engine::trainer {

MultiClassTrainedModel multiclass_trained_model(MultiClassIterationRunSummary& run) {
  MultiClassTrainedModel model;
  model.class_baselines = std::move(run.baselines);
  model.class_stumps = std::move(run.class_stumps);
  model.objective = run.objective;
  model.dro_metadata = run.dro_metadata;
  model.morph_metadata = run.morph_metadata;
  model.num_classes = run.num_classes;
  model.feature_count = run.feature_count;
  return model;
}

}  // namespace kestrune::engine::trainer
