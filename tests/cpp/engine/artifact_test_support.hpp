// Helpers for the trained-model and tree payload tests: a wrapped core error matcher, stump
// builders and a field-by-field stump comparison (ChildStats has no equality of its own).
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/artifact/container.hpp"
#include "engine/error.hpp"
#include "engine/trained_model.hpp"
#include "engine/trained_stump.hpp"
#include "engine_test_support.hpp"

namespace kestrune::artifact_testing {

using engine::testing_support::throws_contract_violation;
using engine::testing_support::throws_engine_error;

// An EngineError wrapping a CoreError of `kind` with exactly `message`.
template <typename F>
::testing::AssertionResult throws_wrapped_core_error(F&& body, core::CoreErrorKind kind, std::string_view message) {
  try {
    body();
  } catch (const engine::EngineError& error) {
    if (error.core() && error.core()->kind() == kind && error.core()->message() == message) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "threw " << error.debug() << ", wanted a wrapped \"" << message << "\"";
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << "threw a different exception: " << error.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, wanted \"" << message << "\"";
}

inline engine::TrainedStump numeric_stump(std::uint32_t node_id, std::uint32_t feature, std::uint16_t bin, float left,
                                          float right) {
  engine::TrainedStump stump;
  stump.node_id = node_id;
  stump.feature_index = feature;
  stump.split_bin = bin;
  stump.gain = 1.5f;
  stump.left = left;
  stump.right = right;
  stump.left_stats = {-2.0f, 3.0f, 4.0f, 3};
  stump.right_stats = {2.5f, 5.0f, 6.0f, 5};
  return stump;
}

// A model with every part an artifact can hold: two trees (the second at weight 0.5), multi-output
// values on every stump, categorical and linear leaves, and every optional section.
inline engine::TrainedModel full_trained_model() {
  engine::TrainedModel model;
  model.feature_count = 5;
  model.base_prediction = 0.5f;
  model.objective = "binary_crossentropy";
  for (std::uint32_t tree = 0; tree < 2; ++tree) {
    for (std::uint32_t local = 0; local < 2; ++local) {
      engine::TrainedStump stump = numeric_stump((tree << 20) | local, local, static_cast<std::uint16_t>(tree), 0.5f, -0.5f);
      stump.tree_weight = tree == 1 ? 0.5f : 1.0f;
      stump.multi_output = engine::MultiOutputValues{{0.1f, 0.2f}, {0.3f, 0.4f}};
      model.stumps.push_back(stump);
    }
  }
  model.stumps[1].categorical = true;
  model.stumps[1].category_bitset = std::vector<std::uint8_t>{0x0F, 0xF0};
  model.stumps[2].left = core::LinearLeaf{{1.0f, 2.0f, 3.0f}, {0, 1, 4}, 0.25f};
  model.stumps[3].right = core::LinearLeaf{{-1.0f}, {3}, 0.0f};
  model.native_categorical_features = {1};
  model.categorical_state = core::CategoricalStatePayloadV1{{0, 4}, 1, true};
  model = std::move(model).with_node_debug_stats_from_stumps();
  model.morph_metadata = core::MorphMetadata{{{0.0f, 1.0f, 0.05f}, {0.5f, 0.5f, 0.1f}}, {}, 3, 3};
  model.dro_metadata = core::DroMetadata{0.1f, core::DroMetric::Wasserstein};
  model.neutralization_metadata = core::NeutralizationMetadata{1.0f, 0.5f, core::NeutralizationKind::SplitPenalty};
  model.feature_baseline = std::vector<float>{0.0f, 1.0f, 2.0f, 3.0f, 4.0f};
  return model;
}

inline bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

inline bool same_stats(const engine::ChildStats& a, const engine::ChildStats& b) {
  return same_bits(a.grad_sum, b.grad_sum) && same_bits(a.hess_sum, b.hess_sum) &&
         same_bits(a.grad_sq_sum, b.grad_sq_sum) && a.count == b.count;
}

inline bool same_leaf(const core::LeafValue& a, const core::LeafValue& b) {
  if (a.index() != b.index()) return false;
  if (const float* x = std::get_if<float>(&a)) return same_bits(*x, std::get<float>(b));
  return core::linear_leaf(a) == core::linear_leaf(b);
}

inline ::testing::AssertionResult same_stump(const engine::TrainedStump& a, const engine::TrainedStump& b) {
  const bool same = a.node_id == b.node_id && a.feature_index == b.feature_index && a.split_bin == b.split_bin &&
                    a.default_left == b.default_left && a.categorical == b.categorical &&
                    a.category_bitset == b.category_bitset && same_bits(a.gain, b.gain) &&
                    same_stats(a.left_stats, b.left_stats) && same_stats(a.right_stats, b.right_stats) &&
                    same_leaf(a.left, b.left) && same_leaf(a.right, b.right) && a.multi_output == b.multi_output &&
                    same_bits(a.tree_weight, b.tree_weight);
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "stumps " << a.node_id << " and " << b.node_id << " differ";
}

// The stump as a reload gives it back: gradient sums 0 and hessian sums replaced by the counts.
inline engine::TrainedStump as_reloaded(engine::TrainedStump stump) {
  stump.left_stats = {0.0f, static_cast<float>(stump.left_stats.count), 0.0f, stump.left_stats.count};
  stump.right_stats = {0.0f, static_cast<float>(stump.right_stats.count), 0.0f, stump.right_stats.count};
  return stump;
}

inline std::vector<core::ModelSectionKind> section_kinds(std::span<const std::uint8_t> artifact) {
  std::vector<core::ModelSectionKind> kinds;
  for (const auto& section : core::deserialize_model_artifact_v1(artifact).sections) kinds.push_back(section.kind);
  return kinds;
}

inline core::ModelArtifactSection section_of(core::ModelSectionKind kind, std::vector<std::uint8_t> payload) {
  return {std::move(payload), kind, 0, 0};
}

// Every mutation of `seed`, handed to `parse` one at a time: each truncation, one flipped bit per
// byte, a large little-endian value forged at every offset (counts, lengths, offsets), then 120
// copies with a few random bytes. The draws come from `rng`, so a fixed seed repeats the cases.
inline void for_each_mutation(const std::vector<std::uint8_t>& seed, std::mt19937_64& rng,
                              const std::function<void(const std::vector<std::uint8_t>&)>& parse) {
  using Bytes = std::vector<std::uint8_t>;
  for (std::size_t length = 0; length < seed.size(); ++length) parse(Bytes(seed.begin(), seed.begin() + length));
  for (std::size_t at = 0; at < seed.size(); ++at) {
    Bytes flipped = seed;
    flipped[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    parse(flipped);
  }
  static constexpr std::uint64_t kLarge[] = {0xFFFFFFFFull, 0x80000001ull, 0xFFFFFFFFFFFFFFF0ull};
  for (std::size_t at = 0; at + 4 <= seed.size(); ++at) {
    Bytes forged = seed;
    const std::uint64_t value = kLarge[rng() % 3];
    for (std::size_t k = 0; k < 8 && at + k < forged.size(); ++k) forged[at + k] = static_cast<std::uint8_t>(value >> (8 * k));
    parse(forged);
  }
  for (int round = 0; round < 120; ++round) {
    Bytes scrambled = seed;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits && !scrambled.empty(); ++e) scrambled[rng() % scrambled.size()] = static_cast<std::uint8_t>(rng());
    parse(scrambled);
  }
}

}  // namespace kestrune::artifact_testing
