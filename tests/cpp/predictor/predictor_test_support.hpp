// Helpers for the predictor tests: error matchers, random models built from TrainedStumps, and a
// reference scorer that walks the stumps directly with the engine's routing rule.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/artifact/container.hpp"
#include "engine/multiclass_model.hpp"
#include "engine/routing.hpp"
#include "engine/trained_model.hpp"
#include "engine/trained_stump.hpp"
#include "predictor/error.hpp"
#include "predictor/predictor.hpp"

namespace kestrune::predictor_testing {

using Bytes = std::vector<std::uint8_t>;
using predictor::PredictorErrorKind;

template <typename F>
::testing::AssertionResult throws_predictor_error(F&& body, PredictorErrorKind kind, std::string_view message) {
  try {
    body();
  } catch (const predictor::PredictorError& error) {
    if (error.kind() == kind && error.message() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << error.debug() << ", wanted \"" << message << "\"";
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << "threw a different exception: " << error.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, wanted \"" << message << "\"";
}

template <typename F>
::testing::AssertionResult throws_invalid_model(F&& body, std::string_view message) {
  return throws_predictor_error(static_cast<F&&>(body), PredictorErrorKind::InvalidModel, message);
}

template <typename F>
::testing::AssertionResult throws_invalid_input(F&& body, std::string_view message) {
  return throws_predictor_error(static_cast<F&&>(body), PredictorErrorKind::InvalidInput, message);
}

inline bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

inline ::testing::AssertionResult same_floats(const std::vector<float>& actual, const std::vector<float>& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure() << "lengths " << actual.size() << " and " << expected.size();
  }
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (!same_bits(actual[i], expected[i])) {
      return ::testing::AssertionFailure() << "index " << i << ": " << actual[i] << " vs " << expected[i];
    }
  }
  return ::testing::AssertionSuccess();
}

inline engine::TrainedStump stump_at(std::uint32_t tree, std::uint32_t local, std::uint32_t feature,
                                     std::uint16_t bin, float left, float right) {
  engine::TrainedStump stump;
  stump.node_id = (tree << 20) | local;
  stump.feature_index = feature;
  stump.split_bin = bin;
  stump.left = left;
  stump.right = right;
  stump.left_stats.count = 3;
  stump.right_stats.count = 4;
  return stump;
}

inline predictor::Predictor load(const Bytes& bytes) { return predictor::Predictor::from_artifact_bytes(bytes); }

// An artifact with the metadata of a `feature_count`-feature model and the given sections.
Bytes artifact_with(std::size_t feature_count, const std::vector<core::SectionPayload>& sections,
                    std::string objective = "squared_error", std::optional<std::uint32_t> num_classes = std::nullopt);

Bytes trees_payload(std::uint32_t feature_count, float base, const std::vector<engine::TrainedStump>& stumps);
Bytes layout_payload(std::uint32_t feature_count);
// A single-output artifact: Trees and PredictorLayout sections, then `extra`.
Bytes trees_artifact(std::uint32_t feature_count, const std::vector<engine::TrainedStump>& stumps, float base = 0.0f,
                     const std::vector<core::SectionPayload>& extra = {}, std::string objective = "squared_error");
Bytes multiclass_payload(std::uint32_t feature_count, const std::vector<float>& baselines,
                         const std::vector<std::vector<engine::TrainedStump>>& class_stumps);

// --- random models ----------------------------------------------------------------------------

struct ModelShape {
  std::size_t trees = 20;
  std::size_t max_splits = 12;    // split nodes per tree
  std::size_t feature_count = 6;
  std::uint16_t max_bin = 40;
  double categorical_rate = 0.15;  // categorical splits; a fifth of them without a bitset
  double linear_rate = 0.1;        // sides with a linear leaf
  bool dart = false;               // per-tree weights other than 1
};

// The stumps of `shape.trees` random trees, tree by tree, each tree's nodes in random order.
std::vector<engine::TrainedStump> random_stumps(std::mt19937_64& rng, const ModelShape& shape,
                                                std::uint32_t first_tree = 0);

// Rows of bin values as floats in [0, max_bin + 2], about 8% NaN.
std::vector<std::vector<float>> random_bin_rows(std::mt19937_64& rng, std::size_t rows, std::size_t features,
                                                std::uint16_t max_bin);

// --- reference scoring ------------------------------------------------------------------------

// The raw score of a binned row: the stumps walked tree by tree (ascending tree index) from local
// id 0, routed with engine::routes_left (NaN as the missing bin), each side value times the tree
// weight of the tree's first stump added in path order.
struct ReferenceForest {
  std::map<std::uint32_t, std::map<std::uint32_t, const engine::TrainedStump*>> trees;  // tree -> local id -> stump
  std::map<std::uint32_t, float> weights;
};
// Indexes `stumps`, which must outlive the result.
ReferenceForest reference_forest(const std::vector<engine::TrainedStump>& stumps);
float reference_raw_score(const ReferenceForest& forest, float base, const std::vector<float>& row);
// The same with categorical splits and linear leaves reading `raw_row` while numeric splits read
// `row`.
float reference_raw_score(const ReferenceForest& forest, float base, const std::vector<float>& row,
                          const std::vector<float>& raw_row);
inline float reference_raw_score(const std::vector<engine::TrainedStump>& stumps, float base,
                                 const std::vector<float>& row) {
  return reference_raw_score(reference_forest(stumps), base, row);
}

float reference_transform(std::string_view objective, float x);
std::vector<float> reference_softmax(std::vector<float> scores);

std::vector<float> flatten(const std::vector<std::vector<float>>& rows);
Bytes to_le_bytes(const std::vector<float>& values);

}  // namespace kestrune::predictor_testing
