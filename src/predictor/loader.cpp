// Predictor::from_artifact_bytes: the single-output and the multiclass loading paths.
#include <algorithm>
#include <limits>
#include <map>
#include <string>
#include <utility>

#include "core/artifact/container.hpp"
#include "core/artifact/linear_leaf_payload.hpp"
#include "core/artifact/metadata_payloads.hpp"
#include "core/artifact/native_categorical_payload.hpp"
#include "core/artifact/required_sections.hpp"
#include "core/artifact/section_kind.hpp"
#include "predictor/error.hpp"
#include "predictor/predictor.hpp"

namespace kestrune::predictor {
namespace {

using core::ModelSectionKind;
using Sections = std::span<const core::ModelArtifactSection>;

std::size_t count_sections(Sections sections, ModelSectionKind kind) {
  return static_cast<std::size_t>(std::count_if(sections.begin(), sections.end(),
                                                [kind](const core::ModelArtifactSection& s) { return s.kind == kind; }));
}

void attach_linear_leaves(PredictorStump& stump, const core::LinearLeafEntry& entry) {
  if (entry.left) stump.left_linear = linear_leaf_to_compact(*entry.left);
  if (entry.right) stump.right_linear = linear_leaf_to_compact(*entry.right);
}

void load_single_output(Sections sections, std::uint64_t metadata_features, Predictor& predictor) {
  const core::RequiredSectionReport report = core::required_section_compatibility_report(sections);
  if (!report.accepts(core::RequiredSectionMode::LegacyCompatible)) {
    throw PredictorError::invalid_model(
        core::format_required_section_mode_error(report, core::RequiredSectionMode::LegacyCompatible));
  }
  const core::ModelArtifactSection* trees_section = find_required_kind(sections, ModelSectionKind::Trees);
  if (trees_section == nullptr) throw PredictorError::invalid_model("model artifact missing required Trees section");
  const std::uint64_t layout_features = resolve_predictor_layout(sections, metadata_features);
  DecodedTreesPayload decoded = decode_trained_model_payload(trees_section->payload);
  std::vector<PredictorStump>& stumps = decoded.stumps;

  if (auto native = core::decode_optional_native_categorical_splits_section(sections)) {
    for (core::NativeCategoricalSplitEntry& entry : native->entries) {
      if (entry.stump_index < stumps.size()) stumps[entry.stump_index].category_bitset = std::move(entry.bitset);
    }
  }
  if (auto linear = core::decode_optional_linear_leaf_coefficients_section(sections)) {
    for (const core::LinearLeafEntry& entry : *linear) {
      if (entry.stump_index < stumps.size()) attach_linear_leaves(stumps[entry.stump_index], entry);
    }
  }
  Forest forest = build_predictor_trees(stumps, metadata_features);
  if (auto weights = core::decode_optional_dart_tree_weights_section(sections)) {
    apply_dart_tree_weights(forest, stumps, *weights);
  }
  if (layout_features != metadata_features) {
    throw PredictorError::invalid_model("predictor layout feature_count " + std::to_string(layout_features) +
                                        " does not match metadata feature count " + std::to_string(metadata_features));
  }
  if (decoded.feature_count != layout_features) {
    throw PredictorError::invalid_model("trees payload feature_count " + std::to_string(decoded.feature_count) +
                                        " does not match predictor layout feature_count " +
                                        std::to_string(layout_features));
  }
  predictor.trees = std::move(forest);
  predictor.base_score = decoded.base_score;
}

void load_multiclass(Sections sections, const core::ModelArtifactSection& trees_section,
                     std::uint64_t metadata_features, Predictor& predictor) {
  const std::uint64_t layout_features = resolve_predictor_layout(sections, metadata_features);
  DecodedMultiClassPayload decoded = decode_multiclass_trees_payload(trees_section.payload);
  std::vector<std::vector<PredictorStump>>& class_stumps = decoded.class_stumps;

  if (auto native = core::decode_optional_native_categorical_splits_section(sections)) {
    std::map<std::uint32_t, std::vector<std::uint8_t>> by_position;  // a later entry wins
    for (core::NativeCategoricalSplitEntry& entry : native->entries) {
      by_position[entry.stump_index] = std::move(entry.bitset);
    }
    std::uint64_t position = 0;
    for (auto& stumps : class_stumps) {
      for (PredictorStump& stump : stumps) {
        if (position <= std::numeric_limits<std::uint32_t>::max()) {
          const auto it = by_position.find(static_cast<std::uint32_t>(position));
          if (it != by_position.end()) stump.category_bitset = it->second;
        }
        ++position;
      }
    }
  }
  if (layout_features != metadata_features) {
    throw PredictorError::invalid_model("predictor layout feature_count " + std::to_string(layout_features) +
                                        " does not match metadata feature count " + std::to_string(metadata_features));
  }
  if (decoded.feature_count != layout_features) {
    throw PredictorError::invalid_model("multiclass trees feature_count " + std::to_string(decoded.feature_count) +
                                        " does not match metadata feature count " + std::to_string(metadata_features));
  }
  if (auto linear = core::decode_optional_linear_leaf_coefficients_section(sections)) {
    // ends[c] is the global position just past class c's stumps.
    std::vector<std::uint64_t> ends;
    std::uint64_t total = 0;
    for (const auto& stumps : class_stumps) ends.push_back(total += stumps.size());
    for (const core::LinearLeafEntry& entry : *linear) {
      const std::uint64_t position = entry.stump_index;
      const auto klass = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), position) - ends.begin());
      if (klass == class_stumps.size()) continue;  // at or past the last stump
      const std::uint64_t start = klass == 0 ? 0 : ends[klass - 1];
      attach_linear_leaves(class_stumps[klass][position - start], entry);
    }
  }
  std::vector<Forest> class_trees;
  class_trees.reserve(class_stumps.size());
  for (const auto& stumps : class_stumps) class_trees.push_back(build_predictor_trees(stumps, metadata_features));
  // DART weights: one per stump over all classes in global position order.
  if (auto weights = core::decode_optional_dart_tree_weights_section(sections)) {
    std::size_t total = 0;
    for (const auto& stumps : class_stumps) total += stumps.size();
    if (weights->size() != total) {
      throw PredictorError::invalid_model("DartTreeWeights length " + std::to_string(weights->size()) +
                                          " != stump count " + std::to_string(total));
    }
    const std::span<const float> all(*weights);
    std::size_t start = 0;
    for (std::size_t c = 0; c < class_stumps.size(); ++c) {
      apply_dart_tree_weights(class_trees[c], class_stumps[c], all.subspan(start, class_stumps[c].size()));
      start += class_stumps[c].size();
    }
  }

  predictor.num_classes = decoded.class_baselines.size();
  predictor.class_baselines = std::move(decoded.class_baselines);
  predictor.class_trees = std::move(class_trees);
  predictor.base_score = 0.0f;
}

}  // namespace

