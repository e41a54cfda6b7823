// An artifact as the explainer sees it: its feature names and one single-output model per
// explained output (one for a plain model, one per class of a multiclass model, one per output of
// a joint multi-output model).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/trained_model.hpp"

namespace kestrune::shap {

struct ArtifactShapContext {
  std::vector<std::string> feature_names;
  std::vector<engine::TrainedModel> models;
};

// ShapError::Runtime with the decoder's text when the artifact cannot be read or does not agree
// with itself.
ArtifactShapContext load_artifact_context(std::span<const std::uint8_t> bytes);

}  // namespace kestrune::shap
