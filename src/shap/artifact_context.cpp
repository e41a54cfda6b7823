#include "shap/artifact_context.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <string_view>

#include "core/artifact/container.hpp"
#include "core/artifact/metadata_payloads.hpp"
#include "core/artifact/required_sections.hpp"
#include "core/error.hpp"
#include "engine/error.hpp"
#include "engine/multiclass_model.hpp"
#include "shap/error.hpp"
#include "support/float_parse.hpp"
#include "support/panic.hpp"

namespace kestrune::shap {
namespace {

constexpr std::string_view kJointPrefix = "joint_multi_output:";
constexpr std::string_view kBaselinesField = "|baselines=";

// Runs a decoder, reporting its failure as ShapError::Runtime with the decoder's display text.
template <typename F>
auto decoded(F&& body) {
  try {
    return body();
  } catch (const engine::EngineError& error) {
    throw ShapError::runtime(error.display());
  } catch (const core::CoreError& error) {
    throw ShapError::runtime(error.display());
  }
}

void check_feature_names(std::size_t names, std::size_t model_features) {
  if (names != model_features) {
    throw ShapError::runtime("metadata feature count " + std::to_string(names) + " does not match model feature count " +
                             std::to_string(model_features));
  }
}

// The per-output starting scores a joint objective text may carry after "|baselines=": every
// comma-separated piece up to the end of the text must be a float.
std::optional<std::vector<float>> parse_joint_baselines(std::string_view objective) {
  if (objective.size() < kJointPrefix.size() || !objective.starts_with(kJointPrefix)) return std::nullopt;
  const std::size_t field = objective.find(kBaselinesField);
  if (field == std::string_view::npos) return std::nullopt;
  std::string_view rest = objective.substr(field + kBaselinesField.size());
  std::vector<float> baselines;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view piece = rest.substr(0, comma);
    const std::optional<float> value = support::parse_f32(piece);
    if (!value) {
      throw ShapError::runtime(std::string("Failed to parse |baselines= field in objective metadata string: ") +
                               (piece.empty() ? "cannot parse float from empty string" : "invalid float literal"));
    }
    baselines.push_back(*value);
    if (comma == std::string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  return baselines;
}

float output_value(const engine::TrainedStump& stump, bool left, std::size_t output) {
  const std::vector<float>& values = left ? stump.multi_output->left : stump.multi_output->right;
  support::invariant(output < values.size(), "every joint stump holds a value for every output");
  return values[output];
}

// Output k of a joint model as a single-output model. A joint stump stores the value of the
// node each side leads to; single-output trees add increments along the path, so each side
// becomes its stored value minus the value stored for the branch that led to the stump.
engine::TrainedModel joint_output_model(const engine::TrainedModel& joint, std::size_t output,
                                        const std::optional<std::vector<float>>& baselines) {
  std::unordered_map<std::uint32_t, const engine::TrainedStump*> by_node;
  for (const engine::TrainedStump& stump : joint.stumps) by_node.insert_or_assign(stump.node_id, &stump);
  engine::TrainedModel model = joint;
  for (std::size_t i = 0; i < model.stumps.size(); ++i) {
    const engine::TrainedStump& stored = joint.stumps[i];
    if (!stored.multi_output) continue;
    const std::uint32_t local = stored.node_id & 0xFFFFFu;
    float parent_value = 0.0f;
    if (local != 0) {
      const std::uint32_t parent_id = (stored.node_id & ~0xFFFFFu) | ((local - 1) / 2);
      const auto it = by_node.find(parent_id);
      if (it != by_node.end() && it->second->multi_output) parent_value = output_value(*it->second, local % 2 == 1, output);
    }
    engine::TrainedStump& stump = model.stumps[i];
    stump.left = output_value(stored, true, output) - parent_value;
    stump.right = output_value(stored, false, output) - parent_value;
    stump.multi_output.reset();
  }
  if (baselines && output < baselines->size()) model.base_prediction = (*baselines)[output];
  return model;
}

ArtifactShapContext load_multiclass(std::span<const std::uint8_t> bytes, const core::ParsedModelArtifactV1& parsed) {
  // The decoder attaches category bitsets, linear leaves and tree weights by global stump position.
  const engine::MultiClassTrainedModel multiclass =
      decoded([&] { return engine::MultiClassTrainedModel::from_artifact_bytes(bytes); });
  check_feature_names(parsed.contract.metadata.feature_names.size(), multiclass.feature_count);
  std::optional<std::vector<float>> baseline =
      decoded([&] { return core::decode_optional_feature_baseline_section(parsed.sections); });
  if (baseline && baseline->size() != multiclass.feature_count) baseline.reset();
  ArtifactShapContext context{parsed.contract.metadata.feature_names, {}};
  for (std::size_t c = 0; c < multiclass.class_stumps.size(); ++c) {
    engine::TrainedModel model;
    model.stumps = multiclass.class_stumps[c];
    model.base_prediction = multiclass.class_baselines[c];
    model.feature_count = multiclass.feature_count;
    model.objective = multiclass.objective;
    model.feature_baseline = baseline;
    model.categorical_state = multiclass.categorical_state;
    model.morph_metadata = multiclass.morph_metadata;
    model.dro_metadata = multiclass.dro_metadata;
    context.models.push_back(std::move(model));
  }
  return context;
}

}  // namespace

ArtifactShapContext load_artifact_context(std::span<const std::uint8_t> bytes) {
  const core::ParsedModelArtifactV1 parsed = decoded([&] { return core::deserialize_model_artifact_v1(bytes); });
  const core::ModelMetadata& metadata = parsed.contract.metadata;
  const bool joint_section = std::any_of(parsed.sections.begin(), parsed.sections.end(), [](const auto& section) {
    return section.kind == core::ModelSectionKind::MultiOutputLeafValues;
  });
  if (!joint_section && !metadata.num_classes) {
    const core::RequiredSectionReport report = core::required_section_compatibility_report(parsed.sections);
    if (!report.accepts(core::RequiredSectionMode::LegacyCompatible)) {
      throw ShapError::runtime(
          core::format_required_section_mode_error(report, core::RequiredSectionMode::LegacyCompatible));
    }
  }
  if (metadata.num_classes) return load_multiclass(bytes, parsed);

  engine::TrainedModel model = decoded([&] {
    return engine::TrainedModel::from_artifact_bytes_with_mode(
        bytes, static_cast<std::uint32_t>(core::RequiredSectionMode::LegacyCompatible));
  });
  check_feature_names(metadata.feature_names.size(), model.feature_count);
  const std::optional<std::vector<float>> baselines = parse_joint_baselines(metadata.objective);
  ArtifactShapContext context{metadata.feature_names, {}};
  if (model.stumps.empty() || !model.stumps.front().multi_output) {
    context.models.push_back(std::move(model));
    return context;
  }
  const std::size_t outputs = model.stumps.front().multi_output->left.size();
  support::invariant(outputs > 0, "a joint model has at least one output");
  for (std::size_t k = 0; k < outputs; ++k) context.models.push_back(joint_output_model(model, k, baselines));
  return context;
}

}  // namespace kestrune::shap
