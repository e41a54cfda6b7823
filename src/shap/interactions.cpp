#include "shap/interactions.hpp"

#include <algorithm>
#include <cstdint>

#include "parallel/parallel.hpp"
#include "shap/linear_leaf.hpp"
#include "shap/model_structure.hpp"
#include "shap/tree_shap_recursion.hpp"

namespace kestrune::shap {
namespace {

// A row costs 1 + (split features per tree) passes over every tree: chunks stay small so that
// uneven rows still balance across the pool.
constexpr std::size_t kRowsPerChunk = 4;

// Per-thread buffers of one chunk of rows: nothing is allocated per row but the result.
struct RowBuffers {
  PathScratch scratch;
  std::vector<double> phi;
  std::vector<double> on;
  std::vector<double> off;
  std::vector<double> matrix;

  RowBuffers(std::size_t max_depth, std::size_t features)
      : scratch(max_depth), phi(features), on(features), off(features), matrix(features * features) {}
};

}  // namespace

ShapInteractionBatch explain_interactions_tree_shap(const engine::TrainedModel& model,
                                                    std::span<const std::vector<float>> rows,
                                                    const BinningContext* binning) {
  check_split_features(model);
  const StumpIndex index = index_stumps(model);
  const ModelTreeForms forms = build_model_tree_forms(index, model);
  const std::size_t features = model.feature_count;
  // Conditioning on a feature changes nothing in a tree that never splits on it (both passes give
  // the same values, whose difference is exactly zero), so each feature visits only its trees.
  std::vector<std::vector<std::uint32_t>> trees_of_feature(features);
  for (std::size_t t = 0; t < forms.trees.size(); ++t) {
    for (const std::uint32_t f : forms.trees[t].features) trees_of_feature[f].push_back(static_cast<std::uint32_t>(t));
  }
  const bool linear = has_linear_leaves(model);
  ShapInteractionBatch batch;
  batch.feature_count = features;
  batch.expected_value = forms.expected_value;
  batch.values.resize(rows.size());
  parallel::parallel_for_chunks(rows.size(), kRowsPerChunk, [&](std::size_t first, std::size_t last) {
    RowBuffers buffers(forms.max_depth, features);
    std::vector<double>& matrix = buffers.matrix;
    for (std::size_t r = first; r < last; ++r) {
      const std::span<const float> row = rows[r];
      tree_shap_row(forms, row, binning, buffers.scratch, buffers.phi);
      std::fill(matrix.begin(), matrix.end(), 0.0);
      for (std::size_t j = 0; j < features; ++j) {
        if (trees_of_feature[j].empty()) continue;
        std::fill(buffers.on.begin(), buffers.on.end(), 0.0);
        std::fill(buffers.off.begin(), buffers.off.end(), 0.0);
        for (const std::uint32_t t : trees_of_feature[j]) {
          add_tree_shap_conditioned(forms.trees[t], row, binning, static_cast<std::uint32_t>(j), buffers.scratch,
                                    buffers.on, buffers.off);
        }
        for (std::size_t k = 0; k < features; ++k) {
          if (k != j) matrix[k * features + j] = 0.5 * (buffers.on[k] - buffers.off[k]);
        }
      }
      for (std::size_t k = 0; k < features; ++k) {
        double rest = 0.0;
        for (std::size_t j = 0; j < features; ++j) {
          if (j != k) rest += matrix[k * features + j];
        }
        matrix[k * features + k] = buffers.phi[k] - rest;
      }
      if (linear) {
        // The linear leaf terms belong to their own feature alone: they go to the diagonal.
        std::fill(buffers.phi.begin(), buffers.phi.end(), 0.0);
        distribute_linear_terms_for_row(index, row, model.feature_baseline, binning, buffers.phi);
        for (std::size_t k = 0; k < features; ++k) matrix[k * features + k] += buffers.phi[k];
      }
      std::vector<float>& out = batch.values[r];
      out.resize(matrix.size());
      for (std::size_t i = 0; i < matrix.size(); ++i) out[i] = static_cast<float>(matrix[i]);
    }
  });
  return batch;
}

}  // namespace kestrune::shap
