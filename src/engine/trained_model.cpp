#include "engine/trained_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/artifact/container.hpp"
#include "core/artifact/linear_leaf_payload.hpp"
#include "core/artifact/multi_output_payload.hpp"
#include "core/artifact/native_categorical_payload.hpp"
#include "engine/artifact_sections.hpp"
#include "engine/error.hpp"
#include "engine/tree_node.hpp"
#include "engine/tree_payload.hpp"

namespace kestrune::engine {
namespace {

using core::ModelSectionKind;

// |w - 1| above float32 machine epsilon; a NaN weight counts as rescaled so it is not lost.
bool is_rescaled_weight(float weight) {
  return !(std::fabs(weight - 1.0f) <= std::numeric_limits<float>::epsilon());
}

std::optional<core::LinearLeaf> linear_part(const core::LeafValue& value) {
  if (const auto* leaf = core::linear_leaf_if(value)) return *leaf;
  return std::nullopt;
}

std::vector<std::uint8_t> native_categorical_section(const TrainedModel& model) {
  core::NativeCategoricalSplitsPayload payload;
  payload.feature_indices = model.native_categorical_features;
  for (std::size_t i = 0; i < model.stumps.size(); ++i) {
    const TrainedStump& stump = model.stumps[i];
    // A categorical split without a bitset routes by default_left; writing it as an empty bitset
    // would send every category right after a reload, so such stumps get no entry.
    if (!stump.categorical || !stump.category_bitset) continue;
    payload.entries.push_back({static_cast<std::uint32_t>(i), *stump.category_bitset});
  }
  return core::encode_native_categorical_splits_payload(payload);
}

std::vector<std::uint8_t> linear_leaf_section(const TrainedModel& model) {
  core::LinearLeafCoefficientsPayload entries;
  for (std::size_t i = 0; i < model.stumps.size(); ++i) {
    const TrainedStump& stump = model.stumps[i];
    if (!has_linear_leaf(stump)) continue;
    entries.push_back({linear_part(stump.left), linear_part(stump.right), static_cast<std::uint32_t>(i)});
  }
  return core::encode_linear_leaf_coefficients_payload(entries);
}

std::vector<std::uint8_t> dart_weights_section(const TrainedModel& model) {
  std::vector<float> weights;
  weights.reserve(model.stumps.size());
  for (const TrainedStump& stump : model.stumps) weights.push_back(stump.tree_weight);
  return core::encode_dart_tree_weights_payload(weights);
}

// Every stump with values must hold K left and K right values, K > 0 taken from the first such
// stump: the reader splits each list of 2K values in half and reads an empty list as "no values".
std::vector<std::uint8_t> multi_output_section(const TrainedModel& model) {
  std::optional<std::size_t> outputs;
  core::MultiOutputLeafValuesPayload payload;
  payload.stump_values.reserve(model.stumps.size());
  for (std::size_t i = 0; i < model.stumps.size(); ++i) {
    const auto& values = model.stumps[i].multi_output;
    if (!values) {
      payload.stump_values.emplace_back();
      continue;
    }
    if (!outputs) {
      outputs = values->left.size();
      if (*outputs == 0) {
        throw EngineError::contract_violation("multi_output values of stump " + std::to_string(i) +
                                              " hold no outputs");
      }
      if (*outputs > std::numeric_limits<std::uint32_t>::max() / 2) {
        throw EngineError::contract_violation("multi_output output count exceeds u32::MAX");
      }
    }
    if (values->left.size() != *outputs || values->right.size() != *outputs) {
      throw EngineError::contract_violation("multi_output values of stump " + std::to_string(i) + " hold " +
                                            std::to_string(values->left.size()) + " left and " +
                                            std::to_string(values->right.size()) + " right values, expected " +
                                            std::to_string(*outputs) + " each");
    }
    std::vector<float> both = values->left;
    both.insert(both.end(), values->right.begin(), values->right.end());
    payload.stump_values.push_back(std::move(both));
  }
  payload.n_outputs = static_cast<std::uint32_t>(outputs.value_or(0));
  return core::encode_multi_output_leaf_values_payload(payload);
}

void attach_multi_output(TrainedModel& model, const core::MultiOutputLeafValuesPayload& payload) {
  if (payload.stump_values.size() != model.stumps.size()) {
    throw EngineError::contract_violation("MultiOutputLeafValues length " + std::to_string(payload.stump_values.size()) +
                                          " != stump count " + std::to_string(model.stumps.size()));
  }
  const std::uint64_t expected = 2 * static_cast<std::uint64_t>(payload.n_outputs);
  for (std::size_t i = 0; i < model.stumps.size(); ++i) {
    const std::vector<float>& values = payload.stump_values[i];
    if (values.empty()) continue;
    if (values.size() != expected) {
      throw EngineError::contract_violation("MultiOutputLeafValues stump entry has " + std::to_string(values.size()) +
                                            " values, expected 2 × n_outputs = " + std::to_string(expected));
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(payload.n_outputs);
    model.stumps[i].multi_output = MultiOutputValues{{values.begin(), middle}, {middle, values.end()}};
  }
}

}  // namespace

std::size_t TrainedModel::rounds_completed() const {
  if (stumps.empty()) return 0;
  std::uint32_t last_tree = 0;
  for (const TrainedStump& stump : stumps) last_tree = std::max(last_tree, tree_index_of(stump.node_id));
  return static_cast<std::size_t>(last_tree) + 1;
}

std::vector<std::uint8_t> TrainedModel::to_artifact_bytes() const {
  return with_core_errors([&] {
    const bool any_linear = std::any_of(stumps.begin(), stumps.end(), has_linear_leaf);
    std::vector<core::SectionPayload> sections;
    sections.emplace_back(ModelSectionKind::Trees, encode_trained_model_payload(*this));
    sections.emplace_back(ModelSectionKind::PredictorLayout, encode_predictor_layout_payload(feature_count));
    if (categorical_state) {
      // The reader checks the indices against the feature count; so does the writer.
      core::validate_categorical_state_payload_v1(*categorical_state, feature_count);
      sections.emplace_back(ModelSectionKind::CategoricalState,
                            core::encode_categorical_state_payload_v1(*categorical_state));
    }
    if (node_debug_stats) {
      sections.emplace_back(ModelSectionKind::NodeDebugStats, encode_node_debug_stats_payload(*node_debug_stats));
    }
    if (std::any_of(stumps.begin(), stumps.end(), [](const TrainedStump& s) { return s.categorical; })) {
      sections.emplace_back(ModelSectionKind::NativeCategoricalSplits, native_categorical_section(*this));
    }
    if (morph_metadata) {
      sections.emplace_back(ModelSectionKind::MorphMetadata, core::encode_morph_metadata_payload(*morph_metadata));
    }
    if (dro_metadata) {
      sections.emplace_back(ModelSectionKind::DroMetadata, core::encode_dro_metadata_payload(*dro_metadata));
    }
    if (neutralization_metadata) {
      sections.emplace_back(ModelSectionKind::NeutralizationMetadata,
                            core::encode_neutralization_metadata_payload(*neutralization_metadata));
    }
    if (any_linear) sections.emplace_back(ModelSectionKind::LinearLeafCoefficients, linear_leaf_section(*this));
    if (feature_baseline && feature_baseline->size() == feature_count && any_linear) {
      sections.emplace_back(ModelSectionKind::FeatureBaseline, core::encode_feature_baseline_payload(*feature_baseline));
    }
    if (std::any_of(stumps.begin(), stumps.end(), [](const TrainedStump& s) { return is_rescaled_weight(s.tree_weight); })) {
      sections.emplace_back(ModelSectionKind::DartTreeWeights, dart_weights_section(*this));
    }
    if (std::any_of(stumps.begin(), stumps.end(), [](const TrainedStump& s) { return s.multi_output.has_value(); })) {
      sections.emplace_back(ModelSectionKind::MultiOutputLeafValues, multi_output_section(*this));
    }
    return core::serialize_model_artifact_v1(model_metadata_for(feature_count, objective, std::nullopt), sections);
  });
}

TrainedModel TrainedModel::from_artifact_bytes(std::span<const std::uint8_t> bytes) {
  return from_artifact_bytes_with_mode(bytes, static_cast<std::uint32_t>(core::RequiredSectionMode::LegacyCompatible));
}

TrainedModel TrainedModel::from_artifact_bytes_with_mode(std::span<const std::uint8_t> bytes, std::uint32_t mode_value) {
  const core::RequiredSectionMode mode = required_section_mode_from_u32(mode_value);
  return with_core_errors([&] {
    const core::ParsedModelArtifactV1 parsed = core::deserialize_model_artifact_v1(bytes);
    const std::span<const core::ModelArtifactSection> sections = parsed.sections;
    const std::size_t feature_names = parsed.contract.metadata.feature_names.size();

    const core::RequiredSectionReport report = core::required_section_compatibility_report(sections);
    if (!report.accepts(mode)) {
      throw EngineError::contract_violation(core::format_required_section_mode_error(report, mode));
    }
    const core::ModelArtifactSection& trees = required_single_section(sections, ModelSectionKind::Trees);
    const std::size_t layout_features = resolve_predictor_layout(sections, feature_names, mode);
    TrainedModel model = decode_trained_model_payload(trees.payload);
    if (layout_features != feature_names) {
      throw EngineError::contract_violation("predictor layout feature_count " + std::to_string(layout_features) +
                                            " does not match metadata feature count " + std::to_string(feature_names));
    }
    if (model.feature_count != feature_names) {
      throw EngineError::contract_violation("decoded trees feature_count " + std::to_string(model.feature_count) +
                                            " does not match predictor layout feature_count " +
                                            std::to_string(layout_features));
    }

    model.categorical_state = core::decode_optional_categorical_state_section_v1(sections, feature_names);
    model.node_debug_stats = decode_optional_node_debug_stats_section(sections);
    if (auto native = core::decode_optional_native_categorical_splits_section(sections)) {
      model.native_categorical_features = std::move(native->feature_indices);
      for (core::NativeCategoricalSplitEntry& entry : native->entries) {
        if (entry.stump_index < model.stumps.size()) {
          model.stumps[entry.stump_index].category_bitset = std::move(entry.bitset);
        }
      }
    }
    model.morph_metadata = core::decode_optional_morph_metadata_artifact_section(sections);
    model.dro_metadata = core::decode_optional_dro_metadata_artifact_section(sections);
    model.neutralization_metadata = core::decode_optional_neutralization_metadata_artifact_section(sections);
    if (auto linear = core::decode_optional_linear_leaf_coefficients_section(sections)) {
      for (core::LinearLeafEntry& entry : *linear) {
        if (entry.stump_index >= model.stumps.size()) continue;
        TrainedStump& stump = model.stumps[entry.stump_index];
        if (entry.left) stump.left = std::move(*entry.left);
        if (entry.right) stump.right = std::move(*entry.right);
      }
    }
    if (auto baseline = core::decode_optional_feature_baseline_section(sections)) {
      if (baseline->size() == feature_names) model.feature_baseline = std::move(*baseline);
    }
    if (auto weights = core::decode_optional_dart_tree_weights_section(sections)) {
      if (weights->size() != model.stumps.size()) {
        throw EngineError::contract_violation("DartTreeWeights length " + std::to_string(weights->size()) +
                                              " != stump count " + std::to_string(model.stumps.size()));
      }
      for (std::size_t i = 0; i < weights->size(); ++i) model.stumps[i].tree_weight = (*weights)[i];
    }
    if (auto multi = core::decode_optional_multi_output_leaf_values_section(sections)) {
      attach_multi_output(model, *multi);
    }
    model.feature_count = feature_names;
    model.objective = parsed.contract.metadata.objective;
    return model;
  });
}

TrainedModel TrainedModel::with_categorical_state(std::optional<core::CategoricalStatePayloadV1> state) && {
  if (state) core::validate_categorical_state_payload_v1(*state, feature_count);
  categorical_state = std::move(state);
  return std::move(*this);
}

TrainedModel TrainedModel::with_node_debug_stats(std::optional<std::vector<NodeDebugStatsRecord>> records) && {
  if (records) {
    for (const NodeDebugStatsRecord& record : *records) {
      if (record.feature_index >= feature_count) {
        throw EngineError::contract_violation("node debug stats feature_index " +
                                              std::to_string(record.feature_index) + " exceeds feature_count " +
                                              std::to_string(feature_count));
      }
    }
  }
  node_debug_stats = std::move(records);
  return std::move(*this);
}

TrainedModel TrainedModel::with_node_debug_stats_from_stumps() && {
  std::vector<NodeDebugStatsRecord> records;
  records.reserve(stumps.size());
  for (const TrainedStump& stump : stumps) records.push_back(NodeDebugStatsRecord::from_stump(stump));
  return std::move(*this).with_node_debug_stats(std::move(records));
}

}  // namespace kestrune::engine