Predictor Predictor::from_artifact_bytes(std::span<const std::uint8_t> bytes) {
  return with_core_errors([&] {
    core::ParsedModelArtifactV1 parsed = core::deserialize_model_artifact_v1(bytes);
    const Sections sections = parsed.sections;
    const std::uint64_t metadata_features = parsed.contract.metadata.feature_names.size();

    Predictor predictor;
    predictor.categorical_state = core::decode_optional_categorical_state_section_v1(sections, metadata_features);
    if (count_sections(sections, ModelSectionKind::MultiClassTrees) > 1) {
      throw PredictorError::invalid_model("model artifact contains duplicate required MultiClassTrees sections");
    }
    // Joint multi-output models keep a K-vector per side in that section; scoring them with the
    // scalar side values would give plausible but wrong numbers, so they are refused here.
    if (count_sections(sections, ModelSectionKind::MultiOutputLeafValues) > 0) {
      throw PredictorError::invalid_model(
          "model artifact carries MultiOutputLeafValues; multi-output models are scored by the joint predictor");
    }
    const core::ModelArtifactSection* multiclass = find_required_kind(sections, ModelSectionKind::MultiClassTrees);
    if (multiclass != nullptr) {
      load_multiclass(sections, *multiclass, metadata_features, predictor);
    } else {
      load_single_output(sections, metadata_features, predictor);
    }
    predictor.metadata = std::move(parsed.contract.metadata);
    return predictor;
  });
}

std::size_t Predictor::total_tree_count() const {
  std::size_t total = trees.tree_count();
  if (class_trees) {
    for (const Forest& forest : *class_trees) total += forest.tree_count();
  }
  return total;
}

}  // namespace kestrune::predictor
