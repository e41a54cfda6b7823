#include "engine/multiclass_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <utility>

#include "core/artifact/container.hpp"
#include "core/artifact/linear_leaf_payload.hpp"
#include "core/artifact/metadata_payloads.hpp"
#include "core/artifact/native_categorical_payload.hpp"
#include "engine/artifact_sections.hpp"
#include "engine/error.hpp"
#include "engine/tree_node.hpp"
#include "engine/tree_payload.hpp"

namespace kestrune::engine {
namespace {

using core::ModelSectionKind;

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kHeaderLength = 12;

std::optional<core::LinearLeaf> linear_part(const core::LeafValue& value) {
  if (const auto* leaf = core::linear_leaf_if(value)) return *leaf;
  return std::nullopt;
}

// Calls visit(global position, stump) over all classes in class order.
template <typename Stumps, typename Visit>
void for_each_global_stump(Stumps& class_stumps, Visit&& visit) {
  std::size_t position = 0;
  for (auto& stumps : class_stumps) {
    for (auto& stump : stumps) visit(position++, stump);
  }
}

void check_shape(const MultiClassTrainedModel& model) {
  if (model.feature_count > kU32Max) throw EngineError::contract_violation("feature_count exceeds u32::MAX");
  if (model.num_classes > kU32Max) throw EngineError::contract_violation("num_classes exceeds u32::MAX");
  // The payload states the class count once and a reader takes that many baselines and lists:
  // lists of any other length would be cut or padded silently.
  if (model.class_baselines.size() != model.num_classes) {
    throw EngineError::contract_violation("class_baselines length " + std::to_string(model.class_baselines.size()) +
                                          " does not match num_classes " + std::to_string(model.num_classes));
  }
  if (model.class_stumps.size() != model.num_classes) {
    throw EngineError::contract_violation("class_stumps length " + std::to_string(model.class_stumps.size()) +
                                          " does not match num_classes " + std::to_string(model.num_classes));
  }
}

std::vector<std::uint8_t> multiclass_trees_payload(const MultiClassTrainedModel& model) {
  support::ByteWriter writer;
  writer.put_u32(1);
  writer.put_u32(static_cast<std::uint32_t>(model.num_classes));
  writer.put_u32(static_cast<std::uint32_t>(model.feature_count));
  for (const float baseline : model.class_baselines) writer.put_f32(baseline);
  std::uint64_t total = 0;
  for (const auto& stumps : model.class_stumps) {
    if (stumps.size() > kU32Max) throw EngineError::contract_violation("stump count exceeds u32::MAX");
    writer.put_u32(static_cast<std::uint32_t>(stumps.size()));
    total += stumps.size();
  }
  // Sections address stumps by a u32 global position.
  if (total > kU32Max) throw EngineError::contract_violation("stump count exceeds u32::MAX");
  writer.bytes().reserve(writer.size() + kStumpRecordLength * total);
  for (const auto& stumps : model.class_stumps) {
    for (const TrainedStump& stump : stumps) write_stump_record(writer, stump);
  }
  return writer.take();
}

std::vector<std::uint8_t> native_categorical_section(const MultiClassTrainedModel& model) {
  core::NativeCategoricalSplitsPayload payload;
  std::set<std::uint32_t> features;
  for_each_global_stump(model.class_stumps, [&](std::size_t position, const TrainedStump& stump) {
    if (!stump.categorical) return;
    features.insert(stump.feature_index);
    // Without a bitset the split routes by default_left; an empty entry would change that.
    if (stump.category_bitset) {
      payload.entries.push_back({static_cast<std::uint32_t>(position), *stump.category_bitset});
    }
  });
  payload.feature_indices.assign(features.begin(), features.end());
  return core::encode_native_categorical_splits_payload(payload);
}

std::vector<std::uint8_t> linear_leaf_section(const MultiClassTrainedModel& model) {
  core::LinearLeafCoefficientsPayload entries;
  for_each_global_stump(model.class_stumps, [&](std::size_t position, const TrainedStump& stump) {
    if (!has_linear_leaf(stump)) return;
    entries.push_back({linear_part(stump.left), linear_part(stump.right), static_cast<std::uint32_t>(position)});
  });
  return core::encode_linear_leaf_coefficients_payload(entries);
}

// DART rescales trees; a weight within float epsilon of 1 (not NaN) needs no record.
bool is_rescaled_weight(float weight) { return !(std::fabs(weight - 1.0f) <= std::numeric_limits<float>::epsilon()); }

// One weight per stump in global position order, so that a reloaded DART model predicts as trained.
std::vector<std::uint8_t> dart_weights_section(const MultiClassTrainedModel& model) {
  std::vector<float> weights;
  for_each_global_stump(model.class_stumps, [&](std::size_t, const TrainedStump& stump) {
    weights.push_back(stump.tree_weight);
  });
  return core::encode_dart_tree_weights_payload(weights);
}

struct DecodedTrees {
  std::vector<float> baselines;
  std::vector<std::vector<TrainedStump>> class_stumps;
  std::size_t feature_count = 0;
};

DecodedTrees decode_multiclass_trees(std::span<const std::uint8_t> payload) {
  if (payload.size() < kHeaderLength) throw EngineError::contract_violation("multiclass trees payload too small");
  const std::uint32_t version = read_u32_le(payload, 0);
  if (version != 1) {
    throw EngineError::contract_violation("unsupported multiclass trees format version " + std::to_string(version));
  }
  const std::uint64_t classes = read_u32_le(payload, 4);
  DecodedTrees decoded;
  decoded.feature_count = read_u32_le(payload, 8);
  if (payload.size() < kHeaderLength + 4 * classes) {
    throw EngineError::contract_violation("multiclass trees payload too small for baselines");
  }
  decoded.baselines.reserve(classes);
  for (std::size_t k = 0; k < classes; ++k) decoded.baselines.push_back(read_f32_le(payload, kHeaderLength + 4 * k));
  if (payload.size() < kHeaderLength + 8 * classes) {
    throw EngineError::contract_violation("multiclass trees payload too small for stump counts");
  }
  std::vector<std::uint32_t> counts;
  counts.reserve(classes);
  std::uint64_t total = 0;  // at most (2^32 - 1)^2, which fits
  for (std::size_t k = 0; k < classes; ++k) {
    counts.push_back(read_u32_le(payload, kHeaderLength + 4 * classes + 4 * k));
    total += counts.back();
  }
  const std::uint64_t records_start = kHeaderLength + 8 * classes;
  // 32 * total may pass 2^64 for absurd counts; such a length can never match.
  const bool fits = total <= (std::numeric_limits<std::uint64_t>::max() - records_start) / kStumpRecordLength;
  const std::uint64_t expected = fits ? records_start + kStumpRecordLength * total : 0;
  if (!fits || payload.size() != expected) {
    const std::string expected_text =
        fits ? std::to_string(expected) : "more than " + std::to_string(std::numeric_limits<std::uint64_t>::max());
    throw EngineError::contract_violation("multiclass trees payload length " + std::to_string(payload.size()) +
                                          " does not match expected " + expected_text);
  }
  decoded.class_stumps.resize(classes);
  std::size_t offset = records_start;
  for (std::size_t k = 0; k < classes; ++k) {
    decoded.class_stumps[k].reserve(counts[k]);
    for (std::uint32_t j = 0; j < counts[k]; ++j) {
      decoded.class_stumps[k].push_back(read_stump_record(payload, offset));
      offset += kStumpRecordLength;
    }
  }
  return decoded;
}

// The stump at a global position, or nullptr past the last one. `offsets` holds each class's
// first global position.
TrainedStump* stump_at(std::vector<std::vector<TrainedStump>>& class_stumps, const std::vector<std::size_t>& offsets,
                       std::size_t position) {
  const auto after = std::upper_bound(offsets.begin(), offsets.end(), position);
  if (after == offsets.begin()) return nullptr;
  const std::size_t cls = static_cast<std::size_t>(after - offsets.begin()) - 1;
  const std::size_t local = position - offsets[cls];
  if (local >= class_stumps[cls].size()) return nullptr;
  return &class_stumps[cls][local];
}

}  // namespace

std::size_t MultiClassTrainedModel::rounds_completed() const {
  if (class_stumps.empty() || class_stumps[0].empty()) return 0;
  std::uint32_t last_tree = 0;
  for (const TrainedStump& stump : class_stumps[0]) last_tree = std::max(last_tree, tree_index_of(stump.node_id));
  return static_cast<std::size_t>(last_tree) + 1;
}

std::vector<std::uint8_t> MultiClassTrainedModel::to_artifact_bytes() const {
  return with_core_errors([&] {
    check_shape(*this);
    std::vector<core::SectionPayload> sections;
    sections.emplace_back(ModelSectionKind::MultiClassTrees, multiclass_trees_payload(*this));
    sections.emplace_back(ModelSectionKind::PredictorLayout, encode_predictor_layout_payload(feature_count));
    if (categorical_state) {
      core::validate_categorical_state_payload_v1(*categorical_state, feature_count);
      sections.emplace_back(ModelSectionKind::CategoricalState,
                            core::encode_categorical_state_payload_v1(*categorical_state));
    }
    bool any_categorical = false;
    bool any_linear = false;
    bool any_rescaled = false;
    for_each_global_stump(class_stumps, [&](std::size_t, const TrainedStump& stump) {
      any_categorical = any_categorical || stump.categorical;
      any_linear = any_linear || has_linear_leaf(stump);
      any_rescaled = any_rescaled || is_rescaled_weight(stump.tree_weight);
    });
    if (any_categorical) {
      sections.emplace_back(ModelSectionKind::NativeCategoricalSplits, native_categorical_section(*this));
    }
    if (morph_metadata) {
      sections.emplace_back(ModelSectionKind::MorphMetadata, core::encode_morph_metadata_payload(*morph_metadata));
    }
    if (dro_metadata) {
      sections.emplace_back(ModelSectionKind::DroMetadata, core::encode_dro_metadata_payload(*dro_metadata));
    }
    if (any_linear) sections.emplace_back(ModelSectionKind::LinearLeafCoefficients, linear_leaf_section(*this));
    if (any_rescaled) sections.emplace_back(ModelSectionKind::DartTreeWeights, dart_weights_section(*this));
    const auto metadata = model_metadata_for(feature_count, objective, static_cast<std::uint32_t>(num_classes));
    return core::serialize_model_artifact_v1(metadata, sections);
  });
}

MultiClassTrainedModel MultiClassTrainedModel::from_artifact_bytes(std::span<const std::uint8_t> bytes) {
  return with_core_errors([&] {
    const core::ParsedModelArtifactV1 parsed = core::deserialize_model_artifact_v1(bytes);
    const std::span<const core::ModelArtifactSection> sections = parsed.sections;
    const core::ModelArtifactSection& trees = required_single_section(sections, ModelSectionKind::MultiClassTrees);
    DecodedTrees decoded = decode_multiclass_trees(trees.payload);

    MultiClassTrainedModel model;
    model.num_classes = decoded.baselines.size();
    model.feature_count = decoded.feature_count;
    model.class_baselines = std::move(decoded.baselines);
    model.class_stumps = std::move(decoded.class_stumps);
    model.categorical_state = core::decode_optional_categorical_state_section_v1(sections, model.feature_count);

    std::vector<std::size_t> offsets;
    offsets.reserve(model.class_stumps.size());
    std::size_t total = 0;
    for (const auto& stumps : model.class_stumps) {
      offsets.push_back(total);
      total += stumps.size();
    }
    if (auto native = core::decode_optional_native_categorical_splits_section(sections)) {
      for (core::NativeCategoricalSplitEntry& entry : native->entries) {
        if (TrainedStump* stump = stump_at(model.class_stumps, offsets, entry.stump_index)) {
          stump->category_bitset = std::move(entry.bitset);
        }
      }
    }
    model.morph_metadata = core::decode_optional_morph_metadata_artifact_section(sections);
    model.dro_metadata = core::decode_optional_dro_metadata_artifact_section(sections);
    if (auto linear = core::decode_optional_linear_leaf_coefficients_section(sections)) {
      for (core::LinearLeafEntry& entry : *linear) {
        TrainedStump* stump = stump_at(model.class_stumps, offsets, entry.stump_index);
        if (stump == nullptr) continue;
        if (entry.left) stump->left = std::move(*entry.left);
        if (entry.right) stump->right = std::move(*entry.right);
      }
    }
    if (auto weights = core::decode_optional_dart_tree_weights_section(sections)) {
      if (weights->size() != total) {
        throw EngineError::contract_violation("DartTreeWeights length " + std::to_string(weights->size()) +
                                              " != stump count " + std::to_string(total));
      }
      for_each_global_stump(model.class_stumps, [&](std::size_t position, TrainedStump& stump) {
        stump.tree_weight = (*weights)[position];
      });
    }
    model.objective = parsed.contract.metadata.objective;
    return model;
  });
}

MultiClassTrainedModel MultiClassTrainedModel::with_categorical_state(
    std::optional<core::CategoricalStatePayloadV1> state) && {
  if (state) core::validate_categorical_state_payload_v1(*state, feature_count);
  categorical_state = std::move(state);
  return std::move(*this);
}

}  // namespace kestrune::engine
