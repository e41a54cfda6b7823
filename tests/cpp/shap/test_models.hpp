// Small random models shared by the explainer tests: ragged trees of constant sides over a few
// features, with some zero row counts, whose splits take whole bins 0..kTopBin.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "engine/trained_model.hpp"

namespace kestrune::shap::test_models {

using engine::TrainedModel;
using engine::TrainedStump;
using Rows = std::vector<std::vector<float>>;
inline constexpr std::size_t kFeatures = 6;
inline constexpr int kTopBin = 9;

inline std::vector<TrainedStump> random_trees(std::mt19937& rng, int trees, int depth, std::uint32_t features) {
  std::uniform_int_distribution<int> value(-64, 64), count(0, 40), bin(0, kTopBin - 1);
  std::vector<TrainedStump> stumps;
  for (int t = 0; t < trees; ++t) {
    for (std::uint32_t local = 0; local + 1 < (1u << depth); ++local) {
      if (local > 0 && rng() % 5 == 0) continue;  // ragged trees: some subtrees end early
      TrainedStump s;
      s.node_id = (std::uint32_t(t) << 20) | local;
      s.feature_index = rng() % features;
      s.split_bin = std::uint16_t(bin(rng));
      s.default_left = rng() % 2;
      s.left = value(rng) / 64.0f;
      s.right = value(rng) / 64.0f;
      s.left_stats.count = count(rng);
      s.right_stats.count = rng() % 7 == 0 ? 0 : count(rng);
      stumps.push_back(s);
    }
  }
  return stumps;
}

inline core::LinearLeaf linear_leaf(std::mt19937& rng, float intercept) {
  core::LinearLeaf leaf;
  leaf.intercept = intercept;
  for (std::uint32_t f : {std::uint32_t(rng() % kFeatures), std::uint32_t(rng() % kFeatures)}) {
    leaf.feature_indices.push_back(f);
    leaf.coefficients.push_back(float(int(rng() % 33) - 16) / 32.0f);
  }
  return leaf;
}

inline TrainedModel single_model(std::vector<TrainedStump> stumps) {
  TrainedModel m;
  m.stumps = std::move(stumps);
  m.feature_count = kFeatures;
  m.base_prediction = 0.25f;
  return m;
}

// Rows of whole bin numbers 0..kTopBin.
inline Rows random_rows(std::mt19937& rng, std::size_t count, std::size_t features) {
  Rows rows(count);
  for (auto& row : rows) {
    for (std::size_t f = 0; f < features; ++f) row.push_back(float(rng() % (kTopBin + 1)));
  }
  return rows;
}

}  // namespace kestrune::shap::test_models
